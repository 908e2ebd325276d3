// DefaultOAuthMetadataDiscovery: the URL rules of OAuth discovery, without network access or
// state.
//
// A URL is taken apart as written, never resolved against a base; scheme and host are compared in
// lower case. Only https URLs, and http URLs to "localhost", "127.0.0.1" or "::1", take part:
// others have no candidates and no resource URI.
//
//   protectedResourceMetadataURLs  https://h/mcp -> https://h/.well-known/oauth-protected-resource/mcp,
//                                  then https://h/.well-known/oauth-protected-resource (RFC 9728)
//   authorizationServerMetadataURLs https://h/t -> /.well-known/oauth-authorization-server/t,
//                                  /.well-known/openid-configuration/t, /t/.well-known/openid-configuration;
//                                  https://h -> /.well-known/oauth-authorization-server,
//                                  /.well-known/openid-configuration (RFC 8414, OpenID Connect)
//   normalizedResourceURI          lower-case scheme and host, no query, "/" as the empty path;
//                                  a fragment is refused (RFC 8707)
//   issuerURI                      lower-case scheme and host with port, user and password
//   resourceMatches                same scheme, host and port (80 and 443 filled in), and the
//                                  candidate's path equal to or under the resource's path
//
// Candidates keep scheme, host, port, user and password exactly as the input writes them.
//
// An immutable value: safe from any thread.
#pragma once

#include "MCP/OAuth/OAuthDiscovery.h"

namespace mcp {

class DefaultOAuthMetadataDiscovery final : public OAuthMetadataDiscovering {
public:
    std::vector<URL> protectedResourceMetadataURLs(const URL& resource) const override;
    std::vector<URL> authorizationServerMetadataURLs(const URL& issuer) const override;
    URL normalizedResourceURI(const URL& url) const override;
    URL issuerURI(const URL& url) const override;
    bool resourceMatches(const URL& resource, const URL& candidate) const override;
};

}  // namespace mcp
