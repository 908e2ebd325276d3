// Metadata discovery for the OAuth authorizer: where the protected-resource metadata (RFC 9728)
// of an MCP server and the metadata of its authorization servers (RFC 8414, OpenID Connect
// Discovery) are looked for, how resource URIs are normalised (RFC 8707), the fetches of both
// documents with their fallbacks, and which scopes to ask for.
//
// Three interfaces, each replaceable in the authorizer:
//   OAuthMetadataDiscovering  pure URL rules, no network, no state. The bearer-token check of
//                             the HTTP server transports uses resourceMatches() on the audience
//                             of a token.
//   OAuthDiscoveryFetching    the HTTP fetches, strictly one request at a time in list order.
//   OAuthScopeSelecting       the scopes to request and the "scope" parameter.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "MCP/OAuth/OAuthModels.h"
#include "MCP/OAuth/URL.h"

namespace fw::http {
class Client;
}

namespace mcp {

class OAuthMetadataDiscovering {
public:
    virtual ~OAuthMetadataDiscovering() = default;

    // Candidate URLs of a resource's protected-resource metadata, in the order to try.
    virtual std::vector<URL> protectedResourceMetadataURLs(const URL& resource) const = 0;
    // Candidate URLs of an authorization server's metadata, in the order to try.
    virtual std::vector<URL> authorizationServerMetadataURLs(const URL& issuer) const = 0;
    // The canonical resource URI; throws OAuthAuthorizationError invalidResourceURI.
    virtual URL normalizedResourceURI(const URL& url) const = 0;
    // The issuer (origin) derived from a URL; throws OAuthAuthorizationError invalidResourceURI.
    virtual URL issuerURI(const URL& url) const = 0;
    // Whether `candidate` designates `resource` or a location under it. Never throws.
    virtual bool resourceMatches(const URL& resource, const URL& candidate) const = 0;
};

class OAuthDiscoveryFetching {
public:
    virtual ~OAuthDiscoveryFetching() = default;

    virtual const OAuthMetadataDiscovering& metadataDiscovery() const = 0;

    virtual boost::asio::awaitable<OAuthProtectedResourceMetadata> fetchProtectedResourceMetadata(
        std::vector<URL> candidates, std::optional<URL> fallbackAuthorizationServer,
        fw::http::Client& session) const = 0;

    // The chosen authorization server's URL and its metadata.
    virtual boost::asio::awaitable<std::pair<URL, OAuthAuthorizationServerMetadata>>
    fetchAuthorizationServerMetadata(std::vector<URL> authorizationServers,
                                     fw::http::Client& session) const = 0;
};

class OAuthScopeSelecting {
public:
    virtual ~OAuthScopeSelecting() = default;

    // The scopes to request: from the challenge's "scope" when given, else the supported ones.
    virtual std::optional<std::set<std::string>> selectScopes(
        const std::optional<std::string>& challengeScope,
        const std::optional<std::vector<std::string>>& scopesSupported) const = 0;
    // The scope names of a scope string.
    virtual std::set<std::string> scopes(std::string_view scopeString) const = 0;
    // The value of a "scope" parameter; nothing for the empty set.
    virtual std::optional<std::string> scopeParameter(const std::set<std::string>& scopes) const = 0;
};

}  // namespace mcp
