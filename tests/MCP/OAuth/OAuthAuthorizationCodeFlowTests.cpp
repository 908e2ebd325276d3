// The authorization code flow: the authorization request URL, the redirect comparison, the code
// read from a redirect, and the headless request against a scripted HTTP server on loopback.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "MCP/OAuth/OAuthAuthorizationCodeFlow.h"
#include "MCP/OAuth/OAuthDiscovery.h"
#include "MCP/OAuth/OAuthDiscoveryScopes.h"
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

TEST(AuthorizationURL, CarriesTheRequestParametersInOrder) {
    const std::string fixed =
        "response_type=code&client_id=client%201%2Bx&"
        "redirect_uri=http%3A%2F%2F127.0.0.1%3A50000%2Fcallback&state=s%2Bt%26u&"
        "resource=https%3A%2F%2Fmcp.example%2Fmcp&code_challenge=chal-lenge_"
        "&code_challenge_method=S256";
    const struct {
        const char* endpoint;
        std::optional<std::set<std::string>> scopes;
        std::string expected;
    } cases[] = {
        {"https://as.example/authorize", std::set<std::string>{"b", "a"},
         "https://as.example/authorize?" + fixed + "&scope=a%20b"},
        // The endpoint's own query goes; port and path stay.
        {"https://as.example:8443/t/authorize?prompt=login&x=1", std::set<std::string>{"read"},
         "https://as.example:8443/t/authorize?" + fixed + "&scope=read"},
        {"https://as.example/authorize", std::nullopt, "https://as.example/authorize?" + fixed},
        {"https://as.example/authorize", std::set<std::string>{},
         "https://as.example/authorize?" + fixed},
    };
    for (const auto& c : cases) {
        const URL built = OAuthAuthorizationCodeFlow::authorizationURL(
            url(c.endpoint), url("https://mcp.example/mcp"), url("http://127.0.0.1:50000/callback"),
            "client 1+x", "chal-lenge_", c.scopes, "s+t&u", DefaultOAuthScopeSelector());
        EXPECT_EQ(built.absoluteString(), c.expected) << c.endpoint;
    }
}

TEST(AuthorizationURL, AMissingEndpointHasItsOwnError) {
    OAuthAuthorizationError error = OAuthAuthorizationError::make(Case::tokenEndpointMissing);
    EXPECT_EQ(failureCase(
                  [] {
                      OAuthAuthorizationCodeFlow::authorizationURL(
                          std::nullopt, url("https://mcp.example/mcp"),
                          url("http://127.0.0.1:50000/callback"), "c", "x", std::nullopt, "s",
                          DefaultOAuthScopeSelector());
                  },
                  &error),
              Case::authorizationEndpointMissing);
    EXPECT_STREQ(error.what(), "Authorization server metadata is missing authorization_endpoint");
}

TEST(RedirectComparisonKey, KeepsOnlySchemeHostPortAndPath) {
    const struct {
        const char* url;
        const char* key;
    } cases[] = {
        {"https://Client.EXAMPLE/cb", "https://client.example:443/cb"},
        {"HTTPS://client.example:443/cb?x=1#y", "https://client.example:443/cb"},
        {"http://127.0.0.1/cb", "http://127.0.0.1:80/cb"},
        {"http://user:pw@127.0.0.1:50000/callback", "http://127.0.0.1:50000/callback"},
        {"https://client.example", "https://client.example:443/"},
        {"http://[::1]:8080/cb", "http://::1:8080/cb"},
        {"com.example.app://callback/x", "com.example.app://callback:-1/x"},
        {"/cb?code=x", "://:-1/cb"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OAuthAuthorizationCodeFlow::redirectComparisonKey(url(c.url)), c.key) << c.url;
    }
}

TEST(AuthorizationCode, ChecksTargetThenStateThenCode) {
    const URL redirectURI = url("https://client.example/cb");
    const struct {
        const char* received;
        std::optional<Case> failure;
        const char* code;
    } cases[] = {
        {"https://client.example/cb?code=abc&state=st-1", std::nullopt, "abc"},
        {"https://CLIENT.example:443/cb?state=st-1&code=abc&iss=x", std::nullopt, "abc"},
        // Form-decoded, as the server encoded them.
        {"https://client.example/cb?state=st%2D1&code=a%2Bb%20c+d", std::nullopt, "a+b c d"},
        {"https://client.example/cb?state=st-1&code=a+b", std::nullopt, "a b"},
        // The first of each counts; the fragment never does.
        {"https://client.example/cb?state=st-1&code=one&code=two#code=evil", std::nullopt, "one"},
        // Another target: nothing else is looked at.
        {"https://client.example/cb2?state=st-1&code=abc",
         Case::authorizationResponseRedirectMismatch},
        {"https://evil.example/cb?state=st-1&code=abc",
         Case::authorizationResponseRedirectMismatch},
        {"http://client.example/cb?state=st-1&code=abc",
         Case::authorizationResponseRedirectMismatch},
        {"https://client.example:8443/cb?state=st-1&code=abc",
         Case::authorizationResponseRedirectMismatch},
        {"https://evil.example/cb?code=abc", Case::authorizationResponseRedirectMismatch},
        {"/cb?state=st-1&code=abc", Case::authorizationResponseRedirectMismatch},
        // State.
        {"https://client.example/cb?code=abc", Case::authorizationResponseMissingState},
        {"https://client.example/cb?State=st-1&code=abc", Case::authorizationResponseMissingState},
        {"https://client.example/cb?state=&code=abc", Case::authorizationResponseMissingState},
        {"https://client.example/cb?state&code=abc", Case::authorizationResponseMissingState},
        {"https://client.example/cb?code=abc#state=st-1", Case::authorizationResponseMissingState},
        {"https://client.example/cb?state=ST-1&code=abc", Case::authorizationResponseStateMismatch},
        {"https://client.example/cb?state=st-1x&code=abc",
         Case::authorizationResponseStateMismatch},
        {"https://client.example/cb?state=st&code=abc", Case::authorizationResponseStateMismatch},
        {"https://client.example/cb?state=other&state=st-1&code=abc",
         Case::authorizationResponseStateMismatch},
        // A refusal carries an error instead, which is the server's, state or not.
        {"https://client.example/cb?state=st-1&error=access_denied&error_description=no",
         Case::authorizationResponseError},
        {"https://client.example/cb?error=server_error", Case::authorizationResponseError},
        {"https://client.example/cb?state=st-1&code=", Case::authorizationResponseMissingCode},
        {"https://client.example/cb?state=st-1#code=abc", Case::authorizationResponseMissingCode},
    };
    for (const auto& c : cases) {
        std::string code;
        const auto failure = failureCase([&] {
            code = OAuthAuthorizationCodeFlow().authorizationCode(url(c.received), redirectURI,
                                                                  "st-1");
        });
        EXPECT_EQ(failure, c.failure) << c.received;
        if (!c.failure) {
            EXPECT_EQ(code, c.code) << c.received;
        }
    }
}

TEST(AuthorizationCode, MismatchesNameBothSides) {
    OAuthAuthorizationError error = OAuthAuthorizationError::make(Case::tokenEndpointMissing);
    failureCase(
        [] {
            OAuthAuthorizationCodeFlow().authorizationCode(
                url("https://evil.example/cb?state=s&code=c"), url("https://client.example/cb"),
                "s");
        },
        &error);
    // The code is no business of an error text.
    EXPECT_STREQ(error.what(),
                 "Authorization response redirect URI mismatch. Expected "
                 "https://client.example/cb, got https://evil.example/cb");
    failureCase(
        [] {
            OAuthAuthorizationCodeFlow().authorizationCode(
                url("https://client.example/cb?state=forged&code=c"),
                url("https://client.example/cb"), "expected");
        },
        &error);
    EXPECT_STREQ(error.what(),
                 "Authorization response state mismatch. Expected expected, got forged");
}

TEST(AuthorizationCode, AnErrorResponseIsTheServersRefusal) {
    OAuthAuthorizationError error = OAuthAuthorizationError::make(Case::tokenEndpointMissing);
    failureCase(
        [] {
            OAuthAuthorizationCodeFlow().authorizationCode(
                url("https://client.example/cb?state=s&error=access_denied&"
                    "error_description=The+user+said+no%0D%0AX-Forged:+1"),
                url("https://client.example/cb"), "s");
        },
        &error);
    EXPECT_EQ(error.errorCase(), Case::authorizationResponseError);
    EXPECT_EQ(error.oauthError(), "access_denied");
    EXPECT_STREQ(error.what(),
                 "The authorization server refused the authorization request (oauth_error: "
                 "access_denied): The user said no  X-Forged: 1");
}

// RFC 9207: "iss" must name the server the request went to, and must be there when that server
// announces it.
TEST(AuthorizationCode, TheIssuerParameterIsChecked) {
    const URL redirectURI = url("https://client.example/cb");
    const AuthorizationResponseIssuer announced{"https://as.example", true};
    const AuthorizationResponseIssuer unannounced{"https://as.example", false};
    const struct {
        const char* received;
        std::optional<AuthorizationResponseIssuer> issuer;
        std::optional<Case> failure;
    } cases[] = {
        {"https://client.example/cb?state=s&code=c&iss=https%3A%2F%2Fas.example", announced, {}},
        {"https://client.example/cb?state=s&code=c", announced,
         Case::authorizationResponseMissingIssuer},
        {"https://client.example/cb?state=s&code=c&iss=https%3A%2F%2Fevil.example", announced,
         Case::authorizationServerIssuerMismatch},
        {"https://client.example/cb?state=s&code=c&iss=https%3A%2F%2Fas.example%2F", announced,
         Case::authorizationServerIssuerMismatch},
        {"https://client.example/cb?state=s&code=c", unannounced, {}},
        {"https://client.example/cb?state=s&code=c&iss=https%3A%2F%2Fevil.example", unannounced,
         Case::authorizationServerIssuerMismatch},
        {"https://client.example/cb?state=s&code=c&iss=https%3A%2F%2Fevil.example", std::nullopt,
         {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureCase([&] {
                      EXPECT_EQ(OAuthAuthorizationCodeFlow().authorizationCode(
                                    url(c.received), redirectURI, "s", c.issuer),
                                "c");
                  }),
                  c.failure)
            << c.received;
    }
}

class RecordingDelegate : public OAuthAuthorizationDelegate {
public:
    explicit RecordingDelegate(std::string answer) : answer_(std::move(answer)) {}
    asio::awaitable<URL> redirectURL(const URL& authorizationURL) override {
        asked = authorizationURL.absoluteString();
        if (answer_.empty()) {
            throw std::runtime_error("The user closed the window.");
        }
        co_return url(answer_);
    }
    std::string asked;

private:
    std::string answer_;
};

class HeadlessFlow : public ::testing::Test {
protected:
    // The code the flow gets from `server`, whose redirect URI is its own /cb.
    std::string authorize(const ScriptedServer& server,
                          std::shared_ptr<OAuthAuthorizationDelegate> delegate = nullptr) {
        return runAsync(context, OAuthAuthorizationCodeFlow().authorize(
                                     url(server.url("/authorize?client_id=c&state=st-1")),
                                     url(server.url("/cb")), "st-1", std::nullopt,
                                     std::move(delegate), session));
    }

    asio::io_context context;
    fw::http::Client session{context.get_executor()};
};

TEST_F(HeadlessFlow, SendsOneGetAndReadsTheRedirect) {
    std::string location;
    ScriptedServer server([&](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(302, fields("Location", location), "");
    });
    location = server.url("/cb?code=abc&state=st-1");
    EXPECT_EQ(authorize(server), "abc");
    ASSERT_EQ(server.requests().size(), 1u);
    const auto received = server.requests().at(0);
    EXPECT_EQ(received.method, "GET");
    EXPECT_EQ(received.target, "/authorize?client_id=c&state=st-1");
    EXPECT_EQ(received.headers.get("Accept"), "text/html, application/json");
}

TEST_F(HeadlessFlow, EachKindOfAnswer) {
    int status = 302;
    std::optional<std::string> location;
    ScriptedServer server([&](ServerExchange& exchange) -> asio::awaitable<void> {
        fw::http::testing::Fields headers;
        if (location) {
            headers = fields("Location", *location);
        }
        co_await exchange.respond(status, std::move(headers), "<html>page</html>");
    });
    const std::string here = server.url("/cb");
    const struct {
        int status;
        std::optional<std::string> location;
        std::optional<Case> failure;
    } cases[] = {
        {303, here + "?state=st-1&code=abc", std::nullopt},
        {307, here + "?state=st-1&code=abc", std::nullopt},
        // Only a path: no scheme and host to match the redirect URI.
        {302, "/cb?state=st-1&code=abc", Case::authorizationResponseRedirectMismatch},
        {302, "https://elsewhere.example/cb?state=st-1&code=abc",
         Case::authorizationResponseRedirectMismatch},
        {302, here + "?state=forged&code=abc", Case::authorizationResponseStateMismatch},
        {302, here + "?state=st-1&error=access_denied", Case::authorizationResponseError},
        {302, std::nullopt, Case::authorizationResponseMissingRedirectLocation},
        {302, "", Case::authorizationResponseMissingRedirectLocation},
        {302, "http://a b/cb", Case::authorizationResponseMissingRedirectLocation},
        {200, std::nullopt, Case::authorizationResponseMissingRedirectLocation},
        {201, here + "?state=st-1&code=abc", Case::authorizationResponseMissingRedirectLocation},
        {401, std::nullopt, Case::authorizationRequestFailed},
        {500, here + "?state=st-1&code=abc", Case::authorizationRequestFailed},
    };
    for (const auto& c : cases) {
        status = c.status;
        location = c.location;
        OAuthAuthorizationError error = OAuthAuthorizationError::make(Case::tokenEndpointMissing);
        std::string code;
        EXPECT_EQ(failureCase([&] { code = authorize(server); }, &error), c.failure)
            << c.status << " " << c.location.value_or("(none)");
        if (!c.failure) {
            EXPECT_EQ(code, "abc");
        } else if (*c.failure == Case::authorizationRequestFailed) {
            EXPECT_EQ(error.statusCode(), c.status);
        }
    }
}

// A same-origin 307 to the redirect URI itself, which the HTTP client could follow: the flow
// reads it and sends nothing more.
TEST_F(HeadlessFlow, NeverFollowsTheRedirect) {
    std::string location;
    ScriptedServer server([&](ServerExchange& exchange) -> asio::awaitable<void> {
        if (exchange.request().target.starts_with("/authorize")) {
            co_await exchange.respond(307, fields("Location", location), "");
        } else {
            co_await exchange.respond(200, fields(), "followed");
        }
    });
    location = server.url("/cb?state=st-1&code=abc");
    EXPECT_EQ(authorize(server), "abc");
    EXPECT_EQ(server.requests().size(), 1u);
}

// The answer's body is never waited for: a redirect whose body never ends still gives the code.
TEST_F(HeadlessFlow, DoesNotReadTheBody) {
    std::string location;
    ScriptedServer server([&](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.startChunked(302, fields("Location", location));
        co_await exchange.chunk("<html>");
        co_await exchange.holdOpen();
    });
    location = server.url("/cb?state=st-1&code=abc");
    EXPECT_EQ(authorize(server), "abc");
}

TEST_F(HeadlessFlow, TransportFailuresPassThrough) {
    std::string gone;
    {
        ScriptedServer server([](ServerExchange&) -> asio::awaitable<void> { co_return; });
        gone = server.url("/authorize");
    }
    EXPECT_THROW(
        runAsync(context, OAuthAuthorizationCodeFlow().authorize(
                              url(gone), url("https://client.example/cb"), "s", std::nullopt,
                              nullptr, session)),
        fw::http::Error);
}

TEST_F(HeadlessFlow, ADelegateTakesThePlaceOfTheRequest) {
    ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.respond(500, fields(), "");
    });
    auto delegate =
        std::make_shared<RecordingDelegate>(server.url("/cb?state=st-1&code=from-browser"));
    EXPECT_EQ(authorize(server, delegate), "from-browser");
    EXPECT_EQ(delegate->asked, server.url("/authorize?client_id=c&state=st-1"));
    EXPECT_TRUE(server.requests().empty());

    // Its redirect is checked like any other; its failure arrives unchanged.
    auto forged = std::make_shared<RecordingDelegate>(server.url("/cb?state=forged&code=x"));
    EXPECT_EQ(failureCase([&] { authorize(server, forged); }),
              Case::authorizationResponseStateMismatch);
    try {
        authorize(server, std::make_shared<RecordingDelegate>(""));
        ADD_FAILURE() << "the delegate's failure was lost";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "The user closed the window.");
    }
}

}  // namespace
}  // namespace mcp
