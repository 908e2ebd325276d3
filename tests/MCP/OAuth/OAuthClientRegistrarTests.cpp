// Client registration: when the registrar registers at all, what it sends, how it reads the
// answer, and the authentication adopted afterwards, against a scripted HTTP server on loopback.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <optional>
#include <string>

#include "MCP/JSON/JsonParser.h"
#include "MCP/OAuth/OAuthClientRegistrar.h"
#include "MCP/OAuth/OAuthError.h"
#include "tests/MCP/OAuth/OAuthTestSupport.h"
#include "tests/platform/http/RunAsync.h"
#include "tests/platform/http/ScriptedServer.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using fw::http::testing::fields;
using fw::http::testing::runAsync;
using fw::http::testing::ScriptedServer;
using fw::http::testing::ServerExchange;
using Case = OAuthAuthorizationError::Case;
using Method = TokenEndpointAuthentication::Method;

const char* const kDocumentURL = "https://client.example/oauth/client.json";

TEST(ClientIDMetadataDocumentURL, IsAnHTTPSURLWithAPath) {
    const struct {
        const char* text;
        bool document;
        bool withScheme;
    } cases[] = {
        {kDocumentURL, true, true},
        {"HTTPS://client.example/doc?v=1#x", true, true},
        {"https://client.example/", false, true},
        {"https://client.example", false, true},
        {"http://client.example/doc", false, true},
        {"urn:example:client", false, true},
        {"frameweaver-client", false, false},
        {"", false, false},
        {"not a url", false, false},
        {"://client.example/doc", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OAuthClientRegistrar::isClientIDMetadataDocumentURL(c.text), c.document)
            << c.text;
        EXPECT_EQ(OAuthClientRegistrar::isURLWithScheme(c.text), c.withScheme) << c.text;
    }
}

TEST(AdoptingARegistration, TakesTheIssuedIdentifierAndSecret) {
    const OAuthClientRegistrationResponse issued{"new-id", "new-secret"};
    const OAuthClientRegistrationResponse withoutSecret{"new-id"};
    const struct {
        const char* name;
        TokenEndpointAuthentication before;
        OAuthClientRegistrationResponse registration;
        TokenEndpointAuthentication after;
    } cases[] = {
        {"basic", TokenEndpointAuthentication::clientSecretBasic("old", "s"), issued,
         TokenEndpointAuthentication::clientSecretBasic("new-id", "new-secret")},
        {"basic keeps its secret", TokenEndpointAuthentication::clientSecretBasic("old", "s"),
         withoutSecret, TokenEndpointAuthentication::clientSecretBasic("new-id", "s")},
        {"post", TokenEndpointAuthentication::clientSecretPost("old", "s"), issued,
         TokenEndpointAuthentication::clientSecretPost("new-id", "new-secret")},
        {"none ignores a secret", TokenEndpointAuthentication::none("old"), issued,
         TokenEndpointAuthentication::none("new-id")},
    };
    for (const auto& c : cases) {
        const auto after = c.before.adopting(c.registration);
        EXPECT_TRUE(after == c.after) << c.name;
        EXPECT_EQ(after.clientSecret(), c.after.clientSecret()) << c.name;
    }

    const auto jwt = TokenEndpointAuthentication::privateKeyJWT(
        "old", [](const URL&, const std::string& clientID) -> asio::awaitable<std::string> {
            co_return "assertion for " + clientID;
        });
    const auto adopted = jwt.adopting(issued);
    EXPECT_EQ(adopted.method(), Method::privateKeyJWT);
    EXPECT_EQ(adopted.clientID(), "new-id");
    EXPECT_TRUE(adopted.clientSecret().empty());
    asio::io_context context;
    EXPECT_EQ(fw::http::testing::runAsync(
                  context, adopted.assertionFactory()(*URL::parse("https://as.example/token"),
                                                      adopted.clientID())),
              "assertion for new-id");
}

OAuthConfiguration configuration(TokenEndpointAuthentication authentication,
                                 GrantType grant = GrantType::authorizationCode) {
    return OAuthConfiguration(
        grant, std::move(authentication), RetryPolicy::defaultPolicy, EndpointOverrides::none,
        URL::parse("http://127.0.0.1:50123/callback"), "Frameweaver", {}, nullptr, nullptr, 60);
}

class Registrar : public ::testing::Test {
protected:
    // Registration at `server` (loopback http allowed) with `metadata`'s endpoint set to its
    // /register unless `withEndpoint` is false.
    std::optional<OAuthClientRegistration> registerClient(
        const OAuthConfiguration& configuration, OAuthAuthorizationServerMetadata metadata = {},
        bool withEndpoint = true) {
        if (withEndpoint) {
            metadata.registrationEndpoint = URL::parse(server.url("/register"));
        }
        return runAsync(context, OAuthClientRegistrar(OAuthURLValidator(true))
                                     .registerClient(configuration, metadata, session));
    }

    int status = 201;
    std::string answer =
        R"({"client_id":"issued","client_secret":"sec","client_secret_expires_at":0,
                             "token_endpoint_auth_method":"none","registration_access_token":"r"})";
    ScriptedServer server{[this](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(status, fields("Content-Type", "application/json"), answer);
    }};
    asio::io_context context;
    fw::http::Client session{context.get_executor()};
};

TEST_F(Registrar, RegistersOnlyAPublicClientThatNeedsIt) {
    enum class Outcome { nothing, registered };
    const auto factory = [](const URL&, const std::string&) -> asio::awaitable<std::string> {
        co_return "a";
    };
    const struct {
        const char* name;
        TokenEndpointAuthentication authentication;
        std::optional<bool> documentsSupported;
        bool withEndpoint;
        std::optional<Case> failure;
        Outcome outcome;
    } cases[] = {
        {"basic", TokenEndpointAuthentication::clientSecretBasic("c", "s"), std::nullopt, true,
         std::nullopt, Outcome::nothing},
        {"post", TokenEndpointAuthentication::clientSecretPost("c", "s"), true, true, std::nullopt,
         Outcome::nothing},
        {"private key", TokenEndpointAuthentication::privateKeyJWT(kDocumentURL, factory), false,
         true, std::nullopt, Outcome::nothing},
        {"document accepted", TokenEndpointAuthentication::none(kDocumentURL), true, true,
         std::nullopt, Outcome::nothing},
        {"document URL without a path",
         TokenEndpointAuthentication::none("https://client.example/"), true, true,
         Case::invalidClientIDMetadataURL, Outcome::nothing},
        {"document URL over http", TokenEndpointAuthentication::none("http://client.example/doc"),
         true, true, Case::invalidClientIDMetadataURL, Outcome::nothing},
        {"plain identifier at a server taking documents",
         TokenEndpointAuthentication::none("plain"), true, true, std::nullopt, Outcome::registered},
        {"document not supported", TokenEndpointAuthentication::none(kDocumentURL), std::nullopt,
         true, std::nullopt, Outcome::registered},
        {"document refused", TokenEndpointAuthentication::none(kDocumentURL), false, true,
         std::nullopt, Outcome::registered},
        {"document not supported, no endpoint", TokenEndpointAuthentication::none(kDocumentURL),
         std::nullopt, false, Case::cimdNotSupported, Outcome::nothing},
        {"document refused, no endpoint", TokenEndpointAuthentication::none(kDocumentURL), false,
         false, Case::cimdNotSupported, Outcome::nothing},
        {"plain identifier, no endpoint", TokenEndpointAuthentication::none("plain"), std::nullopt,
         false, std::nullopt, Outcome::nothing},
        {"URL without a path, no endpoint",
         TokenEndpointAuthentication::none("https://client.example/"), std::nullopt, false,
         std::nullopt, Outcome::nothing},
    };
    std::size_t requests = 0;
    for (const auto& c : cases) {
        OAuthAuthorizationServerMetadata metadata;
        metadata.clientIDMetadataDocumentSupported = c.documentsSupported;
        std::optional<OAuthClientRegistration> result;
        EXPECT_EQ(failureCase([&] {
                      result =
                          registerClient(configuration(c.authentication), metadata, c.withEndpoint);
                  }),
                  c.failure)
            << c.name;
        if (c.outcome == Outcome::registered) {
            ++requests;
            ASSERT_TRUE(result) << c.name;
            EXPECT_EQ(result->first.clientID, "issued") << c.name;
            EXPECT_EQ(result->first.clientSecret, "sec") << c.name;
            EXPECT_TRUE(result->second == TokenEndpointAuthentication::none("issued")) << c.name;
        } else {
            EXPECT_FALSE(result) << c.name;
        }
        EXPECT_EQ(server.requests().size(), requests) << c.name;
    }
}

TEST_F(Registrar, FailuresNameTheIdentifier) {
    OAuthAuthorizationServerMetadata supported;
    supported.clientIDMetadataDocumentSupported = true;
    OAuthAuthorizationError error = OAuthAuthorizationError::make(Case::tokenEndpointMissing);
    failureCase(
        [&] {
            registerClient(configuration(TokenEndpointAuthentication::none("https://c.example/")),
                           supported);
        },
        &error);
    EXPECT_STREQ(error.what(),
                 "Client ID metadata document URL must use https and include a path: "
                 "https://c.example/");
    failureCase(
        [&] {
            registerClient(configuration(TokenEndpointAuthentication::none(kDocumentURL)), {},
                           false);
        },
        &error);
    EXPECT_EQ(error.text(), kDocumentURL);
}

TEST_F(Registrar, SendsTheClientMetadataOfItsGrant) {
    registerClient(configuration(TokenEndpointAuthentication::none("plain")));
    registerClient(
        configuration(TokenEndpointAuthentication::none("plain"), GrantType::clientCredentials));
    ASSERT_EQ(server.requests().size(), 2u);
    const auto received = server.requests().at(0);
    EXPECT_EQ(received.method, "POST");
    EXPECT_EQ(received.target, "/register");
    EXPECT_EQ(received.headers.get("Content-Type"), "application/json");
    EXPECT_EQ(received.headers.get("Accept"), "application/json");
    EXPECT_FALSE(received.headers.contains("Authorization"));
    EXPECT_EQ(parseJson(received.body), parseJson(R"({"client_name":"Frameweaver",
                            "grant_types":["authorization_code","refresh_token"],
                            "token_endpoint_auth_method":"none",
                            "response_types":["code"],
                            "redirect_uris":["http://127.0.0.1:50123/callback"]})"));
    EXPECT_EQ(parseJson(server.requests().at(1).body),
              parseJson(R"({"client_name":"Frameweaver","grant_types":["client_credentials"],
                            "token_endpoint_auth_method":"none"})"));
}

TEST_F(Registrar, ReadsEachKindOfAnswer) {
    const struct {
        int status;
        const char* body;
        std::optional<Case> failure;
        std::optional<std::string> oauthError;
        bool decodingError;
    } cases[] = {
        {200, R"({"client_id":"issued"})", std::nullopt, std::nullopt, false},
        {400, R"({"error":"invalid_redirect_uri","error_description":"no"})",
         Case::tokenRequestFailed, "invalid_redirect_uri", false},
        {401, R"({"error":"invalid_token"})", Case::tokenRequestFailed, "invalid_token", false},
        {500, "<html>down</html>", Case::tokenRequestFailed, std::nullopt, false},
        // Not followed: whatever it points at, a redirect is no registration.
        {307, R"({"client_id":"issued"})", Case::tokenRequestFailed, std::nullopt, false},
        {201, R"({"client_secret":"s"})", std::nullopt, std::nullopt, true},
        {201, R"({"client_id":7})", std::nullopt, std::nullopt, true},
        {201, "<html>ok</html>", std::nullopt, std::nullopt, true},
        // An empty identifier would be sent as client_id= from then on.
        {201, R"({"client_id":""})", std::nullopt, std::nullopt, true},
    };
    for (const auto& c : cases) {
        status = c.status;
        answer = c.body;
        OAuthAuthorizationError error = OAuthAuthorizationError::make(Case::tokenEndpointMissing);
        bool decodingError = false;
        std::optional<OAuthClientRegistration> result;
        const auto failure = failureCase(
            [&] {
                try {
                    result = registerClient(configuration(TokenEndpointAuthentication::none("p")));
                } catch (const DecodingError&) {
                    decodingError = true;
                }
            },
            &error);
        EXPECT_EQ(failure, c.failure) << c.status << " " << c.body;
        EXPECT_EQ(decodingError, c.decodingError) << c.status << " " << c.body;
        if (c.failure) {
            EXPECT_EQ(error.statusCode(), c.status);
            EXPECT_EQ(error.oauthError(), c.oauthError) << c.body;
        } else if (!c.decodingError) {
            ASSERT_TRUE(result);
            EXPECT_EQ(result->second.clientID(), "issued");
        }
    }
}

TEST_F(Registrar, ValidatesTheEndpointBeforeSending) {
    OAuthAuthorizationServerMetadata metadata;
    metadata.registrationEndpoint = URL::parse(server.url("/register"));
    OAuthAuthorizationError error = OAuthAuthorizationError::make(Case::tokenEndpointMissing);
    EXPECT_EQ(failureCase(
                  [&] {
                      runAsync(context, OAuthClientRegistrar().registerClient(
                                            configuration(TokenEndpointAuthentication::none("p")),
                                            metadata, session));
                  },
                  &error),
              Case::insecureAuthorizationServerEndpoint);
    EXPECT_EQ(error.what(),
              "Client registration endpoint must use https: " + server.url("/register"));
    EXPECT_TRUE(server.requests().empty());
}

// Metadata may not point the registration at the local network, by any spelling of a private
// address.
TEST_F(Registrar, RefusesARegistrationEndpointOnAPrivateAddress) {
    for (const char* endpoint : {"https://10.0.0.5/register", "https://[fd00::1]/register",
                                 "https://167772161/register", "https://[::ffff:a9fe:a9fe]/reg"}) {
        OAuthAuthorizationServerMetadata metadata;
        metadata.registrationEndpoint = URL::parse(endpoint);
        OAuthAuthorizationError error = OAuthAuthorizationError::make(Case::tokenEndpointMissing);
        EXPECT_EQ(failureCase(
                      [&] {
                          runAsync(context, OAuthClientRegistrar().registerClient(
                                                configuration(TokenEndpointAuthentication::none("p")),
                                                metadata, session));
                      },
                      &error),
                  Case::privateIPAddressBlocked)
            << endpoint;
        EXPECT_EQ(error.context(), "Client registration endpoint");
        EXPECT_EQ(error.url(), endpoint);
    }
}

}  // namespace
}  // namespace mcp
