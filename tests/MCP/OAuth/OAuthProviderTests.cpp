// The OAuth client against a real authorization server on loopback: npm's oidc-provider
// (installed by scripts/setup into oauth-npm/), started for each test with four clients, one per
// client-authentication method, and stopped when the test ends. Each method gets a
// client-credentials token and a refresh. A public client registers itself, runs the headless
// authorization code flow with PKCE, state and a resource indicator, and exchanges the code.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <boost/asio/io_context.hpp>
#include <memory>
#include <string>

#include "MCP/JSON/DataURL.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/OAuth/OAuthAuthorizationCodeFlow.h"
#include "MCP/OAuth/OAuthClientRegistrar.h"
#include "MCP/OAuth/OAuthDiscoveryScopes.h"
#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/OAuthTokenEndpointClient.h"
#include "MCP/OAuth/PKCE.h"
#include "tests/MCP/OAuth/OAuthPeerServer.h"
#include "tests/MCP/OAuth/OAuthTestSupport.h"
#include "tests/platform/http/RunAsync.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using fw::http::testing::runAsync;
using Parameters = std::map<std::string, std::string>;

// A secret with every kind of reserved character: sent without form-encoding it breaks.
const std::string kBasicSecret = "s:e/c r%t&+=?#";

std::string generateP256PrivateKey() {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string publicPEMOf(const std::string& privatePEM) {
    std::unique_ptr<BIO, decltype(&BIO_free)> in(
        BIO_new_mem_buf(privatePEM.data(), static_cast<int>(privatePEM.size())), BIO_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> out(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PUBKEY(out.get(), key.get());
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

Value client(const std::string& id, const std::string& method, std::vector<std::string> grants) {
    Array grantValues;
    for (auto& grant : grants) {
        grantValues.push_back(Value(grant));
    }
    return Value::object({{"client_id", id},
                          {"token_endpoint_auth_method", method},
                          {"grant_types", Value(std::move(grantValues))},
                          {"response_types", Value(Array{})},
                          {"redirect_uris", Value(Array{})}});
}

// The authorization server with four clients, one per client-authentication method.
Value providerConfiguration(const std::string& jwtPublicKeyPEM) {
    Value basic = client("basic", "client_secret_basic", {"client_credentials", "refresh_token"});
    basic.objectValue()->insertOrAssign("client_secret", Value(kBasicSecret));
    Value post = client("post", "client_secret_post", {"client_credentials", "refresh_token"});
    post.objectValue()->insertOrAssign("client_secret", Value("post-secret"));
    Value jwt = client("jwt", "private_key_jwt", {"client_credentials", "refresh_token"});
    jwt.objectValue()->insertOrAssign("token_endpoint_auth_signing_alg", Value("ES256"));
    jwt.objectValue()->insertOrAssign("public_key_pem", Value(jwtPublicKeyPEM));
    return Value::object(
        {{"clients", Value::array({basic, post, client("public", "none", {"refresh_token"}), jwt})}});
}

class OAuthProvider : public ::testing::Test {
protected:
    OAuthTokenResponse requestToken(Parameters parameters,
                                    const TokenEndpointAuthentication& authentication) {
        return runAsync(context, OAuthTokenEndpointClient().requestToken(
                                     std::move(parameters), *server.tokenEndpoint, authentication,
                                     session));
    }

    // A client-credentials token for "read", then a refresh with the client's refresh token.
    void clientCredentialsAndRefresh(const std::string& clientID,
                                     const TokenEndpointAuthentication& authentication) {
        const auto token = requestToken({{"grant_type", "client_credentials"}, {"scope", "read"}},
                                        authentication);
        EXPECT_FALSE(token.accessToken.empty());
        EXPECT_EQ(token.tokenType, "Bearer");
        EXPECT_EQ(token.scope, "read");
        EXPECT_GT(token.expiresIn.value_or(0), 0);
        refresh(clientID, authentication);
    }

    void refresh(const std::string& clientID, const TokenEndpointAuthentication& authentication) {
        const auto refreshed = requestToken(
            {{"grant_type", "refresh_token"}, {"refresh_token", server.refreshTokens.at(clientID)}},
            authentication);
        EXPECT_FALSE(refreshed.accessToken.empty());
        EXPECT_EQ(refreshed.tokenType, "Bearer");
        EXPECT_TRUE(refreshed.refreshToken.has_value());
        EXPECT_EQ(refreshed.scope, "openid offline_access");
    }

    std::string jwtKey = generateP256PrivateKey();
    testing::OAuthPeerServer server{providerConfiguration(publicPEMOf(jwtKey))};
    asio::io_context context;
    fw::http::Client session{context.get_executor()};
};

TEST_F(OAuthProvider, ClientSecretBasicWithReservedCharacters) {
    clientCredentialsAndRefresh("basic",
                                TokenEndpointAuthentication::clientSecretBasic("basic", kBasicSecret));

    // The same credentials joined without form-encoding, as some clients send them, are refused:
    // the server form-decodes both parts.
    fw::http::Request raw;
    raw.method = "POST";
    raw.url = server.tokenEndpoint->absoluteString();
    raw.headers.set("Content-Type", "application/x-www-form-urlencoded");
    const std::string joined = "basic:" + kBasicSecret;
    raw.headers.set("Authorization",
                    "Basic " + base64Encode(std::span(
                                   reinterpret_cast<const std::uint8_t*>(joined.data()), joined.size())));
    raw.body = "grant_type=client_credentials";
    const int status = runAsync(context, [&]() -> asio::awaitable<int> {
        auto response = co_await session.send(raw);
        co_await response.body.readAll();
        co_return response.status;
    }());
    EXPECT_EQ(status, 400);
}

TEST_F(OAuthProvider, ClientSecretPost) {
    clientCredentialsAndRefresh("post",
                                TokenEndpointAuthentication::clientSecretPost("post", "post-secret"));
}

TEST_F(OAuthProvider, PrivateKeyJWT) {
    const std::string key = jwtKey;
    const auto authentication = TokenEndpointAuthentication::privateKeyJWT(
        "jwt", [key](const URL& endpoint, const std::string& clientID) -> asio::awaitable<std::string> {
            co_return TokenEndpointAuthentication::makePrivateKeyJWTAssertion(
                clientID, endpoint, key, std::nullopt, Instant::now(), 60);
        });
    clientCredentialsAndRefresh("jwt", authentication);
}

TEST_F(OAuthProvider, PublicClientRefreshesButGetsNoClientCredentials) {
    const auto authentication = TokenEndpointAuthentication::none("public");
    refresh("public", authentication);
    try {
        requestToken({{"grant_type", "client_credentials"}}, authentication);
        ADD_FAILURE() << "a public client got a client-credentials token";
    } catch (const OAuthAuthorizationError& error) {
        EXPECT_EQ(error.errorCase(), OAuthAuthorizationError::Case::tokenRequestFailed);
        EXPECT_EQ(error.statusCode(), 400);
        EXPECT_TRUE(error.oauthError().has_value() && !error.oauthError()->empty());
    }
}

TEST_F(OAuthProvider, RefusalsCarryTheServersError) {
    const struct {
        const char* name;
        Parameters parameters;
        TokenEndpointAuthentication authentication;
        std::int64_t status;
        const char* oauthError;
    } cases[] = {
        {"wrong secret",
         {{"grant_type", "client_credentials"}},
         TokenEndpointAuthentication::clientSecretPost("post", "wrong"),
         401,
         "invalid_client"},
        {"unknown client",
         {{"grant_type", "client_credentials"}},
         TokenEndpointAuthentication::clientSecretBasic("nobody", "x"),
         401,
         "invalid_client"},
        {"unknown refresh token",
         {{"grant_type", "refresh_token"}, {"refresh_token", "not-a-token"}},
         TokenEndpointAuthentication::clientSecretPost("post", "post-secret"),
         400,
         "invalid_grant"},
        {"assertion signed with another key",
         {{"grant_type", "client_credentials"}},
         TokenEndpointAuthentication::privateKeyJWT(
             "jwt",
             [](const URL& endpoint, const std::string& clientID) -> asio::awaitable<std::string> {
                 co_return TokenEndpointAuthentication::makePrivateKeyJWTAssertion(
                     clientID, endpoint, generateP256PrivateKey(), std::nullopt, Instant::now(), 60);
             }),
         401,
         "invalid_client"},
    };
    for (const auto& c : cases) {
        try {
            requestToken(c.parameters, c.authentication);
            ADD_FAILURE() << c.name;
        } catch (const OAuthAuthorizationError& error) {
            EXPECT_EQ(error.errorCase(), OAuthAuthorizationError::Case::tokenRequestFailed) << c.name;
            EXPECT_EQ(error.statusCode(), c.status) << c.name;
            EXPECT_EQ(error.oauthError(), c.oauthError) << c.name;
        }
    }
}

// A public client that registers itself and asks for authorization codes headlessly.
class OAuthProviderCodeFlow : public OAuthProvider {
protected:
    void SetUp() override {
        metadata = runAsync(context, [this]() -> asio::awaitable<OAuthAuthorizationServerMetadata> {
            fw::http::Request request;
            request.url = server.issuer->absoluteString() + "/.well-known/openid-configuration";
            auto response = co_await session.send(std::move(request));
            co_return decodeValue<OAuthAuthorizationServerMetadata>(
                parseJson(co_await response.body.readAll()));
        }());
    }

    // Without a redirect URI the configuration draws a loopback one.
    static OAuthConfiguration publicClient(std::optional<URL> redirectURI = std::nullopt) {
        return OAuthConfiguration(
            GrantType::authorizationCode, TokenEndpointAuthentication::none("frameweaver-tests"),
            RetryPolicy::defaultPolicy, EndpointOverrides::none, std::move(redirectURI),
            "Frameweaver tests", {}, nullptr, nullptr, 60);
    }

    std::optional<OAuthClientRegistration> registerClient(const OAuthConfiguration& configuration) {
        return runAsync(context, OAuthClientRegistrar(OAuthURLValidator(true))
                                     .registerClient(configuration, metadata, session));
    }

    // The code for an authorization request of `clientID` sent to the server, checked against
    // `expectedState`.
    std::string authorize(const std::string& clientID, const URL& redirectURI,
                          const std::string& verifier, std::optional<std::set<std::string>> scopes,
                          const std::string& expectedState) {
        const URL authorizationURL = OAuthAuthorizationCodeFlow::authorizationURL(
            metadata.authorizationEndpoint, kResource, redirectURI, clientID,
            PKCE::codeChallenge(verifier), scopes, state, DefaultOAuthScopeSelector());
        // The provider names itself in "iss" (RFC 9207), as its metadata says.
        std::optional<AuthorizationResponseIssuer> issuer;
        if (metadata.issuer) {
            issuer = AuthorizationResponseIssuer{
                metadata.issuer->absoluteString(),
                metadata.authorizationResponseIssParameterSupported.value_or(false)};
        }
        return runAsync(context, OAuthAuthorizationCodeFlow().authorize(
                                     authorizationURL, redirectURI, expectedState, issuer,
                                     nullptr, session));
    }

    OAuthTokenResponse exchange(Parameters parameters,
                                const TokenEndpointAuthentication& authentication) {
        return runAsync(context, OAuthTokenEndpointClient(OAuthURLValidator(true))
                                     .requestToken(std::move(parameters), *metadata.tokenEndpoint,
                                                   authentication, session));
    }

    const URL kResource = *URL::parse("https://mcp.example.test/mcp");
    // Characters that survive only when both sides encode and decode as forms do.
    const std::string state = "s+t &u=" + PKCE::generateCodeVerifier(32);
    OAuthAuthorizationServerMetadata metadata;
};

TEST_F(OAuthProviderCodeFlow, RegistersAuthorizesWithPKCEAndExchangesTheCode) {
    EXPECT_NO_THROW(PKCE::validateS256Support(metadata));
    const OAuthConfiguration configuration = publicClient();
    const URL& redirectURI = configuration.authorizationRedirectURI();
    const auto registration = registerClient(configuration);
    ASSERT_TRUE(registration);
    const auto& [response, authentication] = *registration;
    EXPECT_FALSE(response.clientID.empty());
    EXPECT_NE(response.clientID, "frameweaver-tests");
    EXPECT_EQ(response.tokenEndpointAuthMethod, "none");
    EXPECT_TRUE(authentication == TokenEndpointAuthentication::none(response.clientID));

    const std::string verifier = PKCE::generateCodeVerifier(64);
    const std::string code = authorize(authentication.clientID(), redirectURI, verifier,
                                       std::set<std::string>{"read"}, state);
    const Parameters parameters{{"grant_type", "authorization_code"},
                                {"code", code},
                                {"redirect_uri", redirectURI.absoluteString()},
                                {"code_verifier", verifier},
                                {"resource", kResource.absoluteString()}};
    const auto token = exchange(parameters, authentication);
    EXPECT_FALSE(token.accessToken.empty());
    EXPECT_EQ(token.tokenType, "Bearer");
    EXPECT_EQ(token.scope, "read");
    ASSERT_TRUE(token.refreshToken);

    // The refresh token serves the resource it was granted for, and no other. A public client's
    // refresh token is replaced by each refresh.
    OAuthAuthorizationError error =
        OAuthAuthorizationError::make(OAuthAuthorizationError::Case::tokenResponseInvalid);
    const auto refreshed = exchange({{"grant_type", "refresh_token"},
                                     {"refresh_token", *token.refreshToken},
                                     {"resource", kResource.absoluteString()}},
                                    authentication);
    EXPECT_FALSE(refreshed.accessToken.empty());
    EXPECT_EQ(refreshed.scope, "read");
    ASSERT_TRUE(refreshed.refreshToken);
    EXPECT_NE(refreshed.refreshToken, token.refreshToken);
    EXPECT_EQ(failureCase(
                  [&] {
                      exchange({{"grant_type", "refresh_token"},
                                {"refresh_token", *refreshed.refreshToken},
                                {"resource", "https://other.example.test/mcp"}},
                               authentication);
                  },
                  &error),
              OAuthAuthorizationError::Case::tokenRequestFailed);
    EXPECT_EQ(error.oauthError(), "invalid_target");

    // The replaced refresh token, used again, is refused (and ends the whole grant).
    EXPECT_EQ(failureCase(
                  [&] {
                      exchange({{"grant_type", "refresh_token"},
                                {"refresh_token", *token.refreshToken},
                                {"resource", kResource.absoluteString()}},
                               authentication);
                  },
                  &error),
              OAuthAuthorizationError::Case::tokenRequestFailed);
    EXPECT_EQ(error.oauthError(), "invalid_grant");

    // The code is spent (the server takes a second use for an attack and revokes its grant).
    EXPECT_EQ(failureCase([&] { exchange(parameters, authentication); }, &error),
              OAuthAuthorizationError::Case::tokenRequestFailed);
    EXPECT_EQ(error.oauthError(), "invalid_grant");
}

TEST_F(OAuthProviderCodeFlow, RefusesTheCodeWithoutItsVerifier) {
    const OAuthConfiguration configuration = publicClient();
    const URL& redirectURI = configuration.authorizationRedirectURI();
    const auto authentication = registerClient(configuration)->second;
    const std::string verifier = PKCE::generateCodeVerifier(64);
    const Parameters base{{"grant_type", "authorization_code"},
                          {"redirect_uri", redirectURI.absoluteString()},
                          {"resource", kResource.absoluteString()}};
    const struct {
        const char* name;
        std::optional<std::string> verifier;
    } cases[] = {
        {"no verifier", std::nullopt},
        {"another verifier", PKCE::generateCodeVerifier(64)},
    };
    for (const auto& c : cases) {
        Parameters parameters = base;
        parameters["code"] = authorize(authentication.clientID(), redirectURI, verifier,
                                       std::set<std::string>{"read"}, state);
        if (c.verifier) {
            parameters["code_verifier"] = *c.verifier;
        }
        OAuthAuthorizationError error =
            OAuthAuthorizationError::make(OAuthAuthorizationError::Case::tokenResponseInvalid);
        EXPECT_EQ(failureCase([&] { exchange(parameters, authentication); }, &error),
                  OAuthAuthorizationError::Case::tokenRequestFailed)
            << c.name;
        EXPECT_EQ(error.statusCode(), 400) << c.name;
        EXPECT_EQ(error.oauthError(), "invalid_grant") << c.name;
    }
}

TEST_F(OAuthProviderCodeFlow, TheServersRefusalsReachTheFlow) {
    using Case = OAuthAuthorizationError::Case;
    const OAuthConfiguration configuration = publicClient();
    const URL& redirectURI = configuration.authorizationRedirectURI();
    const std::string clientID = registerClient(configuration)->second.clientID();
    const std::string verifier = PKCE::generateCodeVerifier(64);
    const URL unregistered = *URL::parse("http://127.0.0.1:1/callback");
    const struct {
        const char* name;
        std::string clientID;
        URL redirectURI;
        std::optional<std::set<std::string>> scopes;
        std::string expectedState;
        Case failure;
        std::int64_t status;
    } cases[] = {
        // Redirected back with error=access_denied and the state.
        {"nothing to grant", clientID, redirectURI, std::nullopt, state,
         Case::authorizationResponseError, 0},
        {"another state", clientID, redirectURI, std::set<std::string>{"read"}, state + "x",
         Case::authorizationResponseStateMismatch, 0},
        // An error page: the server never redirects to an address it does not know.
        {"unregistered redirect URI", clientID, unregistered, std::set<std::string>{"read"}, state,
         Case::authorizationRequestFailed, 400},
        {"unknown client", "nobody", redirectURI, std::set<std::string>{"read"}, state,
         Case::authorizationRequestFailed, 400},
    };
    for (const auto& c : cases) {
        OAuthAuthorizationError error = OAuthAuthorizationError::make(Case::tokenResponseInvalid);
        EXPECT_EQ(
            failureCase(
                [&] { authorize(c.clientID, c.redirectURI, verifier, c.scopes, c.expectedState); },
                &error),
            c.failure)
            << c.name;
        EXPECT_EQ(error.statusCode(), c.status) << c.name;
    }
}

TEST_F(OAuthProviderCodeFlow, ARefusedRegistrationCarriesTheServersError) {
    OAuthAuthorizationError error =
        OAuthAuthorizationError::make(OAuthAuthorizationError::Case::tokenResponseInvalid);
    EXPECT_EQ(
        failureCase(
            [&] { registerClient(publicClient(URL::parse("https://client.example/cb#part"))); },
            &error),
        OAuthAuthorizationError::Case::tokenRequestFailed);
    EXPECT_EQ(error.statusCode(), 400);
    EXPECT_EQ(error.oauthError(), "invalid_redirect_uri");
}

}  // namespace
}  // namespace mcp
