// The Bearer challenge of a 401 or 403 answer: a small, tolerant parser of the
// "WWW-Authenticate" header that finds the first Bearer challenge (RFC 6750 section 3) and
// collects its auth-params (scope, error, error_description, resource_metadata, ...). It does not
// implement the whole challenge grammar: items are split at commas outside quotes, a Bearer
// challenge's parameters end at the next item that starts another challenge, names are stored
// lower-cased, quoted values lose their quotes and \" becomes ". Malformed input never fails: what
// does not fit is skipped.
//
// An immutable value: safe from any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "MCP/OAuth/OAuthModels.h"

namespace mcp {

class OAuthWWWAuthenticateParsing {
public:
    virtual ~OAuthWWWAuthenticateParsing() = default;
    // The Bearer challenge of the first header named "WWW-Authenticate" (letter case ignored);
    // nothing when there is no such header, its value is blank or it holds no Bearer challenge.
    virtual std::optional<OAuthBearerChallenge> parseBearerChallenge(
        const std::map<std::string, std::string>& headers) const = 0;
};

class DefaultOAuthWWWAuthenticateParser : public OAuthWWWAuthenticateParsing {
public:
    // The tchar set of RFC 9110.
    static constexpr std::string_view kTokenCharacters =
        "!#$%&'*+-.^_`|~0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

    // `tokenCharacters` (UTF-8) decides only whether an item starts a new challenge.
    explicit DefaultOAuthWWWAuthenticateParser(std::string_view tokenCharacters = kTokenCharacters);

    std::optional<OAuthBearerChallenge> parseBearerChallenge(
        const std::map<std::string, std::string>& headers) const override;

    // The same for one header value.
    std::optional<OAuthBearerChallenge> parseBearerChallenge(std::string_view value) const;

    const std::u32string& tokenCharacters() const noexcept { return tokenCharacters_; }

private:
    std::u32string tokenCharacters_;
};

}  // namespace mcp
