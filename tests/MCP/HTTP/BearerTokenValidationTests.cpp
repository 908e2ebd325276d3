// Bearer-token protection: header parsing and challenge text as tables, the validator's order of
// checks on its own, and a table of requests through the streamable-HTTP host on loopback with
// our HTTP client, checking status, the exact "WWW-Authenticate" text and the metadata document.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "MCP/HTTP/HTTPBearerTokenValidation.h"
#include "MCP/HTTP/StreamableHTTPServer.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/OAuth/OAuthDiscoveryClient.h"
#include "MCP/OAuth/OAuthDiscoveryRules.h"
#include "examples/ExampleTools.h"
#include "platform/http/Client.h"
#include "tests/platform/http/RunAsync.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using fw::http::testing::runAsync;
using Scopes = std::set<std::string>;

const URL kMetadataURL = *URL::parse("https://mcp.example/.well-known/oauth-protected-resource/mcp");
const URL kResource = *URL::parse("https://mcp.example/mcp");
const std::string kChallengeStart =
    R"(Bearer resource_metadata="https://mcp.example/.well-known/oauth-protected-resource/mcp")";

TEST(BearerToken, HeaderParsing) {
    const struct {
        std::string header;
        std::string token;
        std::optional<std::string> refusal;
    } cases[] = {
        {"Bearer abc.def-ghi", "abc.def-ghi", std::nullopt},
        {"bearer abc", "abc", std::nullopt},
        {" \tBEARER   abc \r\n", "abc", std::nullopt},
        {"Bearer\xC2\xA0" "abc", "abc", std::nullopt},
        {"", "", "Authorization header is empty"},
        {" \r\n", "", "Authorization header is empty"},
        {"Bearer", "", "Authorization header must be in the form: Bearer <token>"},
        {"Bearer \t ", "", "Authorization header must be in the form: Bearer <token>"},
        {"Basic dXNlcjpwYXNz", "", "Authorization scheme must be Bearer"},
        {"Bearers abc", "", "Authorization scheme must be Bearer"},
        {"Bearer abc def", "", "Bearer token must not contain whitespace"},
        {"Bearer abc\xE2\x80\xA8" "def", "", "Bearer token must not contain whitespace"},
    };
    for (const auto& c : cases) {
        const ParsedBearerToken parsed = parseBearerToken(c.header);
        EXPECT_EQ(parsed.refusal, c.refusal) << c.header;
        EXPECT_EQ(parsed.token, c.token) << c.header;
    }
}

TEST(BearerToken, ChallengeText) {
    const struct {
        std::optional<Scopes> scopes;
        std::optional<std::string> error;
        std::optional<std::string> description;
        std::string parameters;  // after resource_metadata
    } cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, ""},
        {Scopes{}, std::nullopt, "", ""},
        {Scopes{"b", "a"}, "invalid_token", "Gone", R"(, scope="a b", error="invalid_token", error_description="Gone")"},
        {std::nullopt, "invalid_token", R"(say "hi" \ now)",
         R"(, error="invalid_token", error_description="say \"hi\" \\ now")"},
        // Control characters never reach the header: no second header line can be made.
        {std::nullopt, "invalid_token", "bad\r\nSet-Cookie: x=1\t\x7f\xC2\x85\xC3\xA9",
         R"(, error="invalid_token", error_description="bad  Set-Cookie: x=1   )" "\xC3\xA9\""},
        {Scopes{"a\nb"}, std::nullopt, std::nullopt, R"(, scope="a b")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bearerChallenge(kMetadataURL, c.scopes, c.error, c.description),
                  kChallengeStart + c.parameters)
            << c.parameters;
    }
}

HTTPValidationContext postContext() {
    return HTTPValidationContext{"POST", "session-1", false, nullptr};
}

TEST(BearerToken, ValidatorOrderOfChecks) {
    int judged = 0;
    auto judge = [&](const std::string& token, const HTTPRequest&, const HTTPValidationContext&) {
        ++judged;
        // Expired and for another resource: the expiry is reported.
        if (token == "expired-elsewhere") {
            return BearerTokenValidationResult::valid(BearerTokenInfo(
                std::vector<std::string>{"https://other.example"}, std::nullopt,
                Instant::now().adding(-1)));
        }
        return BearerTokenValidationResult::valid(BearerTokenInfo(std::nullopt, Scopes{"x"}, std::nullopt));
    };
    const BearerTokenValidator open(
        kMetadataURL, kResource, judge, {},
        [](const HTTPRequest& request, const HTTPValidationContext&) { return request.method != "GET"; });

    HTTPRequest malformed{"GET", {{"authorization", "Basic x"}}, std::nullopt, "/mcp"};
    EXPECT_FALSE(open.validate(malformed, postContext()));
    EXPECT_EQ(judged, 0);

    HTTPRequest expired{"POST", {{"AUTHORIZATION", "Bearer expired-elsewhere"}}, std::nullopt, "/mcp"};
    auto answer = open.validate(expired, postContext());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->statusCode(), 401);
    EXPECT_EQ(answer->headers().get("WWW-Authenticate"),
              kChallengeStart + R"(, error="invalid_token", error_description="Token has expired")");
    EXPECT_EQ(answer->headers().get("MCP-Session-Id"), "session-1");

    // Scopes of a valid token are the judging function's business.
    HTTPRequest fine{"POST", {{"Authorization", "Bearer any"}}, std::nullopt, "/mcp"};
    EXPECT_FALSE(open.validate(fine, postContext()));
    EXPECT_EQ(judged, 2);
}

// A token is expired from the instant its expiry names, judged by the validator's clock.
TEST(BearerToken, ExpiryIsJudgedAgainstTheClock) {
    const Instant now = Instant::fromUnixSeconds(1'800'000'000);
    const struct {
        const char* name;
        double expiresIn;
        bool refused;
    } cases[] = {
        {"a second ago", -1, true},
        {"exactly now", 0, true},
        {"a millisecond ahead", 0.001, false},
    };
    for (const auto& c : cases) {
        const BearerTokenValidator validator(
            kMetadataURL, kResource,
            [&](const std::string&, const HTTPRequest&, const HTTPValidationContext&) {
                return BearerTokenValidationResult::valid(
                    BearerTokenInfo(std::nullopt, std::nullopt, now.adding(c.expiresIn)));
            },
            {}, {}, nullptr, [now] { return now; });
        HTTPRequest request{"POST", {{"Authorization", "Bearer t"}}, std::nullopt, "/mcp"};
        const auto answer = validator.validate(request, postContext());
        EXPECT_EQ(answer.has_value(), c.refused) << c.name;
        if (answer) {
            EXPECT_EQ(answer->statusCode(), 401) << c.name;
            EXPECT_EQ(answer->headers().get("WWW-Authenticate"),
                      kChallengeStart +
                          R"(, error="invalid_token", error_description="Token has expired")")
                << c.name;
        }
    }
}

TEST(BearerToken, ProtectionPipelineOrder) {
    auto metadata = std::make_shared<ProtectedResourceMetadataValidator>(
        OAuthProtectedResourceServerMetadata{"https://mcp.example/mcp", {}, std::nullopt});
    auto bearer = std::make_shared<BearerTokenValidator>(
        kMetadataURL, kResource, [](const std::string&, const HTTPRequest&, const HTTPValidationContext&) {
            return BearerTokenValidationResult::invalidToken();
        });
    const auto base = StandardValidationPipeline::statefulDefault();
    const auto pipeline = withBearerTokenProtection(*base, metadata, bearer);
    ASSERT_EQ(pipeline->validators().size(), base->validators().size() + 2);
    EXPECT_EQ(pipeline->validators()[0], metadata);
    EXPECT_TRUE(dynamic_cast<const OriginValidator*>(pipeline->validators()[1].get()));
    EXPECT_EQ(pipeline->validators()[2], bearer);
    EXPECT_EQ(std::vector(pipeline->validators().begin() + 3, pipeline->validators().end()),
              std::vector(base->validators().begin() + 1, base->validators().end()));
}

struct Reply {
    int status = 0;
    fw::http::Headers headers;
    std::string body;
};

// The host with the example tools behind bearer tokens judged from a table; the public URL
// (https://mcp.example/mcp) differs from where it listens, as behind a proxy.
class BearerProtectedHost : public ::testing::Test {
protected:
    static BearerTokenValidationResult judge(const std::string& token) {
        using Result = BearerTokenValidationResult;
        using Audience = std::vector<std::string>;
        const auto later = Instant::now().adding(3600);
        if (token == "good") {
            return Result::valid(BearerTokenInfo(Audience{"https://mcp.example/mcp"}, Scopes{"mcp:read"}, later));
        }
        if (token == "origin") {
            return Result::valid(BearerTokenInfo(Audience{"https://other.example", "HTTPS://MCP.example:443"},
                                                 std::nullopt, std::nullopt));
        }
        if (token == "no-audience") {
            return Result::valid(BearerTokenInfo(std::nullopt, std::nullopt, later));
        }
        if (token == "other-path") {
            return Result::valid(BearerTokenInfo(Audience{"https://mcp.example/mcpx"}, std::nullopt, later));
        }
        if (token == "no-urls") {
            return Result::valid(BearerTokenInfo(Audience{"mcp", "not a url", ""}, std::nullopt, later));
        }
        if (token == "empty-audience") {
            return Result::valid(BearerTokenInfo(Audience{}, std::nullopt, later));
        }
        if (token == "expired") {
            return Result::valid(BearerTokenInfo(Audience{"https://mcp.example/mcp"}, std::nullopt,
                                                 Instant::now().adding(-60)));
        }
        if (token == "read-only") {
            return Result::insufficientScope({"mcp:write", "mcp:admin"}, "This tool needs mcp:write.");
        }
        if (token == "odd") {
            return Result::malformedRequest();
        }
        if (token == "odd-described") {
            return Result::malformedRequest("Token binding is missing");
        }
        if (token == "revoked") {
            return Result::invalidToken("The token was revoked.\r\nX-Injected: 1");
        }
        return Result::invalidToken();
    }

    void startHost(StreamableHTTPServer::Mode mode) {
        auto metadata = std::make_shared<ProtectedResourceMetadataValidator>(
            OAuthProtectedResourceServerMetadata{"https://mcp.example/mcp",
                                                 {*URL::parse("https://as.example")},
                                                 std::vector<std::string>{"mcp:read", "mcp:write"}});
        auto bearer = std::make_shared<BearerTokenValidator>(
            kMetadataURL, kResource,
            [](const std::string& token, const HTTPRequest&, const HTTPValidationContext&) {
                return judge(token);
            },
            [](const HTTPRequest&, const HTTPValidationContext&) {
                return std::optional(Scopes{"mcp:read"});
            });
        StreamableHTTPServer::Options options;
        options.mode = mode;
        options.validationPipeline = withBearerTokenProtection(
            mode == StreamableHTTPServer::Mode::stateful ? *StandardValidationPipeline::statefulDefault()
                                                         : *StandardValidationPipeline::statelessDefault(),
            metadata, bearer);
        host = std::make_unique<StreamableHTTPServer>(
            io.get_executor(), options,
            [this](asio::any_io_executor executor) {
                ++serversBuilt;
                return example::makeExampleToolServer(executor);
            });
        host->start();
        threads.emplace_back([this] { io.run(); });
    }

    void TearDown() override {
        if (host) {
            host->stop();
        }
        work.reset();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!io.stopped() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        io.stop();
        for (auto& thread : threads) {
            thread.join();
        }
    }

    std::string base() const { return "http://127.0.0.1:" + std::to_string(host->port()); }

    Reply send(const std::string& method, const std::string& path,
               std::optional<std::string> authorization, std::string body = "",
               const std::string& accept = "application/json, text/event-stream",
               const fw::http::Headers& extra = {}) {
        fw::http::Request request;
        request.method = method;
        request.url = base() + path;
        request.headers = extra;
        request.headers.set("Accept", accept);
        if (authorization) {
            request.headers.set("Authorization", *authorization);
        }
        if (!body.empty()) {
            request.headers.set("Content-Type", "application/json");
            request.body = std::move(body);
        }
        return runAsync(context, [&]() -> asio::awaitable<Reply> {
            fw::http::Response response = co_await client.send(std::move(request));
            Reply reply;
            reply.status = response.status;
            reply.headers = response.headers;
            reply.body = co_await response.body.readAll();
            co_return reply;
        }());
    }

    asio::io_context io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work{
        asio::make_work_guard(io)};
    std::vector<std::thread> threads;
    std::unique_ptr<StreamableHTTPServer> host;
    std::atomic<int> serversBuilt{0};
    asio::io_context context;
    fw::http::Client client{context.get_executor()};
};

const std::string kPing = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";

TEST_F(BearerProtectedHost, RequestsThroughTheStatelessHost) {
    startHost(StreamableHTTPServer::Mode::stateless);
    const std::string invalid = kChallengeStart + R"(, scope="mcp:read", error="invalid_token")";
    const struct {
        const char* name;
        std::optional<std::string> authorization;
        int status;
        std::optional<std::string> challenge;  // nothing: no header
        std::string text;                      // in the body of a refusal
    } cases[] = {
        {"no header", std::nullopt, 401, kChallengeStart + R"(, scope="mcp:read")", "Unauthorized"},
        {"wrong scheme", "Basic dXNlcjpwYXNz", 400, std::nullopt,
         "Bad Request: Authorization scheme must be Bearer"},
        {"scheme alone", "Bearer", 400, std::nullopt,
         "Bad Request: Authorization header must be in the form: Bearer <token>"},
        {"two words", "Bearer good more", 400, std::nullopt,
         "Bad Request: Bearer token must not contain whitespace"},
        {"unknown token", "Bearer nonsense", 401, invalid, "Unauthorized"},
        {"revoked token", "Bearer revoked", 401,
         invalid + R"(, error_description="The token was revoked.  X-Injected: 1")", "Unauthorized"},
        {"expired", "Bearer expired", 401, invalid + R"(, error_description="Token has expired")",
         "Unauthorized"},
        {"another path", "Bearer other-path", 401,
         invalid + R"(, error_description="Token audience mismatch")", "Unauthorized"},
        {"audience of no URLs", "Bearer no-urls", 401,
         invalid + R"(, error_description="Token audience mismatch")", "Unauthorized"},
        {"empty audience", "Bearer empty-audience", 401,
         invalid + R"(, error_description="Token audience mismatch")", "Unauthorized"},
        {"insufficient scope", "Bearer read-only", 403,
         kChallengeStart + R"(, scope="mcp:admin mcp:write", error="insufficient_scope", )"
                           R"(error_description="This tool needs mcp:write.")",
         "Forbidden: Insufficient scope"},
        {"malformed", "Bearer odd", 400, std::nullopt, "Bad Request: Malformed authorization request"},
        {"malformed, described", "Bearer odd-described", 400, std::nullopt,
         "Bad Request: Token binding is missing"},
        {"good", "Bearer good", 200, std::nullopt, ""},
        {"lower-case scheme", "bearer good", 200, std::nullopt, ""},
        {"audience of the origin", "Bearer origin", 200, std::nullopt, ""},
        {"no audience", "Bearer no-audience", 200, std::nullopt, ""},
    };
    for (const auto& c : cases) {
        const Reply reply = send("POST", "/mcp", c.authorization, kPing, "application/json");
        EXPECT_EQ(reply.status, c.status) << c.name << ": " << reply.body;
        EXPECT_EQ(reply.headers.get("WWW-Authenticate"), c.challenge) << c.name;
        if (c.status == 200) {
            EXPECT_NE(reply.body.find(R"("result")"), std::string::npos) << c.name << ": " << reply.body;
        } else {
            EXPECT_NE(reply.body.find(c.text), std::string::npos) << c.name << ": " << reply.body;
        }
    }
}

TEST_F(BearerProtectedHost, TheStatelessHostBuildsNoServerForARefusedRequest) {
    startHost(StreamableHTTPServer::Mode::stateless);
    EXPECT_EQ(send("POST", "/mcp", std::nullopt, kPing).status, 401);
    EXPECT_EQ(send("POST", "/mcp", "Bearer nonsense", kPing).status, 401);
    EXPECT_EQ(serversBuilt, 0);
    EXPECT_EQ(send("POST", "/mcp", "Bearer good", kPing).status, 200);
    EXPECT_EQ(serversBuilt, 1);
}

TEST_F(BearerProtectedHost, ServesTheMetadataDocumentToAnyone) {
    startHost(StreamableHTTPServer::Mode::stateful);
    const Value expected = parseJson(
        R"({"resource":"https://mcp.example/mcp","authorization_servers":["https://as.example"],)"
        R"("scopes_supported":["mcp:read","mcp:write"]})");
    for (const char* path : {"/.well-known/oauth-protected-resource/mcp",
                             "/.well-known/oauth-protected-resource"}) {
        const Reply reply = send("GET", path, std::nullopt, "", "application/json");
        EXPECT_EQ(reply.status, 200) << path;
        EXPECT_EQ(reply.headers.get("Content-Type"), "application/json") << path;
        EXPECT_EQ(parseJson(reply.body), expected) << path << ": " << reply.body;
    }
    // Other paths and other methods are no document: the token check answers them.
    EXPECT_EQ(send("GET", "/.well-known/oauth-protected-resourcex", std::nullopt).status, 401);
    EXPECT_EQ(send("POST", "/.well-known/oauth-protected-resource", std::nullopt, "{}").status, 401);
    EXPECT_EQ(send("GET", "/elsewhere", "Bearer good").status, 404);

    // The discovery client finds the document from the endpoint's URL.
    const auto candidates =
        DefaultOAuthMetadataDiscovery().protectedResourceMetadataURLs(*URL::parse(base() + "/mcp"));
    const auto document = runAsync(
        context, OAuthDiscoveryClient().fetchProtectedResourceMetadata(candidates, std::nullopt, client));
    EXPECT_EQ(document.resource, "https://mcp.example/mcp");
    EXPECT_EQ(document.authorizationServers, std::vector<URL>{*URL::parse("https://as.example")});
}

TEST_F(BearerProtectedHost, StatefulSessionsNeedATokenOnEveryRequest) {
    startHost(StreamableHTTPServer::Mode::stateful);
    const std::string initialize =
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
        R"("capabilities":{},"clientInfo":{"name":"test","version":"1"}}})";
    EXPECT_EQ(send("POST", "/mcp", std::nullopt, initialize).status, 401);
    EXPECT_EQ(send("POST", "/mcp", "Bearer nonsense", initialize).status, 401);
    EXPECT_EQ(host->sessionCount(), 0u);
    EXPECT_EQ(serversBuilt, 0) << "no server is built for a refused initialization";

    const Reply opened = send("POST", "/mcp", "Bearer good", initialize);
    ASSERT_EQ(opened.status, 200) << opened.body;
    const auto session = opened.headers.get("MCP-Session-Id");
    ASSERT_TRUE(session);

    fw::http::Headers sessionHeaders;
    sessionHeaders.set("MCP-Session-Id", *session);
    sessionHeaders.set("MCP-Protocol-Version", "2025-06-18");
    auto inSession = [&](std::optional<std::string> authorization) {
        return send("POST", "/mcp", std::move(authorization),
                    R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                    "application/json, text/event-stream", sessionHeaders);
    };
    const Reply refused = inSession(std::nullopt);
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(refused.headers.get("MCP-Session-Id"), session);
    EXPECT_EQ(inSession("Bearer expired").status, 401);
    EXPECT_EQ(inSession("Bearer good").status, 202);
}

}  // namespace
}  // namespace mcp
