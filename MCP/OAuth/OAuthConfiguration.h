// OAuthConfiguration: how a library user sets up the OAuth 2 client that the HTTP client
// transport consults: the grant, the client authentication at the token endpoint, retry limits,
// endpoints fixed in advance, the redirect URI, extra token-request parameters, the client name
// for registration, an optional access-token provider, an optional authorization delegate and the
// proactive refresh window. Also the four client-authentication methods with `apply`, which
// attaches a client's credentials to a token request, and the ES256 client assertion of
// private_key_jwt (RFC 7523; a JWT signed with a P-256 key).
//
// Plain values: copies are independent and may be shared between threads. The functions held
// (assertion factory, access-token provider) may be called from any task.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "MCP/OAuth/Instant.h"
#include "MCP/OAuth/SecureRandom.h"
#include "MCP/OAuth/URL.h"
#include "platform/http/Client.h"

namespace mcp {

struct OAuthClientRegistrationResponse;

enum class GrantType { authorizationCode, clientCredentials };

// The error of the ES256 assertion builder.
class PrivateKeyJWTAssertionError : public std::exception {
public:
    enum class Case { invalidLifetime, cryptographyUnavailable };

    static PrivateKeyJWTAssertionError invalidLifetime(double lifetime);
    static PrivateKeyJWTAssertionError cryptographyUnavailable();

    Case errorCase() const noexcept { return case_; }
    // The rejected lifetime (invalidLifetime).
    double lifetime() const noexcept { return lifetime_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    PrivateKeyJWTAssertionError(Case errorCase, double lifetime, std::string description)
        : case_(errorCase), lifetime_(lifetime), description_(std::move(description)) {}

    Case case_;
    double lifetime_;
    std::string description_;
};

enum class PrivateKeyJWTSigningAlgorithm { ES256 };
// "ES256" exactly; any other text gives nothing.
std::optional<PrivateKeyJWTSigningAlgorithm> privateKeyJWTSigningAlgorithm(std::string_view raw);
std::string_view rawValue(PrivateKeyJWTSigningAlgorithm algorithm);

// How the client authenticates at the token endpoint.
class TokenEndpointAuthentication {
public:
    enum class Method { clientSecretBasic, clientSecretPost, none, privateKeyJWT };
    // Given the token endpoint and the client identifier, the assertion text.
    using AssertionFactory = std::function<boost::asio::awaitable<std::string>(
        const URL& tokenEndpoint, const std::string& clientID)>;

    static constexpr std::string_view kClientAssertionType =
        "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";

    static TokenEndpointAuthentication clientSecretBasic(std::string clientID,
                                                         std::string clientSecret);
    static TokenEndpointAuthentication clientSecretPost(std::string clientID,
                                                        std::string clientSecret);
    static TokenEndpointAuthentication none(std::string clientID);
    static TokenEndpointAuthentication privateKeyJWT(std::string clientID,
                                                     AssertionFactory assertionFactory);

    Method method() const noexcept { return method_; }
    const std::string& clientID() const noexcept { return clientID_; }
    // Empty for none and privateKeyJWT.
    const std::string& clientSecret() const noexcept { return clientSecret_; }
    const AssertionFactory& assertionFactory() const noexcept { return assertionFactory_; }

    // Attaches the credentials to a token request whose method and headers are set, before its
    // parameters become the body:
    //   clientSecretBasic: "Authorization: Basic " + Base64(enc(id) + ":" + enc(secret)), enc
    //     being the form encoding of RFC 6749 section 2.3.1, so reserved characters survive;
    //   clientSecretPost: "client_id" and "client_secret" parameters;
    //   none: "client_id";
    //   privateKeyJWT: "client_id", "client_assertion_type", then "client_assertion" from the
    //     factory, whose error reaches the caller unchanged.
    boost::asio::awaitable<void> apply(fw::http::Request& request,
                                       std::map<std::string, std::string>& parameters,
                                       const URL& tokenEndpoint) const;

    // A compact ES256 JWT client assertion: header {"alg":"ES256","typ":"JWT"}, claims iss = sub
    // = clientID, aud = `audience` or the token endpoint's text, iat = issuedAt in whole seconds,
    // exp = iat + max(1, floor(lifetime)), jti = a random UUID. Throws
    // PrivateKeyJWTAssertionError::invalidLifetime for a lifetime not above zero (NaN included)
    // or one too large to count in 64-bit seconds, std::out_of_range when issuedAt cannot be, and
    // std::invalid_argument when the PEM text is no P-256 private key.
    static std::string makePrivateKeyJWTAssertion(
        const std::string& clientID, const URL& tokenEndpoint, std::string_view privateKeyPEM,
        const std::optional<std::string>& audience, Instant issuedAt, double lifetime,
        const RandomByteSource& random = secureRandomBytes);

    // The authentication to use once `registration` has been granted: the same method with the
    // registered client identifier; the two secret methods take the registered secret when there
    // is one; privateKeyJWT keeps its assertion factory.
    TokenEndpointAuthentication adopting(const OAuthClientRegistrationResponse& registration) const;

    // Same case and clientID; the secrets too for the two secret cases; factories never compared.
    friend bool operator==(const TokenEndpointAuthentication& a,
                           const TokenEndpointAuthentication& b);

private:
    TokenEndpointAuthentication() = default;

    Method method_ = Method::none;
    std::string clientID_;
    std::string clientSecret_;
    AssertionFactory assertionFactory_;
};

struct RetryPolicy {
    // Each stored as at least 1.
    RetryPolicy(int maxAuthorizationAttempts, int maxScopeUpgradeAttempts);

    // 3 authorization attempts, 2 scope upgrades.
    static const RetryPolicy defaultPolicy;

    int maxAuthorizationAttempts;
    int maxScopeUpgradeAttempts;

    friend bool operator==(const RetryPolicy&, const RetryPolicy&) = default;
};

struct EndpointOverrides {
    std::optional<URL> protectedResourceMetadataURL;
    std::optional<URL> authorizationServerURL;
    std::optional<URL> tokenEndpoint;
    std::optional<URL> resource;

    // All four absent.
    static const EndpointOverrides none;

    friend bool operator==(const EndpointOverrides&, const EndpointOverrides&) = default;
};

// What the authorizer tells a caller-supplied access-token provider.
struct AccessTokenProviderContext {
    std::int64_t statusCode;  // 401 for a missing or rejected token, 403 for a scope upgrade
    URL endpoint;
    URL resource;
    std::optional<URL> authorizationServer;
    std::optional<URL> authorizationEndpoint;
    std::optional<URL> tokenEndpoint;
    std::optional<URL> registrationEndpoint;
    std::optional<std::string> challengedScope;
    std::optional<std::vector<std::string>> scopesSupported;
    std::optional<std::set<std::string>> requestedScopes;
};

// The caller's part in the authorization step of the authorization-code flow: shows the
// authorization URL to the user and gives back the URL the user agent was finally redirected to.
class OAuthAuthorizationDelegate {
public:
    virtual ~OAuthAuthorizationDelegate() = default;
    virtual boost::asio::awaitable<URL> redirectURL(const URL& authorizationURL) = 0;
};

class OAuthConfiguration {
public:
    using AccessTokenProvider = std::function<boost::asio::awaitable<std::optional<std::string>>(
        const AccessTokenProviderContext& context, fw::http::Client& session)>;

    // Each parameter is stored as given; without a redirect URI, makeLoopbackRedirectURI()
    // gives one, drawn once here.
    OAuthConfiguration(GrantType grantType, TokenEndpointAuthentication authentication,
                       RetryPolicy retryPolicy, EndpointOverrides endpointOverrides,
                       std::optional<URL> authorizationRedirectURI, std::string clientName,
                       std::map<std::string, std::string> additionalTokenRequestParameters,
                       AccessTokenProvider accessTokenProvider,
                       std::shared_ptr<OAuthAuthorizationDelegate> authorizationDelegate,
                       double proactiveRefreshWindowSeconds);

    GrantType grantType() const noexcept { return grantType_; }
    const TokenEndpointAuthentication& authentication() const noexcept { return authentication_; }
    void setAuthentication(TokenEndpointAuthentication authentication) {
        authentication_ = std::move(authentication);
    }
    const RetryPolicy& retryPolicy() const noexcept { return retryPolicy_; }
    const EndpointOverrides& endpointOverrides() const noexcept { return endpointOverrides_; }
    bool allowLoopbackHTTPAuthorizationServerEndpoints() const noexcept {
        return allowLoopbackHTTPAuthorizationServerEndpoints_;
    }
    void setAllowLoopbackHTTPAuthorizationServerEndpoints(bool allow) noexcept {
        allowLoopbackHTTPAuthorizationServerEndpoints_ = allow;
    }
    const URL& authorizationRedirectURI() const noexcept { return authorizationRedirectURI_; }
    const std::map<std::string, std::string>& additionalTokenRequestParameters() const noexcept {
        return additionalTokenRequestParameters_;
    }
    const std::string& clientName() const noexcept { return clientName_; }
    const AccessTokenProvider& accessTokenProvider() const noexcept { return accessTokenProvider_; }
    const std::shared_ptr<OAuthAuthorizationDelegate>& authorizationDelegate() const noexcept {
        return authorizationDelegate_;
    }
    double proactiveRefreshWindowSeconds() const noexcept { return proactiveRefreshWindowSeconds_; }

    // "http://127.0.0.1:" + a port in 49152...65535 (the top 14 bits of 64 random bits, plus
    // 49152) + "/callback". Nothing is bound to the port.
    static URL makeLoopbackRedirectURI(const RandomByteSource& random = secureRandomBytes);

private:
    GrantType grantType_;
    TokenEndpointAuthentication authentication_;
    RetryPolicy retryPolicy_;
    EndpointOverrides endpointOverrides_;
    bool allowLoopbackHTTPAuthorizationServerEndpoints_ = false;
    URL authorizationRedirectURI_;
    std::map<std::string, std::string> additionalTokenRequestParameters_;
    std::string clientName_;
    AccessTokenProvider accessTokenProvider_;
    std::shared_ptr<OAuthAuthorizationDelegate> authorizationDelegate_;
    double proactiveRefreshWindowSeconds_;
};

}  // namespace mcp
