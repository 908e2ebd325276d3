#include "MCP/OAuthAuthorizationURL.h"

#include <boost/url/encode.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/rfc/pchars.hpp>
#include <boost/url/url.hpp>

#include "MCP/OAuthError.h"

namespace mcp {

namespace {

// What a query name or value may hold unescaped.
constexpr boost::urls::grammar::lut_chars kQueryValueCharacters =
    boost::urls::pchars + '/' + '?' - '&' - '=' - '+';

OAuthAuthorizationError unusableEndpoint() {
    return OAuthAuthorizationError::make(
        OAuthAuthorizationError::Case::authorizationServerMetadataDiscoveryFailed);
}

}  // namespace

URL makeAuthorizationURL(const URL& authorizationEndpoint, const URL& resource,
                         const URL& redirectURI, const std::string& clientID,
                         const std::string& codeChallenge,
                         const std::optional<std::set<std::string>>& scopes,
                         const std::string& state, const OAuthScopeSelecting& scopeSelector) {
    auto parsed = boost::urls::parse_uri_reference(authorizationEndpoint.absoluteString());
    if (!parsed) {
        throw unusableEndpoint();
    }
    boost::urls::url url(*parsed);
    url.remove_query();
    auto params = url.encoded_params();
    const boost::urls::encoding_opts options(false, false, false);
    auto append = [&](std::string_view name, std::string_view value) {
        const std::string encodedName = boost::urls::encode(name, kQueryValueCharacters, options);
        const std::string encodedValue =
            boost::urls::encode(value, kQueryValueCharacters, options);
        params.append(boost::urls::param_pct_view(encodedName, encodedValue));
    };
    append("response_type", "code");
    append("client_id", clientID);
    append("redirect_uri", redirectURI.absoluteString());
    append("state", state);
    append("resource", resource.absoluteString());
    append("code_challenge", codeChallenge);
    append("code_challenge_method", "S256");
    if (scopes) {
        if (auto scope = scopeSelector.scopeParameter(*scopes)) {
            append("scope", *scope);
        }
    }
    auto rebuilt = URL::parse(url.buffer());
    if (!rebuilt) {
        throw unusableEndpoint();
    }
    return std::move(*rebuilt);
}

}  // namespace mcp
