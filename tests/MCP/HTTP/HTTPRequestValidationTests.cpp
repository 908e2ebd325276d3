// The validation pipeline of the HTTP server transports: every refusal in one table, with the
// passes next to the refusals they border on.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "MCP/HTTP/HTTPRequestValidation.h"

namespace mcp {
namespace {

using Headers = std::map<std::string, std::string>;

struct Case {
    const char* name;
    std::shared_ptr<const HTTPRequestValidationPipeline> pipeline;
    std::string method;
    Headers headers;
    std::optional<std::string> heldSession;
    bool initialize = false;
    int status = 0;  // 0: passes
    std::string text = {};
};

const Headers kPost = {{"Accept", "application/json, text/event-stream"},
                       {"Content-Type", "application/json"},
                       {"MCP-Session-Id", "S"}};

Headers with(Headers headers, const std::string& name, std::optional<std::string> value) {
    if (value) {
        headers[name] = *value;
    } else {
        headers.erase(name);
    }
    return headers;
}

TEST(HTTPRequestValidationTest, RefusalsAndPasses) {
    auto stateful = StandardValidationPipeline::statefulDefault();
    auto stateless = StandardValidationPipeline::statelessDefault();
    const std::string bothAccepted =
        "Not Acceptable: Client must accept both application/json and text/event-stream";
    const std::string json = "Not Acceptable: Client must accept application/json";
    const std::string events = "Not Acceptable: Client must accept text/event-stream";
    const std::string mediaType = "Unsupported Media Type: Content-Type must be application/json";
    const std::vector<Case> cases = {
        {"all fine", stateful, "POST", kPost, "S"},
        {"stateless: all fine", stateless, "POST", kPost, std::nullopt},
        {"events alone, sseRequired", stateful, "POST",
         with(kPost, "Accept", "text/event-stream"), "S", false, 406, bothAccepted},
        {"events alone, jsonOnly", stateless, "POST", with(kPost, "Accept", "text/event-stream"),
         std::nullopt, false, 406, json},
        {"json alone, jsonOnly", stateless, "POST", with(kPost, "Accept", "application/json"),
         std::nullopt},
        {"json alone, sseRequired", stateful, "POST", with(kPost, "Accept", "application/json"),
         "S", false, 406, bothAccepted},
        {"quality parameter counts", stateless, "POST",
         with(kPost, "Accept", " application/json;q=0.9 ,"), std::nullopt},
        {"wildcard does not count", stateless, "POST", with(kPost, "Accept", "*/*"), std::nullopt,
         false, 406, json},
        {"capitals do not count", stateless, "POST", with(kPost, "Accept", "Application/JSON"),
         std::nullopt, false, 406, json},
        {"no Accept on POST", stateless, "POST", with(kPost, "Accept", std::nullopt), std::nullopt,
         false, 406, json},
        {"GET wants event streams", stateful, "GET", with(kPost, "Accept", "application/json"),
         "S", false, 406, events},
        {"DELETE without Accept", stateful, "DELETE", with(kPost, "Accept", std::nullopt), "S"},
        {"charset allowed", stateful, "POST",
         with(kPost, "Content-Type", "application/json; charset=utf-8"), "S"},
        {"capitalised media type", stateful, "POST",
         with(kPost, "Content-Type", "Application/JSON"), "S", false, 415, mediaType},
        {"text/plain", stateful, "POST", with(kPost, "Content-Type", "text/plain"), "S", false,
         415, mediaType},
        {"no Content-Type", stateful, "POST", with(kPost, "Content-Type", std::nullopt), "S",
         false, 415, mediaType},
        {"GET without Content-Type", stateful, "GET",
         {{"Accept", "text/event-stream"}, {"MCP-Session-Id", "S"}}, "S"},
        {"first failing check wins", stateful, "POST",
         with(with(kPost, "Accept", "text/plain"), "Content-Type", "text/plain"), "S", false, 406,
         bothAccepted},
        {"unsupported version", stateful, "POST",
         with(kPost, "MCP-Protocol-Version", "1999-01-01"), "S", false, 400,
         "Bad Request: Unsupported protocol version: 1999-01-01. Supported: 2024-11-05, "
         "2025-03-26, 2025-06-18, 2025-11-25"},
        {"supported version", stateful, "POST", with(kPost, "MCP-Protocol-Version", "2025-06-18"),
         "S"},
        {"initialize skips version and session", stateful, "POST",
         with(with(kPost, "MCP-Protocol-Version", "1999-01-01"), "MCP-Session-Id", std::nullopt),
         std::nullopt, true},
        {"no session held", stateful, "POST", kPost, std::nullopt, false, 400,
         "Bad Request: Session not initialized"},
        {"session header missing", stateful, "POST", with(kPost, "MCP-Session-Id", std::nullopt),
         "S", false, 400, "Bad Request: Missing MCP-Session-Id header"},
        {"session header differs", stateful, "POST", with(kPost, "MCP-Session-Id", "T"), "S",
         false, 404, "Not Found: Invalid or expired session ID"},
        {"stateless ignores sessions", stateless, "POST",
         with(kPost, "MCP-Session-Id", std::nullopt), std::nullopt},
        {"localhost host and origin", stateful, "POST",
         with(with(kPost, "Host", "localhost:3000"), "Origin", "http://127.0.0.1:3000"), "S"},
        {"[::1] host", stateful, "POST", with(kPost, "host", "[::1]:80"), "S"},
        {"other host", stateful, "POST", with(kPost, "Host", "other-host:3000"), "S", false, 421,
         "Misdirected Request: Host header not allowed"},
        {"host without port", stateful, "POST", with(kPost, "Host", "localhost"), "S", false, 421,
         "Misdirected Request: Host header not allowed"},
        {"host with empty port", stateful, "POST", with(kPost, "Host", "localhost:"), "S", false,
         421, "Misdirected Request: Host header not allowed"},
        {"host with letters in port", stateful, "POST", with(kPost, "Host", "localhost:80a"), "S",
         false, 421, "Misdirected Request: Host header not allowed"},
        {"Origin: null", stateful, "POST", with(kPost, "Origin", "null"), "S", false, 403,
         "Forbidden: Origin not allowed"},
        {"https origin", stateful, "POST", with(kPost, "Origin", "https://localhost:3000"), "S",
         false, 403, "Forbidden: Origin not allowed"},
        {"foreign origin", stateless, "POST", with(kPost, "Origin", "http://evil.example:80"),
         std::nullopt, false, 403, "Forbidden: Origin not allowed"},
        {"origin checked before Accept", stateful, "GET",
         {{"Origin", "http://evil.example"}}, "S", false, 403, "Forbidden: Origin not allowed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HTTPRequest request{c.method, c.headers, std::nullopt, "/mcp"};
        HTTPValidationContext context{c.method, c.heldSession, c.initialize, nullptr};
        auto answer = c.pipeline->validate(request, context);
        if (c.status == 0) {
            EXPECT_FALSE(answer) << (answer ? *answer->body() : "");
            continue;
        }
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->statusCode(), c.status);
        ASSERT_NE(answer->mcpError(), nullptr);
        EXPECT_EQ(answer->mcpError()->code(), -32600);
        EXPECT_EQ(answer->mcpError()->errorDescription(), "Invalid Request: " + c.text);
        EXPECT_EQ(answer->headers().get("MCP-Session-Id"), c.heldSession);
    }
}

TEST(HTTPRequestValidationTest, OriginRules) {
    EXPECT_TRUE(OriginValidator::matches("localhost:8080", "localhost:*"));
    EXPECT_FALSE(OriginValidator::matches("localhost:", "localhost:*"));
    EXPECT_FALSE(OriginValidator::matches("localhost", "localhost:*"));
    EXPECT_FALSE(OriginValidator::matches("localhost:80a", "localhost:*"));
    EXPECT_TRUE(OriginValidator::matches("localhost:80", "localhost:80"));

    auto fixed = OriginValidator::localhost(8080);
    EXPECT_EQ(fixed.allowedHosts(),
              (std::vector<std::string>{"127.0.0.1:8080", "localhost:8080", "[::1]:8080"}));
    EXPECT_EQ(fixed.allowedOrigins(),
              (std::vector<std::string>{"http://127.0.0.1:8080", "http://localhost:8080",
                                        "http://[::1]:8080"}));
    HTTPValidationContext context{"POST", std::nullopt, false, nullptr};
    EXPECT_TRUE(fixed.validate(HTTPRequest{"POST", {{"Host", "localhost:9090"}}, {}, {}}, context));
    EXPECT_FALSE(OriginValidator::disabled().validate(
        HTTPRequest{"POST", {{"Host", "evil"}, {"Origin", "null"}}, {}, {}}, context));
    OriginValidator none({}, {});
    EXPECT_TRUE(none.validate(HTTPRequest{"POST", {{"Host", "localhost:1"}}, {}, {}}, context));
    EXPECT_FALSE(none.validate(HTTPRequest{"POST", {}, {}, {}}, context));
    EXPECT_FALSE(StandardValidationPipeline({}).validate(HTTPRequest{"POST", {}, {}, {}}, context));
}

}  // namespace
}  // namespace mcp
