// OAuthAuthorizer: the OAuth 2 client behind the HTTP client transport. It hands out the
// "Authorization: Bearer" value of the token it holds, answers 401 challenges (refresh, else the
// whole authorization: protected-resource metadata, scope selection, authorization-server
// metadata, resource determination, the caller's access-token provider, dynamic client
// registration, then the configured grant), answers 403 "insufficient_scope" challenges with a
// bounded scope step-up, and refreshes a token shortly before it expires.
//
// Its collaborators are replaceable (Components): the scope selector, the challenge parser, the
// discovery client (with its metadata discovery), the token endpoint client, the client
// registrar and the authorization code flow. withDefaults() (MCP/OAuthAuthorizerDefaults.cpp)
// fills the ones that are not given.
//
// What it keeps: the protected-resource metadata with its URL, the authorization-server metadata
// and the server it came from, until a challenge names another "resource_metadata" URL; whether
// dynamic registration has been done (again only once a registered secret has expired); and how
// many scope step-ups each resource, method and scope set has had (at most kMaxStepUpKeys keys,
// the oldest forgotten first).
//
// Refresh tokens survive what does not refuse them: a refresh answer without "refresh_token"
// keeps the one that was used, and a refresh that fails for a transient reason (the token
// endpoint unreachable, or answering 5xx) leaves the previous token stored, marked expired, so
// that its refresh token is tried again by the next challenge or proactive refresh.
//
// Thread-safety: none. One transport drives it, one operation at a time, on the transport's
// executor; the challenge and preparation operations suspend during their network requests.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

#include "MCP/OAuth/HTTPClientAuthorizer.h"
#include "MCP/OAuth/Instant.h"
#include "MCP/OAuth/OAuthAuthorizationCodeFlow.h"
#include "MCP/OAuth/OAuthClientRegistrar.h"
#include "MCP/OAuth/OAuthConfiguration.h"
#include "MCP/OAuth/OAuthDiscovery.h"
#include "MCP/OAuth/OAuthModels.h"
#include "MCP/OAuth/OAuthTokenEndpointClient.h"
#include "MCP/OAuth/OAuthURLValidator.h"
#include "MCP/OAuth/OAuthWWWAuthenticateParser.h"
#include "MCP/OAuth/TokenStorage.h"

namespace mcp {

class OAuthAuthorizer final : public HTTPClientAuthorizer {
public:
    // Distinct step-up keys remembered; beyond it the oldest key is forgotten.
    static constexpr std::size_t kMaxStepUpKeys = 256;

    struct Components {
        std::shared_ptr<const OAuthScopeSelecting> scopeSelector;
        std::shared_ptr<const OAuthWWWAuthenticateParsing> challengeParser;
        std::shared_ptr<const OAuthDiscoveryFetching> discoveryClient;
        std::shared_ptr<const OAuthTokenRequesting> tokenEndpointClient;
        std::shared_ptr<const OAuthClientRegistering> clientRegistrar;
        std::shared_ptr<const OAuthAuthorizationCodeFlowing> authCodeFlow;
        // The current time; the system clock when not given.
        std::function<Instant()> now;
    };

    // `given` with every missing collaborator replaced by its default, built with the
    // configuration's loopback setting; the discovery client's default wraps
    // `metadataDiscovery` (the default URL rules when that is null).
    static Components withDefaults(Components given, const OAuthConfiguration& configuration,
                                   std::shared_ptr<const OAuthMetadataDiscovering> metadataDiscovery);

    // The default components around the given scope selector, challenge parser and metadata
    // discovery.
    OAuthAuthorizer(OAuthConfiguration configuration, std::shared_ptr<TokenStorage> tokenStorage,
                    std::shared_ptr<const OAuthScopeSelecting> scopeSelector,
                    std::shared_ptr<const OAuthWWWAuthenticateParsing> challengeParser,
                    std::shared_ptr<const OAuthMetadataDiscovering> metadataDiscovery);

    // Every collaborator given; throws std::invalid_argument when one is missing.
    OAuthAuthorizer(OAuthConfiguration configuration, std::shared_ptr<TokenStorage> tokenStorage,
                    Components components);

    int maxAuthorizationAttempts() const override;
    void validateEndpoint(const URL& endpoint) const override;
    std::optional<std::string> authorizationHeader(const URL& url) noexcept override;
    boost::asio::awaitable<bool> handleChallenge(int statusCode,
                                                 std::map<std::string, std::string> headers,
                                                 URL endpoint, std::optional<std::string> method,
                                                 fw::http::Client& session) override;
    boost::asio::awaitable<void> prepareAuthorization(URL endpoint,
                                                      fw::http::Client& session) override;

    // The configuration as registration left it.
    const OAuthConfiguration& configuration() const noexcept { return configuration_; }

    // The step-up key: the normalized resource URI, the trimmed method (or "<unknown>") and the
    // scopes in ascending order joined by blanks, separated by "|".
    static std::string stepUpKey(const URL& normalizedResource,
                                 const std::optional<std::string>& method,
                                 const std::set<std::string>& scopes);

    // Whether two authorization-server URLs name the same server once scheme and host are
    // lower-cased, query and fragment dropped and a path of "/" taken as empty. Two URLs that do
    // not normalize (no scheme or host, or neither http nor https) are equal to each other.
    static bool sameAuthorizationServer(const URL& a, const URL& b);

private:
    using Parameters = std::map<std::string, std::string>;

    const OAuthMetadataDiscovering& discovery() const;

    boost::asio::awaitable<bool> handleUnauthorized(const OAuthBearerChallenge* challenge,
                                                    const URL& endpoint,
                                                    fw::http::Client& session);
    boost::asio::awaitable<bool> authorizeFully(const OAuthBearerChallenge* challenge,
                                                const URL& endpoint, fw::http::Client& session);
    boost::asio::awaitable<bool> stepUp(const OAuthBearerChallenge& challenge, const URL& endpoint,
                                        const std::optional<std::string>& method,
                                        fw::http::Client& session);

    boost::asio::awaitable<OAuthProtectedResourceMetadata> protectedResourceMetadataStep(
        const URL& endpoint, const OAuthBearerChallenge* challenge, fw::http::Client& session);
    boost::asio::awaitable<OAuthAuthorizationServerMetadata> authorizationServerMetadataStep(
        const OAuthProtectedResourceMetadata& metadata, fw::http::Client& session);
    URL determineResource(const URL& endpoint) const;
    URL determineTokenEndpoint() const;
    void checkProtectedResource(const OAuthProtectedResourceMetadata& metadata,
                                const URL& endpoint) const;

    // True when the access-token provider gave a token, which is then stored.
    boost::asio::awaitable<bool> offerAccessTokenProvider(AccessTokenProviderContext context,
                                                          fw::http::Client& session);
    AccessTokenProviderContext providerContext(
        std::int64_t statusCode, const URL& endpoint, const URL& resource,
        const OAuthProtectedResourceMetadata& metadata,
        const std::optional<std::string>& challengedScope,
        std::optional<std::set<std::string>> requestedScopes) const;

    boost::asio::awaitable<void> acquireToken(const URL& endpoint,
                                              const OAuthProtectedResourceMetadata& metadata,
                                              const std::set<std::string>& requestedScopes,
                                              fw::http::Client& session);
    boost::asio::awaitable<void> registerIfDue(const OAuthAuthorizationServerMetadata& metadata,
                                               fw::http::Client& session);
    // The authorization code and the PKCE verifier it was requested with.
    boost::asio::awaitable<std::pair<std::string, std::string>> requestAuthorizationCode(
        const OAuthAuthorizationServerMetadata& metadata, const URL& resource,
        const std::set<std::string>& requestedScopes, fw::http::Client& session);
    boost::asio::awaitable<void> refresh(const std::string& refreshToken, const URL& resource,
                                         const std::set<std::string>& requestedScopes,
                                         fw::http::Client& session);

    // The additional token-request parameters with "resource" and "scope" set.
    Parameters formWith(const std::set<std::string>& requestedScopes, const URL& resource) const;
    void store(const OAuthTokenResponse& response, const std::set<std::string>& requestedScopes,
               std::optional<std::string> previousRefreshToken);
    std::optional<std::string> configuredClientID() const;

    // Counts one step-up for `key`; false when the key is at its limit.
    bool recordStepUp(const std::string& key);

    OAuthConfiguration configuration_;
    std::shared_ptr<TokenStorage> tokenStorage_;
    std::optional<URL> selectedAuthorizationServer_;
    std::optional<OAuthProtectedResourceMetadata> protectedResourceMetadata_;
    std::optional<OAuthAuthorizationServerMetadata> authorizationServerMetadata_;
    std::optional<URL> cachedProtectedResourceMetadataURL_;
    std::unordered_map<std::string, int> stepUpAttempts_;
    std::deque<std::string> stepUpKeysInOrder_;
    bool clientRegistrationAttempted_ = false;
    std::optional<Instant> clientSecretExpiresAt_;
    Components components_;
    OAuthURLValidator urlValidator_;
};

}  // namespace mcp
