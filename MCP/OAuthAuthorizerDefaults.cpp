// The authorizer's default collaborators. Each is built with the configuration's loopback
// setting for authorization-server endpoints.
#include <stdexcept>

#include "MCP/OAuthAuthorizer.h"

namespace mcp {

OAuthAuthorizer::Components OAuthAuthorizer::withDefaults(
    Components given, const OAuthConfiguration& configuration,
    std::shared_ptr<const OAuthMetadataDiscovering> metadataDiscovery) {
    const OAuthURLValidator validator(configuration.allowLoopbackHTTPAuthorizationServerEndpoints());
    if (!given.challengeParser) {
        given.challengeParser = std::make_shared<DefaultOAuthWWWAuthenticateParser>();
    }
    if (!given.tokenEndpointClient) {
        given.tokenEndpointClient = std::make_shared<OAuthTokenEndpointClient>(validator);
    }
    // Discovery (around `metadataDiscovery`), scope selection, registration and the
    // authorization code flow have no default here yet: they must be given.
    (void)metadataDiscovery;
    if (!given.scopeSelector || !given.discoveryClient || !given.clientRegistrar ||
        !given.authCodeFlow) {
        throw std::invalid_argument(
            "The OAuth authorizer's scope selector, discovery client, client registrar and "
            "authorization code flow must be given.");
    }
    return given;
}

}  // namespace mcp
