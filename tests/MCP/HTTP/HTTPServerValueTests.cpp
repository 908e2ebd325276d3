// The HTTP server transports' value types: body classification, the event writer (read back by
// the EventSource parser), error answers and session ids.
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "EventSource/Parser.h"
#include "MCP/HTTP/HTTPResponse.h"
#include "MCP/HTTP/JSONRPCMessageKind.h"
#include "MCP/HTTP/SSEEvent.h"
#include "MCP/HTTP/SessionID.h"
#include "MCP/JSON/JsonParser.h"

namespace mcp {
namespace {

using Kind = JSONRPCMessageKind;

TEST(JSONRPCMessageKindTest, ClassifiesBodies) {
    struct Case {
        std::string body;
        std::optional<Kind> expected;
    };
    const std::vector<Case> cases = {
        {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", Kind::request(ID(1), "ping")},
        {R"({"jsonrpc":"2.0","id":"1","method":"ping"})", Kind::request(ID("1"), "ping")},
        {R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
         Kind::notification("notifications/initialized")},
        {R"({"id":3,"result":{}})", Kind::response(ID(3))},
        {R"({"id":"x","error":{"code":1,"message":"m"}})", Kind::response(ID("x"))},
        {R"({"id":4,"method":5,"result":{}})", Kind::response(ID(4))},
        // A method with an id the server cannot answer under, or beside an answer, is refused
        // by the transport itself: the server would not answer it.
        {R"({"id":1.5,"method":"ping"})", Kind::invalidRequest("ID must be string or number")},
        {R"({"id":null,"method":"ping"})", Kind::invalidRequest("ID must be string or number")},
        {R"({"id":true,"method":"ping"})", Kind::invalidRequest("ID must be string or number")},
        {R"({"id":{},"method":"ping"})", Kind::invalidRequest("ID must be string or number")},
        {R"({"id":18446744073709551616,"method":"ping"})",
         Kind::invalidRequest("ID must be string or number")},
        {R"({"id":1,"method":"ping","result":{}})",
         Kind::invalidRequest("A request cannot carry a result or an error")},
        {R"({"id":1,"method":"ping","error":{"code":1,"message":"m"}})",
         Kind::invalidRequest("A request cannot carry a result or an error")},
        {R"({"id":null,"result":{}})", std::nullopt},
        {R"({"result":{}})", std::nullopt},
        {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", std::nullopt},
        {"", std::nullopt},
        {"not json", std::nullopt},
        {R"({"jsonrpc":"2.0"})", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Kind::classify(c.body), c.expected) << c.body;
    }
    // The typed ids of 7 and "7" stay apart; their text forms are the same.
    auto number = Kind::classify(R"({"id":7,"method":"m"})");
    auto text = Kind::classify(R"({"id":"7","method":"m"})");
    EXPECT_NE(number->id, text->id);
    EXPECT_EQ(number->id->description(), text->id->description());
    EXPECT_TRUE(Kind::classify(R"({"id":1,"method":"initialize"})")->isInitializeRequest());
    EXPECT_FALSE(Kind::classify(R"({"method":"initialize"})")->isInitializeRequest());
}

std::vector<eventsource::Event> parse(const std::string& bytes) {
    eventsource::Parser parser;
    parser.consume(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    parser.finish();
    std::vector<eventsource::Event> events;
    while (auto event = parser.getNextEvent()) {
        events.push_back(*event);
    }
    return events;
}

TEST(SSEEventTest, FormatsFieldsInOrder) {
    EXPECT_EQ((SSEEvent{std::nullopt, std::nullopt, "abc", std::nullopt}.formatted()), "data: abc\n\n");
    SSEEvent full{"s_1", "message", "{}", 3000};
    EXPECT_EQ(full.formatted(), "id: s_1\nevent: message\nretry: 3000\ndata: {}\n\n");
    EXPECT_EQ((SSEEvent{"p_1", std::nullopt, "", std::nullopt}.formatted()), "id: p_1\ndata: \n\n");
}

TEST(SSEEventTest, DataWithLineBreaksArrivesWholeAndInjectsNothing) {
    // A pretty-printed message whose text also tries to start fields of its own.
    const std::string data = "{\n  \"a\": 1\r\n}\rid: forged\n\nevent: forged";
    SSEEvent event = SSEEvent::message("r_1", data);
    auto events = parse(event.formatted());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data, "{\n  \"a\": 1\n}\nid: forged\n\nevent: forged");
    EXPECT_EQ(events[0].id, "r_1");
    EXPECT_EQ(events[0].event, "message");
}

TEST(SSEEventTest, RefusesIdsAndNamesThatWouldBreakTheStream) {
    for (std::string bad : {std::string("a\nb"), std::string("a\rb"), std::string("a\0b", 3)}) {
        EXPECT_FALSE(SSEEvent::canCarry(bad));
        EXPECT_THROW((SSEEvent{bad, std::nullopt, "x", std::nullopt}.formatted()),
                     std::invalid_argument);
        EXPECT_THROW((SSEEvent{std::nullopt, bad, "x", std::nullopt}.formatted()),
                     std::invalid_argument);
    }
    EXPECT_TRUE(SSEEvent::canCarry("7_3"));
}

TEST(SSEEventTest, MessageReplacesInvalidUtf8) {
    EXPECT_EQ(SSEEvent::message(std::nullopt, "a\xff" "b").data, "a\xEF\xBF\xBD" "b");
}

TEST(HTTPResponseTest, ErrorAnswersCarryJsonRpcErrorAndHeaders) {
    HTTPHeaders extra;
    extra.set("Content-Type", "text/plain");
    extra.set("Allow", "POST");
    auto response = HTTPResponse::error(405, MCPError::invalidRequest("Method Not Allowed"), "S",
                                        extra);
    EXPECT_EQ(response.statusCode(), 405);
    auto headers = response.headers();
    EXPECT_EQ(headers.get("Content-Type"), "text/plain");
    EXPECT_EQ(headers.get("MCP-Session-Id"), "S");
    EXPECT_EQ(headers.get("Allow"), "POST");
    Value body = parseJson(*response.body());
    EXPECT_EQ(body, Value::object({{"jsonrpc", "2.0"},
                                   {"error", Value::object({{"code", -32600},
                                                            {"message",
                                                             "Invalid Request: Method Not Allowed"}})}}));
    EXPECT_FALSE(HTTPResponse::error(400, MCPError::parseError()).headers().contains(
        "MCP-Session-Id"));
}

TEST(HTTPResponseTest, StatusesAndBodiesOfTheOtherKinds) {
    EXPECT_EQ(HTTPResponse::accepted().statusCode(), 202);
    EXPECT_EQ(HTTPResponse::ok().statusCode(), 200);
    EXPECT_FALSE(HTTPResponse::accepted().body());
    EXPECT_EQ(HTTPResponse::data("{}").body(), "{}");
    auto [stream, source] = MessageStream::make();
    auto streamed = HTTPResponse::stream(std::move(stream));
    EXPECT_EQ(streamed.statusCode(), 200);
    EXPECT_FALSE(streamed.body());
    EXPECT_NE(streamed.chunks(), nullptr);
}

TEST(SessionIDTest, GeneratedIdsAreValidUuids) {
    UUIDSessionIDGenerator generator;
    std::string first = generator.generateSessionID();
    EXPECT_EQ(first.size(), 36u);
    EXPECT_TRUE(isValidSessionID(first));
    EXPECT_NE(first, generator.generateSessionID());
    EXPECT_TRUE(isValidSessionID(""));
    EXPECT_FALSE(isValidSessionID("a b"));
    EXPECT_FALSE(isValidSessionID("caf\xC3\xA9"));
    EXPECT_FALSE(isValidSessionID("a\x7F"));
}

}  // namespace
}  // namespace mcp
