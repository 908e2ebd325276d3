// Text that reaches the OAuth client from servers: WWW-Authenticate values and URLs.
// - The challenge parser never fails; the names it stores are non-empty and lower-case, and the
//   same value gives the same parameters under any letter case of the header's name.
// - A URL that an endpoint check accepts has a scheme of https, or http to a loopback host, a
//   non-empty host and no fragment; an accepted redirect URI has no fragment.
// - The private-host verdict of a host does not depend on brackets around it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/OAuthURLValidator.h"
#include "MCP/OAuth/OAuthWWWAuthenticateParser.h"
#include "fuzz/FuzzCheck.h"

namespace {

using namespace mcp;

std::string lowercased(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

void checkChallenge(std::string_view text) {
    const DefaultOAuthWWWAuthenticateParser parser;
    const auto challenge = parser.parseBearerChallenge({{"WWW-Authenticate", std::string(text)}});
    const auto again = parser.parseBearerChallenge({{"www-authenticate", std::string(text)}});
    fuzz::check(challenge.has_value() == again.has_value() &&
                    (!challenge || challenge->parameters == again->parameters),
                "the header's name is found in any letter case", text);
    if (!challenge) {
        return;
    }
    for (const auto& [name, value] : challenge->parameters) {
        fuzz::check(!name.empty(), "parameter names are not empty", text);
        fuzz::check(name == lowercased(name), "parameter names are lower-case", text);
    }
}

void checkURL(std::string_view text) {
    const auto url = URL::parse(text);
    if (!url) {
        return;
    }
    const OAuthURLValidator validator(true);
    auto acceptedEndpoint = [&](auto check) {
        try {
            check();
        } catch (const OAuthAuthorizationError&) {
            return;
        }
        const std::string scheme = lowercased(url->scheme().value_or(""));
        fuzz::check(url->host() && !url->host()->empty(), "an accepted endpoint has a host", text);
        fuzz::check(!url->fragment(), "an accepted endpoint has no fragment", text);
        fuzz::check(scheme == "https" ||
                        (scheme == "http" && OAuthURLValidator::isLoopbackHost(*url->host())),
                    "an accepted endpoint is https or loopback http", text);
    };
    acceptedEndpoint([&] { validator.validateAuthorizationServerEndpoint(*url, "Token endpoint"); });
    acceptedEndpoint([&] { validator.validateOAuthEndpoint(*url, "MCP endpoint"); });
    try {
        validator.validateRedirectURI(*url);
        fuzz::check(!url->fragment(), "an accepted redirect URI has no fragment", text);
    } catch (const OAuthAuthorizationError&) {
    }
    if (url->host()) {
        const std::string host = lowercased(*url->host());
        fuzz::check(validator.isPrivateOrReservedHost(host) ==
                        validator.isPrivateOrReservedHost("[" + host + "]"),
                    "brackets do not change the private-host verdict", host);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkChallenge(text);
    checkURL(text);
    return 0;
}
