// The authorization request URL of the authorization-code grant with PKCE (RFC 6749 section
// 4.1.1, RFC 7636, RFC 8707): the authorization endpoint with its query replaced by, in order,
// "response_type" = "code", "client_id", "redirect_uri", "state", "resource", "code_challenge",
// "code_challenge_method" = "S256", and "scope" when the scope set gives a scope parameter.
// Names and values are percent-encoded outside the unreserved characters, so a blank becomes %20
// and a plus sign survives form decoding at the server.
//
// Stateless: safe from any thread.
#pragma once

#include <optional>
#include <set>
#include <string>

#include "MCP/OAuth/OAuthDiscovery.h"
#include "MCP/OAuth/URL.h"

namespace mcp {

// Throws OAuthAuthorizationError authorizationServerMetadataDiscoveryFailed when the endpoint
// cannot be taken apart or the URL cannot be rebuilt.
URL makeAuthorizationURL(const URL& authorizationEndpoint, const URL& resource,
                         const URL& redirectURI, const std::string& clientID,
                         const std::string& codeChallenge,
                         const std::optional<std::set<std::string>>& scopes,
                         const std::string& state, const OAuthScopeSelecting& scopeSelector);

}  // namespace mcp
