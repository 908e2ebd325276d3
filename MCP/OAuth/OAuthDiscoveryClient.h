// OAuthDiscoveryClient: the HTTP fetches of OAuth discovery through the project's HTTP client,
// one request at a time in list order, stopping at the first document taken.
//
// Every request: GET, "Accept: application/json", 60-second timeouts, redirects not followed.
//
// fetchProtectedResourceMetadata tries each candidate; a failed request, a status outside
// 200...299, a body that is no protected-resource metadata document or one that names no
// authorization server moves on to the next. An OAuthAuthorizationError from below ends the
// fetch at once. When no candidate gives a document, the fallback authorization server (when
// given) becomes a document naming just it; otherwise metadataDiscoveryFailed.
//
// fetchAuthorizationServerMetadata tries each authorization server in turn: one that fails the
// endpoint check ("Authorization server issuer") or whose host is a private or reserved address
// is skipped without a request; the others' metadata candidates are fetched in order, every
// failure moving on. A document is taken only when its "issuer" is this server's URL (RFC 8414
// section 3.3, OpenID Connect Discovery section 4.3), compared with scheme and host in lower case
// and an empty path counting as "/"; so a document from a server that names another issuer, or
// none, is never used. When nothing is taken: authorizationServerIssuerMismatch for the first
// document that named another issuer, else authorizationServerMetadataDiscoveryFailed.
//
// An immutable value; its coroutines read it, so it must outlive them. Each fetch runs on the
// HTTP client's executor.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include "MCP/OAuth/OAuthDiscovery.h"
#include "MCP/OAuth/OAuthURLValidator.h"

namespace mcp {

class OAuthDiscoveryClient final : public OAuthDiscoveryFetching {
public:
    static constexpr std::chrono::seconds kTimeout{60};
    // Larger answers are no metadata documents.
    static constexpr std::size_t kMaxDocumentBytes = std::size_t(1) << 20;

    // The default URL rules (DefaultOAuthMetadataDiscovery) when `metadataDiscovery` is null.
    explicit OAuthDiscoveryClient(
        std::shared_ptr<const OAuthMetadataDiscovering> metadataDiscovery = nullptr,
        OAuthURLValidator urlValidator = OAuthURLValidator());
    explicit OAuthDiscoveryClient(OAuthURLValidator urlValidator)
        : OAuthDiscoveryClient(nullptr, urlValidator) {}

    OAuthURLValidator urlValidator;

    const OAuthMetadataDiscovering& metadataDiscovery() const override {
        return *metadataDiscovery_;
    }

    boost::asio::awaitable<OAuthProtectedResourceMetadata> fetchProtectedResourceMetadata(
        std::vector<URL> candidates, std::optional<URL> fallbackAuthorizationServer,
        fw::http::Client& session) const override;

    boost::asio::awaitable<std::pair<URL, OAuthAuthorizationServerMetadata>>
    fetchAuthorizationServerMetadata(std::vector<URL> authorizationServers,
                                     fw::http::Client& session) const override;

    // Whether a metadata document's `issuer` names the authorization server `server`.
    static bool isSameIssuer(const URL& issuer, const URL& server);

private:
    std::shared_ptr<const OAuthMetadataDiscovering> metadataDiscovery_;
};

}  // namespace mcp
