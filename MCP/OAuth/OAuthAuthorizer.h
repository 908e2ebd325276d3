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
// dynamic registration has been done and at which server (again only once a registered secret
// has expired, or at another server); the server pre-registered credentials belong to; and how
// many scope step-ups each resource, method and scope set has had (at most kMaxStepUpKeys keys,
// the oldest forgotten first).
//
// Refresh tokens survive what does not refuse them: a refresh answer without "refresh_token"
// keeps the one that was used, and a refresh that fails before the token endpoint judged it
// (discovery failed, the token endpoint unreachable or answering 5xx) leaves the previous token
// stored, marked expired, so that its refresh token is tried again by the next challenge or
// proactive refresh. A refresh token goes only to the authorization server that issued it (the
// one its token names); when another server guards the resource, the token is dropped and the
// whole authorization runs. A refresh asks for the token's own scopes, never more (RFC 6749
// section 6).
//
// One acquisition or refresh at a time: the transport's sends and its GET stream call in side
// by side, and a challenge or a proactive refresh that arrives while one runs awaits it and takes
// its outcome (its failure too) instead of starting another. A refresh token that the server
// rotates is so never used twice, and a challenge for a token that has since been replaced (the
// refused request carried another "Authorization" value than the stored token gives now) is
// answered with a retry, leaving the stored token alone.
//
// Pre-registered credentials (client_secret_basic, client_secret_post, private_key_jwt) belong
// to one authorization server: the configured authorizationServerURL when there is one, else
// the server of the stored token (so that a new process is bound as well), else the server of
// their first successful use. They are never sent to another: a resource that names another
// server gets clientCredentialsBoundToAnotherServer. (A configured token endpoint is where they
// go, whatever the resource names.) A client registered dynamically belongs to the server it
// registered at; another server gets a registration of its own.
//
// Thread-safety: none of its own. Every call must come from one strand (the transport's); calls
// may interleave at their suspension points, which the single acquisition above accounts for.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <chrono>
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
    // Authorization servers of one protected-resource document that discovery tries, in order.
    static constexpr std::size_t kMaxAuthorizationServersTried = 4;
    // How long one challenge's handling (or one proactive refresh) may take in all, the user's
    // part in an interactive authorization included; then it fails.
    static constexpr std::chrono::minutes kChallengeDeadline{10};

    struct Components {
        std::shared_ptr<const OAuthScopeSelecting> scopeSelector;
        std::shared_ptr<const OAuthWWWAuthenticateParsing> challengeParser;
        std::shared_ptr<const OAuthDiscoveryFetching> discoveryClient;
        std::shared_ptr<const OAuthTokenRequesting> tokenEndpointClient;
        std::shared_ptr<const OAuthClientRegistering> clientRegistrar;
        std::shared_ptr<const OAuthAuthorizationCodeFlowing> authCodeFlow;
        // The current time; the system clock when not given.
        std::function<Instant()> now;
        // kChallengeDeadline when not given (zero).
        std::chrono::steady_clock::duration challengeDeadline{};
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
                                                 std::optional<std::string> sentAuthorization,
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
    // The acquisition or refresh in progress, which later callers await.
    struct Flight;

    const OAuthMetadataDiscovering& discovery() const;

    // The header `token` gives now, without side effects; nothing when it gives none.
    std::optional<std::string> headerFor(const OAuthAccessToken& token) const;
    // Whether a token is stored that gives another header than `sentAuthorization`: one stored
    // after the refused request was built, worth sending it again with.
    bool holdsNewerToken(const std::optional<std::string>& sentAuthorization);

    // Runs `work` as the one acquisition or refresh in progress; callers of awaitFlight() get its
    // outcome.
    boost::asio::awaitable<bool> inFlight(boost::asio::awaitable<bool> work);
    // `work`, failing once the challenge deadline has passed.
    boost::asio::awaitable<bool> withinDeadline(boost::asio::awaitable<bool> work);
    // Returns once no acquisition or refresh is in progress. With `takeFailure`, the failure of
    // one that was awaited is thrown.
    boost::asio::awaitable<void> awaitFlight(bool takeFailure);
    // The proactive refresh proper; true when a new token was stored.
    boost::asio::awaitable<bool> refreshAhead(const URL& endpoint, fw::http::Client& session);

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
    // Whether `token` names an authorization server other than the selected one.
    bool isForeign(const OAuthAccessToken& token) const;
    // Whether `token` names the selected authorization server: only then may its refresh token
    // (with the client's credentials) go to that server's token endpoint.
    bool isFromSelectedServer(const OAuthAccessToken& token) const;
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

    // Throws clientCredentialsBoundToAnotherServer when the configured credentials belong to
    // another server than the selected one.
    void checkCredentialsMayGoToSelectedServer() const;
    // Binds the configured credentials to the selected server after their first successful use.
    void noteCredentialsUsed();
    bool sendsPreRegisteredCredentials() const;

    // Counts one step-up for `key`; false when the key is at its limit.
    bool recordStepUp(const std::string& key);

    OAuthConfiguration configuration_;
    // The authentication as configured, which registration replaces.
    TokenEndpointAuthentication configuredAuthentication_;
    std::shared_ptr<TokenStorage> tokenStorage_;
    // The server that pre-registered credentials belong to, once known.
    std::optional<URL> credentialsServer_;
    // The server that the registration was made (or refused) at.
    std::optional<URL> registrationServer_;
    std::optional<URL> selectedAuthorizationServer_;
    std::optional<OAuthProtectedResourceMetadata> protectedResourceMetadata_;
    std::optional<OAuthAuthorizationServerMetadata> authorizationServerMetadata_;
    std::optional<URL> cachedProtectedResourceMetadataURL_;
    std::unordered_map<std::string, int> stepUpAttempts_;
    std::deque<std::string> stepUpKeysInOrder_;
    bool clientRegistrationAttempted_ = false;
    std::optional<Instant> clientSecretExpiresAt_;
    std::shared_ptr<Flight> flight_;
    // The value of a token a grant just stored and no request has carried yet: it is handed out
    // once even when its whole lifetime lies within the expiry skew.
    std::optional<std::string> unsentToken_;
    Components components_;
    OAuthURLValidator urlValidator_;
};

}  // namespace mcp
