// The authorizer's default collaborators. Each is built with the configuration's loopback
// setting for authorization-server endpoints.
#include "MCP/OAuth/OAuthAuthorizationCodeFlow.h"
#include "MCP/OAuth/OAuthAuthorizer.h"
#include "MCP/OAuth/OAuthClientRegistrar.h"
#include "MCP/OAuth/OAuthDiscoveryClient.h"
#include "MCP/OAuth/OAuthDiscoveryScopes.h"

namespace mcp {

OAuthAuthorizer::Components OAuthAuthorizer::withDefaults(
    Components given, const OAuthConfiguration& configuration,
    std::shared_ptr<const OAuthMetadataDiscovering> metadataDiscovery) {
    const OAuthURLValidator validator(configuration.allowLoopbackHTTPAuthorizationServerEndpoints());
    if (!given.scopeSelector) {
        given.scopeSelector = std::make_shared<DefaultOAuthScopeSelector>();
    }
    if (!given.challengeParser) {
        given.challengeParser = std::make_shared<DefaultOAuthWWWAuthenticateParser>();
    }
    if (!given.discoveryClient) {
        given.discoveryClient =
            std::make_shared<OAuthDiscoveryClient>(std::move(metadataDiscovery), validator);
    }
    if (!given.tokenEndpointClient) {
        given.tokenEndpointClient = std::make_shared<OAuthTokenEndpointClient>(validator);
    }
    if (!given.clientRegistrar) {
        given.clientRegistrar = std::make_shared<OAuthClientRegistrar>(validator);
    }
    if (!given.authCodeFlow) {
        given.authCodeFlow = std::make_shared<OAuthAuthorizationCodeFlow>();
    }
    return given;
}

}  // namespace mcp
