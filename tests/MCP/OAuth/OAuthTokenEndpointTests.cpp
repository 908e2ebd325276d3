// The token endpoint client: the form body, the request it sends and how it reads each kind of
// answer, against a scripted HTTP server on loopback.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <functional>
#include <optional>
#include <string>

#include "MCP/OAuth/FormEncoding.h"
#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/OAuthTokenEndpointClient.h"
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
using Parameters = std::map<std::string, std::string>;
using Case = OAuthAuthorizationError::Case;

TEST(FormEncoding, SortsAndPercentEncodes) {
    const struct {
        Parameters parameters;
        const char* body;
    } cases[] = {
        {{}, ""},
        {{{"scope", "read write"},
          {"grant_type", "client_credentials"},
          {"resource", "https://mcp.example/api/v1"}},
         "grant_type=client_credentials&resource=https%3A%2F%2Fmcp.example%2Fapi%2Fv1&"
         "scope=read%20write"},
        {{{"v", "caf\xC3\xA9"}}, "v=caf%C3%A9"},
        {{{"v", "AZaz09-._~"}}, "v=AZaz09-._~"},
        {{{"v", "a&b=c+d/e:f?g#h%i j\n"}}, "v=a%26b%3Dc%2Bd%2Fe%3Af%3Fg%23h%25i%20j%0A"},
        {{{"a b", ""}, {"B", "1"}}, "B=1&a%20b="},
        {{{"v", std::string("\0\xff", 2)}}, "v=%00%FF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formURLEncoded(c.parameters), c.body);
    }
}

class TokenEndpoint : public ::testing::Test {
protected:
    // Sends one token request for `parameters` to `server`.
    OAuthTokenResponse request(const ScriptedServer& server, Parameters parameters,
                               TokenEndpointAuthentication authentication =
                                   TokenEndpointAuthentication::none("client")) {
        const URL endpoint = *URL::parse(server.url("/oauth/token"));
        return runAsync(context, OAuthTokenEndpointClient().requestToken(
                                     std::move(parameters), endpoint, std::move(authentication),
                                     session));
    }

    // The answer of a server that responds with `status`, `contentType` and `body`.
    std::function<void()> answer(int status, std::string body,
                                 std::string contentType = "application/json") {
        return [this, status, body, contentType] {
            ScriptedServer server([&](ServerExchange& exchange) -> asio::awaitable<void> {
                co_await exchange.respond(status, fields("Content-Type", contentType), body);
            });
            last = request(server, {{"grant_type", "client_credentials"}});
        };
    }

    asio::io_context context;
    fw::http::Client session{context.get_executor()};
    std::optional<OAuthTokenResponse> last;
};

TEST_F(TokenEndpoint, SendsAFormPostWithItsHeaders) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(200, fields("Content-Type", "application/json"),
                                  R"({"access_token":"at","token_type":"Bearer"})");
    });
    request(server, {{"grant_type", "client_credentials"}, {"scope", "a b"}},
            TokenEndpointAuthentication::clientSecretBasic("id", "secret"));
    ASSERT_EQ(server.requests().size(), 1u);
    const auto received = server.requests().at(0);
    EXPECT_EQ(received.method, "POST");
    EXPECT_EQ(received.target, "/oauth/token");
    EXPECT_EQ(received.body, "grant_type=client_credentials&scope=a%20b");
    EXPECT_EQ(received.headers.get("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(received.headers.get("Accept"), "application/json");
    EXPECT_EQ(received.headers.get("Authorization"), "Basic aWQ6c2VjcmV0");
    // Nothing else but what HTTP/1.1 itself needs.
    for (const auto& [name, value] : received.headers) {
        EXPECT_TRUE(fw::http::Headers::sameName(name, "Content-Type") ||
                    fw::http::Headers::sameName(name, "Accept") ||
                    fw::http::Headers::sameName(name, "Authorization") ||
                    fw::http::Headers::sameName(name, "Host") ||
                    fw::http::Headers::sameName(name, "Content-Length"))
            << name;
    }

    // Parameter authentication travels in the body, sorted with the rest.
    request(server, {{"grant_type", "refresh_token"}, {"refresh_token", "r t"}},
            TokenEndpointAuthentication::clientSecretPost("id", "s&cret"));
    EXPECT_EQ(server.requests().at(1).body,
              "client_id=id&client_secret=s%26cret&grant_type=refresh_token&refresh_token=r%20t");
    EXPECT_FALSE(server.requests().at(1).headers.contains("Authorization"));
}

TEST_F(TokenEndpoint, ReadsEachKindOfAnswer) {
    const struct {
        const char* name;
        int status;
        std::string body;
        std::optional<Case> failure;
        std::int64_t failedStatus;
        std::optional<std::string> oauthError;
    } cases[] = {
        {"lower-case bearer", 200, R"({"access_token":"a","token_type":"bearer"})", std::nullopt, 0,
         std::nullopt},
        {"type with blanks", 200, "{\"access_token\":\"a\",\"token_type\":\" Bearer\\n\"}",
         std::nullopt, 0, std::nullopt},
        {"201 is success", 201, R"({"access_token":"a","token_type":"Bearer","expires_in":60})",
         std::nullopt, 0, std::nullopt},
        {"another type", 200, R"({"access_token":"a","token_type":"mac"})",
         Case::tokenResponseInvalid, 0, std::nullopt},
        {"empty token", 200, R"({"access_token":"","token_type":"Bearer"})",
         Case::tokenResponseInvalid, 0, std::nullopt},
        {"blank type", 200, R"({"access_token":"a","token_type":"  "})",
         Case::tokenResponseInvalid, 0, std::nullopt},
        {"OAuth error", 400, R"({"error":"invalid_grant","error_description":"expired"})",
         Case::tokenRequestFailed, 400, "invalid_grant"},
        {"HTML error page", 503, "<html><body>Service Unavailable</body></html>",
         Case::tokenRequestFailed, 503, std::nullopt},
        {"error not a text", 401, R"({"error":7})", Case::tokenRequestFailed, 401, std::nullopt},
        {"redirect is not followed", 302, "", Case::tokenRequestFailed, 302, std::nullopt},
        {"server error with token body", 500, R"({"access_token":"a","token_type":"Bearer"})",
         Case::tokenRequestFailed, 500, std::nullopt},
    };
    for (const auto& c : cases) {
        OAuthAuthorizationError error = OAuthAuthorizationError::make(Case::tokenResponseInvalid);
        last.reset();
        EXPECT_EQ(failureCase(answer(c.status, c.body), &error), c.failure) << c.name;
        if (c.failure == Case::tokenRequestFailed) {
            EXPECT_EQ(error.statusCode(), c.failedStatus) << c.name;
            EXPECT_EQ(error.oauthError(), c.oauthError) << c.name;
        } else if (!c.failure) {
            ASSERT_TRUE(last) << c.name;
            EXPECT_EQ(last->accessToken, "a");
        }
    }
    // The token type comes back as received.
    answer(200, "{\"access_token\":\"a\",\"token_type\":\" Bearer\\n\",\"scope\":\"x\"}")();
    EXPECT_EQ(last->tokenType, " Bearer\n");
    EXPECT_EQ(last->scope, "x");
}

TEST_F(TokenEndpoint, UnreadableSuccessBodiesFailWithTheDecoderError) {
    for (const char* body : {R"({"access_token":"a"})", "not json", "", R"({"access_token":"a",)"
                                                                        R"("token_type":"Bearer",)"
                                                                        R"("expires_in":"60"})"}) {
        EXPECT_THROW(answer(200, body)(), DecodingError) << body;
    }
}

TEST_F(TokenEndpoint, ARedirectIsAFailureAndNotFollowed) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().target == "/oauth/token") {
            co_await exchange.respond(307, fields("Location", "/elsewhere"), "");
        } else {
            co_await exchange.respond(200, fields("Content-Type", "application/json"),
                                      R"({"access_token":"a","token_type":"Bearer"})");
        }
    });
    OAuthAuthorizationError error = OAuthAuthorizationError::make(Case::tokenResponseInvalid);
    EXPECT_EQ(failureCase([&] { request(server, {}); }, &error), Case::tokenRequestFailed);
    EXPECT_EQ(error.statusCode(), 307);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(TokenEndpoint, AFailedClientAuthenticationSendsNothing) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(200, {}, "{}");
    });
    const auto failing = TokenEndpointAuthentication::privateKeyJWT(
        "c", [](const URL&, const std::string&) -> asio::awaitable<std::string> {
            throw std::logic_error("no assertion");
            co_return "";
        });
    EXPECT_THROW(request(server, {}, failing), std::logic_error);
    EXPECT_EQ(server.requests().size(), 0u);
    EXPECT_EQ(server.connectionCount(), 0);
}

TEST_F(TokenEndpoint, TransportFailuresReachTheCaller) {
    std::string refusedURL;
    {
        ScriptedServer gone([](ServerExchange&) -> asio::awaitable<void> { co_return; });
        refusedURL = gone.url("/oauth/token");
    }
    EXPECT_THROW(runAsync(context, OAuthTokenEndpointClient().requestToken(
                                       {}, *URL::parse(refusedURL),
                                       TokenEndpointAuthentication::none("c"), session)),
                 fw::http::Error);

    ScriptedServer cut([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"acc");
        exchange.close();
    });
    EXPECT_THROW(request(cut, {}), fw::http::Error);
}

}  // namespace
}  // namespace mcp
