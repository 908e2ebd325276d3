#include "MCP/OAuth/OAuthAuthorizationURL.h"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include "MCP/OAuth/FormEncoding.h"
#include "MCP/OAuth/OAuthError.h"

namespace mcp {

namespace {

OAuthAuthorizationError unusableEndpoint() {
    return OAuthAuthorizationError::make(
        OAuthAuthorizationError::Case::authorizationServerMetadataDiscoveryFailed);
}

void appendQueryItem(std::string& query, std::string_view name, std::string_view value) {
    if (!query.empty()) {
        query += '&';
    }
    query += formEncodeComponent(name);
    query += '=';
    query += formEncodeComponent(value);
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
    std::string query;
    appendQueryItem(query, "response_type", "code");
    appendQueryItem(query, "client_id", clientID);
    appendQueryItem(query, "redirect_uri", redirectURI.absoluteString());
    appendQueryItem(query, "state", state);
    appendQueryItem(query, "resource", resource.absoluteString());
    appendQueryItem(query, "code_challenge", codeChallenge);
    appendQueryItem(query, "code_challenge_method", "S256");
    if (scopes) {
        if (auto scope = scopeSelector.scopeParameter(*scopes)) {
            appendQueryItem(query, "scope", *scope);
        }
    }
    boost::urls::url built(*parsed);
    built.set_encoded_query(query);
    auto rebuilt = URL::parse(built.buffer());
    if (!rebuilt) {
        throw unusableEndpoint();
    }
    return std::move(*rebuilt);
}

}  // namespace mcp
