#include "MCP/OAuth/OAuthAuthorizer.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/system/system_error.hpp>
#include <boost/url/parse.hpp>
#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "MCP/Core/AsyncResult.h"
#include "MCP/JSON/DecodingError.h"
#include "MCP/OAuth/BearerTokenValue.h"
#include "MCP/OAuth/OAuthAuthorizationURL.h"
#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/PKCE.h"
#include "MCP/OAuth/SecureRandom.h"
#include "MCP/OAuth/detail/ASCIIText.h"

namespace mcp {

namespace {

using Case = OAuthAuthorizationError::Case;

constexpr std::size_t kCodeVerifierLength = 64;

// scheme://[userinfo@]host[:port]path with scheme and host lower-cased, no query, no fragment and
// a path of "/" taken as empty; nothing without a scheme and host, or for neither http nor https.
std::optional<std::string> normalizedServer(const URL& url) {
    auto parsed = boost::urls::parse_uri_reference(url.absoluteString());
    if (!parsed || !parsed->has_scheme() || !parsed->has_authority() ||
        parsed->encoded_host().empty()) {
        return std::nullopt;
    }
    const std::string scheme = asciiLowercased(parsed->scheme());
    if (scheme != "http" && scheme != "https") {
        return std::nullopt;
    }
    std::string text = scheme + "://";
    if (parsed->has_userinfo()) {
        text += parsed->encoded_userinfo();
        text += '@';
    }
    text += asciiLowercased(parsed->encoded_host_and_port());
    if (parsed->encoded_path() != "/") {
        text += parsed->encoded_path();
    }
    return text;
}

bool isPrivateHost(const OAuthURLValidating& validator, const URL& url) {
    return url.host() && validator.isPrivateOrReservedHost(asciiLowercased(*url.host()));
}

std::optional<int> tokenRequestStatus(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const OAuthAuthorizationError& error) {
        if (error.errorCase() == Case::tokenRequestFailed) {
            return static_cast<int>(error.statusCode());
        }
    } catch (...) {
    }
    return std::nullopt;
}

bool isAborted(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const boost::system::system_error& error) {
        return error.code() == boost::asio::error::operation_aborted;
    } catch (...) {
    }
    return false;
}

bool isClientError(std::optional<int> status) { return status && *status >= 400 && *status <= 499; }

// A failure that says nothing about the refresh token: the token endpoint could not be reached,
// the exchange was cut off or cancelled, or the server failed (5xx).
bool isTransient(const std::exception_ptr& failure) {
    if (auto status = tokenRequestStatus(failure)) {
        return *status >= 500;
    }
    try {
        std::rethrow_exception(failure);
    } catch (const fw::http::Error& error) {
        return error.kind() != fw::http::Error::Kind::invalidURL;
    } catch (const boost::system::system_error&) {
        return true;
    } catch (...) {
    }
    return false;
}

OAuthAuthorizer::Components givenParts(
    std::shared_ptr<const OAuthScopeSelecting> scopeSelector,
    std::shared_ptr<const OAuthWWWAuthenticateParsing> challengeParser) {
    OAuthAuthorizer::Components components;
    components.scopeSelector = std::move(scopeSelector);
    components.challengeParser = std::move(challengeParser);
    return components;
}

}  // namespace

OAuthAuthorizer::OAuthAuthorizer(OAuthConfiguration configuration,
                                 std::shared_ptr<TokenStorage> tokenStorage,
                                 std::shared_ptr<const OAuthScopeSelecting> scopeSelector,
                                 std::shared_ptr<const OAuthWWWAuthenticateParsing> challengeParser,
                                 std::shared_ptr<const OAuthMetadataDiscovering> metadataDiscovery)
    : OAuthAuthorizer(configuration, std::move(tokenStorage),
                      withDefaults(givenParts(std::move(scopeSelector), std::move(challengeParser)),
                                   configuration, std::move(metadataDiscovery))) {}

OAuthAuthorizer::OAuthAuthorizer(OAuthConfiguration configuration,
                                 std::shared_ptr<TokenStorage> tokenStorage, Components components)
    : configuration_(std::move(configuration)),
      configuredAuthentication_(configuration_.authentication()),
      tokenStorage_(std::move(tokenStorage)),
      components_(std::move(components)),
      urlValidator_(configuration_.allowLoopbackHTTPAuthorizationServerEndpoints()) {
    if (!tokenStorage_ || !components_.scopeSelector || !components_.challengeParser ||
        !components_.discoveryClient || !components_.tokenEndpointClient ||
        !components_.clientRegistrar || !components_.authCodeFlow) {
        throw std::invalid_argument(
            "The OAuth authorizer needs a token storage, a scope selector, a challenge parser, a "
            "discovery client, a token endpoint client, a client registrar and an authorization "
            "code flow.");
    }
    if (!components_.now) {
        components_.now = [] { return Instant::now(); };
    }
    if (components_.challengeDeadline <= std::chrono::steady_clock::duration::zero()) {
        components_.challengeDeadline = kChallengeDeadline;
    }
    if (sendsPreRegisteredCredentials()) {
        credentialsServer_ = configuration_.endpointOverrides().authorizationServerURL;
        if (!credentialsServer_) {
            try {
                if (const auto stored = tokenStorage_->load()) {
                    credentialsServer_ = stored->authorizationServer;
                }
            } catch (...) {
                // Unreadable storage binds nothing; the first successful use will.
            }
        }
    }
}

bool OAuthAuthorizer::sendsPreRegisteredCredentials() const {
    return configuredAuthentication_.method() != TokenEndpointAuthentication::Method::none &&
           !configuration_.endpointOverrides().tokenEndpoint;
}

void OAuthAuthorizer::checkCredentialsMayGoToSelectedServer() const {
    if (!sendsPreRegisteredCredentials() || !credentialsServer_ || !selectedAuthorizationServer_) {
        return;
    }
    if (!sameAuthorizationServer(*credentialsServer_, *selectedAuthorizationServer_)) {
        throw OAuthAuthorizationError::clientCredentialsBoundToAnotherServer(
            credentialsServer_->absoluteString(), selectedAuthorizationServer_->absoluteString());
    }
}

void OAuthAuthorizer::noteCredentialsUsed() {
    if (sendsPreRegisteredCredentials() && !credentialsServer_) {
        credentialsServer_ = selectedAuthorizationServer_;
    }
}

const OAuthMetadataDiscovering& OAuthAuthorizer::discovery() const {
    return components_.discoveryClient->metadataDiscovery();
}

int OAuthAuthorizer::maxAuthorizationAttempts() const {
    return configuration_.retryPolicy().maxAuthorizationAttempts;
}

void OAuthAuthorizer::validateEndpoint(const URL& endpoint) const {
    urlValidator_.validateOAuthEndpoint(endpoint, "MCP endpoint");
}

bool OAuthAuthorizer::sameAuthorizationServer(const URL& a, const URL& b) {
    return normalizedServer(a) == normalizedServer(b);
}

bool OAuthAuthorizer::isForeign(const OAuthAccessToken& token) const {
    return token.authorizationServer && selectedAuthorizationServer_ &&
           !sameAuthorizationServer(*token.authorizationServer, *selectedAuthorizationServer_);
}

std::optional<std::string> OAuthAuthorizer::headerFor(const OAuthAccessToken& token) const {
    if (isForeign(token) || bearerTokenDefect(token.value)) {
        return std::nullopt;
    }
    if (OAuthTokenExpirySkew::isExpired(token, components_.now()) && unsentToken_ != token.value) {
        return std::nullopt;
    }
    return "Bearer " + token.value;
}

std::optional<std::string> OAuthAuthorizer::authorizationHeader(const URL&) noexcept {
    try {
        auto token = tokenStorage_->load();
        if (!token) {
            return std::nullopt;
        }
        // A token of another authorization server, or one that could never be sent (a line
        // break would start a header line of its own), is no token: the server's challenge
        // leads to a new one.
        if (isForeign(*token) || bearerTokenDefect(token->value)) {
            tokenStorage_->clear();
            return std::nullopt;
        }
        auto header = headerFor(*token);
        if (header && unsentToken_ == token->value) {
            unsentToken_.reset();
        }
        return header;
    } catch (...) {
        // A storage that fails gives no header; the server's challenge follows.
        return std::nullopt;
    }
}

bool OAuthAuthorizer::holdsNewerToken(const std::optional<std::string>& sentAuthorization) {
    const auto token = tokenStorage_->load();
    if (!token) {
        return false;
    }
    const auto current = headerFor(*token);
    return current && current != sentAuthorization;
}

boost::asio::awaitable<bool> OAuthAuthorizer::handleChallenge(
    int statusCode, std::map<std::string, std::string> headers, URL endpoint,
    std::optional<std::string> method, std::optional<std::string> sentAuthorization,
    fw::http::Client& session) {
    validateEndpoint(endpoint);
    const auto challenge = components_.challengeParser->parseBearerChallenge(headers);
    const OAuthBearerChallenge* parameters = challenge ? &*challenge : nullptr;
    bool insufficientScope = false;
    if (statusCode == 403 && parameters && !parameters->parameters.empty()) {
        const auto error = parameters->error();
        insufficientScope = error && asciiLowercased(*error) == "insufficient_scope";
    }
    if (statusCode != 401 && !insufficientScope) {
        co_return false;
    }
    // Another request's challenge may be being answered already: its outcome serves this one.
    co_await awaitFlight(true);
    if (holdsNewerToken(sentAuthorization)) {
        co_return true;
    }
    if (insufficientScope) {
        co_return co_await inFlight(stepUp(*parameters, endpoint, method, session));
    }
    co_return co_await inFlight(handleUnauthorized(parameters, endpoint, session));
}

struct OAuthAuthorizer::Flight {
    AsyncResult<bool> outcome;
};

boost::asio::awaitable<bool> OAuthAuthorizer::inFlight(boost::asio::awaitable<bool> work) {
    auto made = AsyncResult<bool>::make();
    const AsyncResultSource<bool> source = std::move(made.first);
    flight_ = std::make_shared<Flight>(Flight{std::move(made.second)});
    std::exception_ptr failure;
    bool value = false;
    try {
        value = co_await withinDeadline(std::move(work));
    } catch (...) {
        failure = std::current_exception();
    }
    flight_.reset();
    if (failure) {
        source.setError(failure);
        std::rethrow_exception(failure);
    }
    source.setValue(value);
    co_return value;
}

boost::asio::awaitable<bool> OAuthAuthorizer::withinDeadline(boost::asio::awaitable<bool> work) {
    namespace asio = boost::asio;
    const auto executor = co_await asio::this_coro::executor;
    asio::steady_timer timer(executor, components_.challengeDeadline);
    // The first to finish ends the other: the work (with its outcome) or the timer.
    auto [order, failure, value, timerError] =
        co_await asio::experimental::make_parallel_group(
            asio::co_spawn(executor, std::move(work), asio::deferred),
            timer.async_wait(asio::deferred))
            .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    if (order[0] == 1 && !timerError) {
        const auto allowed =
            std::chrono::duration_cast<std::chrono::milliseconds>(components_.challengeDeadline);
        throw std::runtime_error(
            "The authorization did not finish within " +
            (allowed.count() % 1000 == 0 ? std::to_string(allowed.count() / 1000) + " seconds"
                                         : std::to_string(allowed.count()) + " milliseconds") +
            "; try again.");
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    co_return value;
}

boost::asio::awaitable<void> OAuthAuthorizer::awaitFlight(bool takeFailure) {
    while (flight_) {
        const AsyncResult<bool> outcome = flight_->outcome;
        std::exception_ptr failure;
        try {
            co_await outcome.value();
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure) {
            continue;
        }
        const auto cancellation = co_await boost::asio::this_coro::cancellation_state;
        if (cancellation.cancelled() != boost::asio::cancellation_type::none) {
            std::rethrow_exception(failure);  // this caller was cancelled
        }
        // A flight cancelled by its own caller says nothing about the others: they go on and
        // start their own.
        if (takeFailure && !isAborted(failure)) {
            std::rethrow_exception(failure);
        }
    }
}

boost::asio::awaitable<bool> OAuthAuthorizer::handleUnauthorized(
    const OAuthBearerChallenge* challenge, const URL& endpoint, fw::http::Client& session) {
    // The rejected token goes first, so that a failure below leaves no token behind; only a
    // refresh that failed without a verdict on the refresh token puts it back (see below).
    const auto previous = tokenStorage_->load();
    tokenStorage_->clear();
    unsentToken_.reset();
    if (!previous || !previous->refreshToken) {
        co_return co_await authorizeFully(challenge, endpoint, session);
    }

    std::exception_ptr failure;
    bool refreshSent = false;
    try {
        const auto metadata = co_await protectedResourceMetadataStep(endpoint, challenge, session);
        co_await authorizationServerMetadataStep(metadata, session);
        if (isFromSelectedServer(*previous)) {
            const URL resource = determineResource(endpoint);
            // A refresh may not widen the grant (RFC 6749 section 6): it asks for the token's
            // own scopes, whatever the challenge names; a step-up is a new authorization.
            refreshSent = true;
            co_await refresh(*previous->refreshToken, resource, previous->scopes, session);
            co_return true;
        }
    } catch (...) {
        failure = std::current_exception();
    }

    if (!failure) {
        // Another authorization server now guards the resource: the refresh token (and the
        // client's credentials with it) never goes to a server that did not issue it.
        co_return co_await authorizeFully(challenge, endpoint, session);
    }
    if (refreshSent && isClientError(tokenRequestStatus(failure))) {
        // The authorization server refused the refresh token: authorize from the start.
        co_return co_await authorizeFully(challenge, endpoint, session);
    }
    if (!refreshSent || isTransient(failure)) {
        // Nothing has judged the refresh token (discovery failed before it was sent, or the
        // token endpoint could not answer): keep it, with the rejected access token marked
        // expired so that it is not sent again. A token stored meanwhile is not overwritten.
        OAuthAccessToken kept = *previous;
        const Instant now = components_.now();
        if (!kept.expiresAt || *kept.expiresAt > now) {
            kept.expiresAt = now;
        }
        if (!tokenStorage_->load()) {
            tokenStorage_->save(kept);
        }
    }
    std::rethrow_exception(failure);
}

bool OAuthAuthorizer::isFromSelectedServer(const OAuthAccessToken& token) const {
    return token.authorizationServer && selectedAuthorizationServer_ &&
           sameAuthorizationServer(*token.authorizationServer, *selectedAuthorizationServer_);
}

boost::asio::awaitable<bool> OAuthAuthorizer::authorizeFully(const OAuthBearerChallenge* challenge,
                                                             const URL& endpoint,
                                                             fw::http::Client& session) {
    const auto metadata = co_await protectedResourceMetadataStep(endpoint, challenge, session);
    const auto challengedScope = challenge ? challenge->scope() : std::nullopt;
    const auto scopes =
        components_.scopeSelector->selectScopes(challengedScope, metadata.scopesSupported);
    co_await authorizationServerMetadataStep(metadata, session);
    const URL resource = determineResource(endpoint);
    if (co_await offerAccessTokenProvider(
            providerContext(401, endpoint, resource, metadata, challengedScope, scopes), session)) {
        co_return true;
    }
    co_await acquireToken(endpoint, metadata, scopes.value_or(std::set<std::string>{}), session);
    co_return true;
}

boost::asio::awaitable<bool> OAuthAuthorizer::stepUp(const OAuthBearerChallenge& challenge,
                                                     const URL& endpoint,
                                                     const std::optional<std::string>& method,
                                                     fw::http::Client& session) {
    const auto metadata = co_await protectedResourceMetadataStep(endpoint, &challenge, session);
    const auto challengedScope = challenge.scope();
    auto requested = components_.scopeSelector->selectScopes(challengedScope, metadata.scopesSupported)
                         .value_or(std::set<std::string>{});
    if (const auto stored = tokenStorage_->load()) {
        requested.insert(stored->scopes.begin(), stored->scopes.end());
    }
    const URL normalized = discovery().normalizedResourceURI(endpoint);
    if (!recordStepUp(stepUpKey(normalized, method, requested))) {
        co_return false;
    }

    co_await authorizationServerMetadataStep(metadata, session);
    const URL resource = determineResource(endpoint);
    std::optional<std::set<std::string>> offered;
    if (!requested.empty()) {
        offered = requested;
    }
    if (co_await offerAccessTokenProvider(
            providerContext(403, endpoint, resource, metadata, challengedScope, std::move(offered)),
            session)) {
        co_return true;
    }
    co_await acquireToken(endpoint, metadata, requested, session);
    co_return true;
}

std::string OAuthAuthorizer::stepUpKey(const URL& normalizedResource,
                                       const std::optional<std::string>& method,
                                       const std::set<std::string>& scopes) {
    std::string key = normalizedResource.absoluteString();
    key += '|';
    const std::string_view trimmedMethod = method ? asciiTrimmed(*method) : std::string_view();
    key += trimmedMethod.empty() ? std::string_view("<unknown>") : trimmedMethod;
    key += '|';
    bool first = true;
    for (const auto& scope : scopes) {
        if (!first) {
            key += ' ';
        }
        key += scope;
        first = false;
    }
    return key;
}

bool OAuthAuthorizer::recordStepUp(const std::string& key) {
    const int limit = std::max(1, configuration_.retryPolicy().maxScopeUpgradeAttempts);
    auto found = stepUpAttempts_.find(key);
    if (found != stepUpAttempts_.end()) {
        if (found->second >= limit) {
            return false;
        }
        ++found->second;
        return true;
    }
    if (stepUpAttempts_.size() >= kMaxStepUpKeys) {
        stepUpAttempts_.erase(stepUpKeysInOrder_.front());
        stepUpKeysInOrder_.pop_front();
    }
    stepUpAttempts_.emplace(key, 1);
    stepUpKeysInOrder_.push_back(key);
    return true;
}

boost::asio::awaitable<OAuthProtectedResourceMetadata>
OAuthAuthorizer::protectedResourceMetadataStep(const URL& endpoint,
                                               const OAuthBearerChallenge* challenge,
                                               fw::http::Client& session) {
    const auto resourceMetadataURL =
        challenge ? challenge->resourceMetadataURL() : std::optional<URL>();
    if (protectedResourceMetadata_) {
        if (!resourceMetadataURL || (cachedProtectedResourceMetadataURL_ &&
                                     *cachedProtectedResourceMetadataURL_ == *resourceMetadataURL)) {
            co_return *protectedResourceMetadata_;
        }
        protectedResourceMetadata_.reset();
        authorizationServerMetadata_.reset();
        selectedAuthorizationServer_.reset();
        cachedProtectedResourceMetadataURL_.reset();
    }

    std::vector<URL> candidates;
    auto add = [&candidates](const URL& url) {
        if (std::find(candidates.begin(), candidates.end(), url) == candidates.end()) {
            candidates.push_back(url);
        }
    };
    if (resourceMetadataURL) {
        constexpr std::string_view kLabel = "Protected resource metadata URL";
        urlValidator_.validateOAuthEndpoint(*resourceMetadataURL, kLabel);
        if (isPrivateHost(urlValidator_, *resourceMetadataURL)) {
            throw OAuthAuthorizationError::privateIPAddressBlocked(
                std::string(kLabel), resourceMetadataURL->absoluteString());
        }
        add(*resourceMetadataURL);
    }
    if (const auto& configured = configuration_.endpointOverrides().protectedResourceMetadataURL) {
        urlValidator_.validateOAuthEndpoint(*configured,
                                            "Configured protected resource metadata URL");
        add(*configured);
    }
    for (const URL& url : discovery().protectedResourceMetadataURLs(endpoint)) {
        add(url);
    }
    std::optional<URL> fallbackServer;
    try {
        fallbackServer = discovery().issuerURI(endpoint);
    } catch (const std::exception&) {
        // No issuer to fall back on.
    }

    std::optional<URL> firstCandidate;
    if (!candidates.empty()) {
        firstCandidate = candidates.front();
    }
    auto metadata = co_await components_.discoveryClient->fetchProtectedResourceMetadata(
        std::move(candidates), std::move(fallbackServer), session);
    checkProtectedResource(metadata, endpoint);
    protectedResourceMetadata_ = metadata;
    cachedProtectedResourceMetadataURL_ = std::move(firstCandidate);
    co_return metadata;
}

void OAuthAuthorizer::checkProtectedResource(const OAuthProtectedResourceMetadata& metadata,
                                             const URL& endpoint) const {
    if (!metadata.resource) {
        return;
    }
    const std::string_view text = asciiTrimmed(*metadata.resource);
    if (text.empty()) {
        return;
    }
    const auto resource = URL::parse(text);
    if (!resource) {
        throw OAuthAuthorizationError::invalidResourceURI(
            "Protected resource metadata contains an invalid resource URI: " + std::string(text));
    }
    const URL normalizedEndpoint = discovery().normalizedResourceURI(endpoint);
    const URL normalizedResource = discovery().normalizedResourceURI(*resource);
    if (!discovery().resourceMatches(normalizedResource, normalizedEndpoint)) {
        throw OAuthAuthorizationError::protectedResourceMismatch(
            normalizedEndpoint.absoluteString(), normalizedResource.absoluteString());
    }
}

boost::asio::awaitable<OAuthAuthorizationServerMetadata>
OAuthAuthorizer::authorizationServerMetadataStep(const OAuthProtectedResourceMetadata& metadata,
                                                 fw::http::Client& session) {
    if (authorizationServerMetadata_) {
        co_return *authorizationServerMetadata_;
    }
    std::vector<URL> servers;
    if (const auto& configured = configuration_.endpointOverrides().authorizationServerURL) {
        urlValidator_.validateAuthorizationServerEndpoint(*configured,
                                                          "Authorization server issuer");
        servers.push_back(*configured);
    } else if (selectedAuthorizationServer_) {
        servers.push_back(*selectedAuthorizationServer_);
    } else {
        // A document may list any number; each costs requests, so only the first few are tried.
        servers.assign(metadata.authorizationServers.begin(),
                       metadata.authorizationServers.begin() +
                           static_cast<std::ptrdiff_t>(std::min(
                               metadata.authorizationServers.size(), kMaxAuthorizationServersTried)));
    }
    if (servers.empty()) {
        throw OAuthAuthorizationError::make(Case::missingAuthorizationServer);
    }
    auto fetched = co_await components_.discoveryClient->fetchAuthorizationServerMetadata(
        std::move(servers), session);
    selectedAuthorizationServer_ = std::move(fetched.first);
    authorizationServerMetadata_ = std::move(fetched.second);
    co_return *authorizationServerMetadata_;
}

URL OAuthAuthorizer::determineResource(const URL& endpoint) const {
    const URL normalizedEndpoint = discovery().normalizedResourceURI(endpoint);
    auto matching = [&](const URL& candidate) {
        URL resource = discovery().normalizedResourceURI(candidate);
        if (!discovery().resourceMatches(resource, normalizedEndpoint)) {
            throw OAuthAuthorizationError::protectedResourceMismatch(
                normalizedEndpoint.absoluteString(), resource.absoluteString());
        }
        return resource;
    };
    if (const auto& configured = configuration_.endpointOverrides().resource) {
        return matching(*configured);
    }
    if (protectedResourceMetadata_ && protectedResourceMetadata_->resource) {
        if (auto named = URL::parse(asciiTrimmed(*protectedResourceMetadata_->resource))) {
            return matching(*named);
        }
    }
    return normalizedEndpoint;
}

URL OAuthAuthorizer::determineTokenEndpoint() const {
    if (const auto& configured = configuration_.endpointOverrides().tokenEndpoint) {
        urlValidator_.validateAuthorizationServerEndpoint(*configured, "Configured token endpoint");
        return *configured;
    }
    if (!authorizationServerMetadata_ || !authorizationServerMetadata_->tokenEndpoint) {
        throw OAuthAuthorizationError::make(Case::tokenEndpointMissing);
    }
    const URL& tokenEndpoint = *authorizationServerMetadata_->tokenEndpoint;
    constexpr std::string_view kLabel = "Token endpoint";
    urlValidator_.validateAuthorizationServerEndpoint(tokenEndpoint, kLabel);
    if (isPrivateHost(urlValidator_, tokenEndpoint)) {
        throw OAuthAuthorizationError::privateIPAddressBlocked(std::string(kLabel),
                                                               tokenEndpoint.absoluteString());
    }
    return tokenEndpoint;
}

AccessTokenProviderContext OAuthAuthorizer::providerContext(
    std::int64_t statusCode, const URL& endpoint, const URL& resource,
    const OAuthProtectedResourceMetadata& metadata,
    const std::optional<std::string>& challengedScope,
    std::optional<std::set<std::string>> requestedScopes) const {
    const auto& overrides = configuration_.endpointOverrides();
    std::optional<URL> server = overrides.authorizationServerURL;
    if (!server) {
        server = selectedAuthorizationServer_;
    }
    if (!server && !metadata.authorizationServers.empty()) {
        server = metadata.authorizationServers.front();
    }
    const auto* serverMetadata =
        authorizationServerMetadata_ ? &*authorizationServerMetadata_ : nullptr;
    std::optional<URL> tokenEndpoint = overrides.tokenEndpoint;
    if (!tokenEndpoint && serverMetadata) {
        tokenEndpoint = serverMetadata->tokenEndpoint;
    }
    return AccessTokenProviderContext{
        .statusCode = statusCode,
        .endpoint = endpoint,
        .resource = resource,
        .authorizationServer = std::move(server),
        .authorizationEndpoint =
            serverMetadata ? serverMetadata->authorizationEndpoint : std::optional<URL>(),
        .tokenEndpoint = std::move(tokenEndpoint),
        .registrationEndpoint =
            serverMetadata ? serverMetadata->registrationEndpoint : std::optional<URL>(),
        .challengedScope = challengedScope,
        .scopesSupported = metadata.scopesSupported,
        .requestedScopes = std::move(requestedScopes),
    };
}

boost::asio::awaitable<bool> OAuthAuthorizer::offerAccessTokenProvider(
    AccessTokenProviderContext context, fw::http::Client& session) {
    const auto& provider = configuration_.accessTokenProvider();
    if (!provider) {
        co_return false;
    }
    const auto text = co_await provider(context, session);
    if (!text || text->empty()) {
        co_return false;
    }
    if (const auto defect = bearerTokenDefect(*text)) {
        throw std::runtime_error("The access-token provider gave a token that cannot be sent. " +
                                 *defect);
    }
    OAuthAccessToken token;
    token.value = *text;
    token.tokenType = "Bearer";
    token.scopes = context.requestedScopes.value_or(std::set<std::string>{});
    token.authorizationServer = context.authorizationServer;
    token.clientID = configuredClientID();
    tokenStorage_->save(token);
    co_return true;
}

boost::asio::awaitable<void> OAuthAuthorizer::acquireToken(
    const URL& endpoint, const OAuthProtectedResourceMetadata& metadata,
    const std::set<std::string>& requestedScopes, fw::http::Client& session) {
    const auto serverMetadata = co_await authorizationServerMetadataStep(metadata, session);
    // Before the user is sent to authorize: the code would only be exchanged with credentials
    // that may not go there.
    checkCredentialsMayGoToSelectedServer();
    co_await registerIfDue(serverMetadata, session);
    const URL resource = determineResource(endpoint);
    const URL tokenEndpoint = determineTokenEndpoint();

    Parameters form = formWith(requestedScopes, resource);
    if (configuration_.grantType() == GrantType::clientCredentials) {
        form["grant_type"] = "client_credentials";
    } else {
        auto authorization =
            co_await requestAuthorizationCode(serverMetadata, resource, requestedScopes, session);
        form["grant_type"] = "authorization_code";
        form["code"] = std::move(authorization.first);
        form["code_verifier"] = std::move(authorization.second);
        form["redirect_uri"] = configuration_.authorizationRedirectURI().absoluteString();
    }
    const auto response = co_await components_.tokenEndpointClient->requestToken(
        std::move(form), tokenEndpoint, configuration_.authentication(), session);
    noteCredentialsUsed();
    store(response, requestedScopes, std::nullopt);
}

boost::asio::awaitable<void> OAuthAuthorizer::registerIfDue(
    const OAuthAuthorizationServerMetadata& metadata, fw::http::Client& session) {
    if (registrationServer_ && selectedAuthorizationServer_ &&
        !sameAuthorizationServer(*registrationServer_, *selectedAuthorizationServer_)) {
        // A client registered at one server is unknown to another: it registers there afresh,
        // as the client it was configured to be.
        registrationServer_.reset();
        clientSecretExpiresAt_.reset();
        clientRegistrationAttempted_ = false;
        configuration_.setAuthentication(configuredAuthentication_);
    }
    if (clientSecretExpiresAt_ && components_.now() >= *clientSecretExpiresAt_) {
        clientSecretExpiresAt_.reset();
        clientRegistrationAttempted_ = false;
        configuration_.setAuthentication(
            TokenEndpointAuthentication::none(configuration_.authentication().clientID()));
    }
    if (clientRegistrationAttempted_ ||
        configuration_.authentication().method() != TokenEndpointAuthentication::Method::none) {
        co_return;
    }
    auto attempted = [this] {
        clientRegistrationAttempted_ = true;
        registrationServer_ = selectedAuthorizationServer_;
    };
    std::optional<OAuthClientRegistration> registration;
    try {
        registration =
            co_await components_.clientRegistrar->registerClient(configuration_, metadata, session);
    } catch (const OAuthAuthorizationError& error) {
        // A server that refuses the registration outright is not asked again; any other failure
        // (unreachable, 5xx) leaves registration to the next acquisition.
        if (error.errorCase() == Case::tokenRequestFailed && error.statusCode() >= 400 &&
            error.statusCode() <= 499) {
            attempted();
        }
        throw;
    } catch (const DecodingError&) {
        // The server took the registration (2xx) but its answer is unreadable: registering again
        // would only make another client it does not tell about.
        attempted();
        throw;
    }
    attempted();
    if (!registration) {
        co_return;
    }
    configuration_.setAuthentication(std::move(registration->second));
    if (const auto expiresAt = registration->first.clientSecretExpiresAt; expiresAt && *expiresAt > 0) {
        clientSecretExpiresAt_ = Instant::fromUnixSeconds(static_cast<double>(*expiresAt));
    }
}

boost::asio::awaitable<std::pair<std::string, std::string>>
OAuthAuthorizer::requestAuthorizationCode(const OAuthAuthorizationServerMetadata& metadata,
                                          const URL& resource,
                                          const std::set<std::string>& requestedScopes,
                                          fw::http::Client& session) {
    if (!metadata.authorizationEndpoint) {
        throw OAuthAuthorizationError::make(Case::authorizationEndpointMissing);
    }
    const URL& authorizationEndpoint = *metadata.authorizationEndpoint;
    constexpr std::string_view kLabel = "Authorization endpoint";
    urlValidator_.validateAuthorizationServerEndpoint(authorizationEndpoint, kLabel);
    if (isPrivateHost(urlValidator_, authorizationEndpoint)) {
        throw OAuthAuthorizationError::privateIPAddressBlocked(
            std::string(kLabel), authorizationEndpoint.absoluteString());
    }
    const URL& redirectURI = configuration_.authorizationRedirectURI();
    urlValidator_.validateRedirectURI(redirectURI);
    PKCE::validateS256Support(metadata);
    std::string verifier = PKCE::generateCodeVerifier(kCodeVerifierLength);
    const std::string state = randomUUIDText();
    const URL authorizationURL = makeAuthorizationURL(
        authorizationEndpoint, resource, redirectURI, configuration_.authentication().clientID(),
        PKCE::codeChallenge(verifier), requestedScopes, state, *components_.scopeSelector);
    std::optional<AuthorizationResponseIssuer> issuer;
    if (metadata.issuer) {
        issuer = AuthorizationResponseIssuer{
            metadata.issuer->absoluteString(),
            metadata.authorizationResponseIssParameterSupported.value_or(false)};
    }
    std::string code = co_await components_.authCodeFlow->authorize(
        authorizationURL, redirectURI, state, std::move(issuer),
        configuration_.authorizationDelegate(), session);
    co_return std::pair(std::move(code), std::move(verifier));
}

boost::asio::awaitable<void> OAuthAuthorizer::refresh(const std::string& refreshToken,
                                                      const URL& resource,
                                                      const std::set<std::string>& requestedScopes,
                                                      fw::http::Client& session) {
    checkCredentialsMayGoToSelectedServer();
    const URL tokenEndpoint = determineTokenEndpoint();
    Parameters form = formWith(requestedScopes, resource);
    form["grant_type"] = "refresh_token";
    form["refresh_token"] = refreshToken;
    const auto response = co_await components_.tokenEndpointClient->requestToken(
        std::move(form), tokenEndpoint, configuration_.authentication(), session);
    noteCredentialsUsed();
    store(response, requestedScopes, refreshToken);
}

boost::asio::awaitable<void> OAuthAuthorizer::prepareAuthorization(URL endpoint,
                                                                   fw::http::Client& session) {
    const double window = configuration_.proactiveRefreshWindowSeconds();
    if (!(window > 0)) {
        co_return;
    }
    // A refresh or acquisition in progress makes this one needless, whatever its outcome.
    co_await awaitFlight(false);
    const auto token = tokenStorage_->load();
    if (!token || !token->expiresAt || components_.now().adding(window) < *token->expiresAt) {
        co_return;
    }
    co_await inFlight(refreshAhead(endpoint, session));
}

boost::asio::awaitable<bool> OAuthAuthorizer::refreshAhead(const URL& endpoint,
                                                           fw::http::Client& session) {
    const auto token = tokenStorage_->load();
    if (!token || !token->refreshToken || !authorizationServerMetadata_ ||
        !authorizationServerMetadata_->tokenEndpoint || !isFromSelectedServer(*token)) {
        co_return false;
    }
    try {
        const URL resource = determineResource(endpoint);
        co_await refresh(*token->refreshToken, resource, token->scopes, session);
        co_return true;
    } catch (...) {
        // The token stays as it is; a challenge will tell whether it still works.
    }
    co_return false;
}

OAuthAuthorizer::Parameters OAuthAuthorizer::formWith(const std::set<std::string>& requestedScopes,
                                                      const URL& resource) const {
    Parameters form = configuration_.additionalTokenRequestParameters();
    form["resource"] = resource.absoluteString();
    if (!requestedScopes.empty()) {
        if (auto scope = components_.scopeSelector->scopeParameter(requestedScopes)) {
            form["scope"] = std::move(*scope);
        }
    }
    return form;
}

void OAuthAuthorizer::store(const OAuthTokenResponse& response,
                            const std::set<std::string>& requestedScopes,
                            std::optional<std::string> previousRefreshToken) {
    if (bearerTokenDefect(response.accessToken)) {
        throw OAuthAuthorizationError::make(Case::tokenResponseInvalid);
    }
    OAuthAccessToken token;
    token.value = response.accessToken;
    token.tokenType = "Bearer";
    if (response.expiresIn) {
        token.expiresAt = OAuthAccessToken::expiryAfter(components_.now(), *response.expiresIn);
    }
    token.scopes =
        response.scope ? components_.scopeSelector->scopes(*response.scope) : requestedScopes;
    token.authorizationServer = selectedAuthorizationServer_;
    // A refresh answer without a new refresh token leaves the one that was used in force.
    token.refreshToken = response.refreshToken ? response.refreshToken : previousRefreshToken;
    token.clientID = configuredClientID();
    tokenStorage_->save(token);
    unsentToken_ = token.value;
}

std::optional<std::string> OAuthAuthorizer::configuredClientID() const {
    const std::string& clientID = configuration_.authentication().clientID();
    return clientID.empty() ? std::nullopt : std::optional(clientID);
}

}  // namespace mcp
