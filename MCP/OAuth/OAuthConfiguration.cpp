#include "MCP/OAuth/OAuthConfiguration.h"

#include <array>
#include <cmath>

#include "MCP/JSON/DataURL.h"
#include "MCP/OAuth/FormEncoding.h"
#include "MCP/OAuth/OAuthModels.h"

namespace mcp {

PrivateKeyJWTAssertionError PrivateKeyJWTAssertionError::invalidLifetime(double lifetime) {
    return PrivateKeyJWTAssertionError(
        Case::invalidLifetime, lifetime,
        "private_key_jwt assertion lifetime must be greater than zero seconds, got " +
            formatDouble(lifetime));
}

PrivateKeyJWTAssertionError PrivateKeyJWTAssertionError::cryptographyUnavailable() {
    return PrivateKeyJWTAssertionError(
        Case::cryptographyUnavailable, 0,
        "private_key_jwt assertion signing requires P-256 signing support");
}

std::optional<PrivateKeyJWTSigningAlgorithm> privateKeyJWTSigningAlgorithm(std::string_view raw) {
    if (raw == "ES256") {
        return PrivateKeyJWTSigningAlgorithm::ES256;
    }
    return std::nullopt;
}

std::string_view rawValue(PrivateKeyJWTSigningAlgorithm) { return "ES256"; }

TokenEndpointAuthentication TokenEndpointAuthentication::clientSecretBasic(
    std::string clientID, std::string clientSecret) {
    TokenEndpointAuthentication authentication;
    authentication.method_ = Method::clientSecretBasic;
    authentication.clientID_ = std::move(clientID);
    authentication.clientSecret_ = std::move(clientSecret);
    return authentication;
}

TokenEndpointAuthentication TokenEndpointAuthentication::clientSecretPost(
    std::string clientID, std::string clientSecret) {
    TokenEndpointAuthentication authentication = clientSecretBasic(std::move(clientID),
                                                                   std::move(clientSecret));
    authentication.method_ = Method::clientSecretPost;
    return authentication;
}

TokenEndpointAuthentication TokenEndpointAuthentication::none(std::string clientID) {
    TokenEndpointAuthentication authentication;
    authentication.method_ = Method::none;
    authentication.clientID_ = std::move(clientID);
    return authentication;
}

TokenEndpointAuthentication TokenEndpointAuthentication::privateKeyJWT(
    std::string clientID, AssertionFactory assertionFactory) {
    TokenEndpointAuthentication authentication;
    authentication.method_ = Method::privateKeyJWT;
    authentication.clientID_ = std::move(clientID);
    authentication.assertionFactory_ = std::move(assertionFactory);
    return authentication;
}

boost::asio::awaitable<void> TokenEndpointAuthentication::apply(
    fw::http::Request& request, std::map<std::string, std::string>& parameters,
    const URL& tokenEndpoint) const {
    switch (method_) {
        case Method::clientSecretBasic: {
            // RFC 6749 section 2.3.1: both parts form-encoded before they are joined, so a
            // colon or another reserved character inside either survives the server's split.
            const std::string credentials =
                formEncodeComponent(clientID_) + ":" + formEncodeComponent(clientSecret_);
            request.headers.set(
                "Authorization",
                "Basic " + base64Encode(std::span(
                               reinterpret_cast<const std::uint8_t*>(credentials.data()),
                               credentials.size())));
            break;
        }
        case Method::clientSecretPost:
            parameters.insert_or_assign("client_id", clientID_);
            parameters.insert_or_assign("client_secret", clientSecret_);
            break;
        case Method::none:
            parameters.insert_or_assign("client_id", clientID_);
            break;
        case Method::privateKeyJWT: {
            parameters.insert_or_assign("client_id", clientID_);
            parameters.insert_or_assign("client_assertion_type", std::string(kClientAssertionType));
            std::string assertion = co_await assertionFactory_(tokenEndpoint, clientID_);
            parameters.insert_or_assign("client_assertion", std::move(assertion));
            break;
        }
    }
}

TokenEndpointAuthentication TokenEndpointAuthentication::adopting(
    const OAuthClientRegistrationResponse& registration) const {
    TokenEndpointAuthentication adopted = *this;
    adopted.clientID_ = registration.clientID;
    if ((method_ == Method::clientSecretBasic || method_ == Method::clientSecretPost) &&
        registration.clientSecret) {
        adopted.clientSecret_ = *registration.clientSecret;
    }
    return adopted;
}

bool operator==(const TokenEndpointAuthentication& a, const TokenEndpointAuthentication& b) {
    if (a.method_ != b.method_ || a.clientID_ != b.clientID_) {
        return false;
    }
    using Method = TokenEndpointAuthentication::Method;
    if (a.method_ == Method::clientSecretBasic || a.method_ == Method::clientSecretPost) {
        return a.clientSecret_ == b.clientSecret_;
    }
    return true;
}

RetryPolicy::RetryPolicy(int maxAuthorizationAttempts, int maxScopeUpgradeAttempts)
    : maxAuthorizationAttempts(std::max(1, maxAuthorizationAttempts)),
      maxScopeUpgradeAttempts(std::max(1, maxScopeUpgradeAttempts)) {}

const RetryPolicy RetryPolicy::defaultPolicy{3, 2};

const EndpointOverrides EndpointOverrides::none{};

OAuthConfiguration::OAuthConfiguration(
    GrantType grantType, TokenEndpointAuthentication authentication, RetryPolicy retryPolicy,
    EndpointOverrides endpointOverrides, std::optional<URL> authorizationRedirectURI,
    std::string clientName, std::map<std::string, std::string> additionalTokenRequestParameters,
    AccessTokenProvider accessTokenProvider,
    std::shared_ptr<OAuthAuthorizationDelegate> authorizationDelegate,
    double proactiveRefreshWindowSeconds)
    : grantType_(grantType),
      authentication_(std::move(authentication)),
      retryPolicy_(retryPolicy),
      endpointOverrides_(std::move(endpointOverrides)),
      authorizationRedirectURI_(authorizationRedirectURI ? std::move(*authorizationRedirectURI)
                                                         : makeLoopbackRedirectURI()),
      additionalTokenRequestParameters_(std::move(additionalTokenRequestParameters)),
      clientName_(std::move(clientName)),
      accessTokenProvider_(std::move(accessTokenProvider)),
      authorizationDelegate_(std::move(authorizationDelegate)),
      proactiveRefreshWindowSeconds_(proactiveRefreshWindowSeconds) {}

URL OAuthConfiguration::makeLoopbackRedirectURI(const RandomByteSource& random) {
    std::array<std::uint8_t, 8> bytes{};
    random(bytes);
    std::uint64_t value = 0;
    for (std::uint8_t byte : bytes) {
        value = (value << 8) | byte;
    }
    const std::uint64_t port = 49152 + (value >> 50);  // the top 14 bits: 0...16383
    return *URL::parse("http://127.0.0.1:" + std::to_string(port) + "/callback");
}

}  // namespace mcp
