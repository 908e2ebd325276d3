// The server over the in-memory pair: the exact bytes it answers, batches, cancellation, the
// handshake and its requests to the client.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Logging/LogHandler.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/Messages/Tools.h"
#include "MCP/Server/Server.h"
#include "tests/MCP/LogLineRecorder.h"
#include "tests/MCP/ScriptedTransport.h"
#include "tests/MCP/ServerTestSupport.h"

namespace mcp {
namespace {

using namespace mcp::testing;

// The tools every test server offers.
void registerTools(ServerHarness& harness) {
    harness.server->withMethodHandler<ListTools>(
        [](ListTools::Parameters) -> asio::awaitable<ListTools::Result> {
            ListTools::Result result;
            result.tools.push_back(Tool{.name = "echo",
                                        .description = "Repeats its text.",
                                        .inputSchema = Value::object({{"type", "object"}})});
            co_return result;
        });
    harness.server->withMethodHandler<CallTool>(
        [](CallTool::Parameters parameters) -> asio::awaitable<CallTool::Result> {
            if (parameters.name == "echo") {
                const Value* text =
                    parameters.arguments ? parameters.arguments->find("text") : nullptr;
                co_return CallTool::Result{
                    .content = {ToolContent::text(text && text->stringValue() ? *text->stringValue()
                                                                              : "")}};
            }
            if (parameters.name == "refuse") {
                throw MCPError::invalidRequest("The tool refuses.");
            }
            if (parameters.name == "crash") {
                throw std::runtime_error("The disk is full.");
            }
            if (parameters.name == "context") {
                auto context = Server::currentHandlerContext();
                co_return CallTool::Result{
                    .content = {ToolContent::text(context ? context->id.description() : "none")}};
            }
            co_return CallTool::Result{.content = {ToolContent::text("Unknown tool.")},
                                       .isError = true};
        });
}

struct GoldenRow {
    const char* name;
    std::string request;
    std::string answer;

    friend void PrintTo(const GoldenRow& row, std::ostream* out) { *out << row.name; }
};

class ServerGolden : public ::testing::TestWithParam<GoldenRow> {};

TEST_P(ServerGolden, AnswersWithTheExactBytes) {
    ServerHarness harness;
    registerTools(harness);
    harness.start();
    EXPECT_EQ(harness.exchange(GetParam().request), GetParam().answer);
    // Whatever came before, the server keeps serving.
    EXPECT_EQ(harness.exchange(R"({"jsonrpc":"2.0","id":"after","method":"ping"})"),
              R"({"id":"after","jsonrpc":"2.0","result":{}})");
}

INSTANTIATE_TEST_SUITE_P(Server, ServerGolden,
                         ::testing::Values(GoldenRow{"Initialize",
                                                     R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"c","version":"1"}}})",
                                                     R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2025-06-18","serverInfo":{"name":"Frameweaver","version":"1.0.0"}}})"},
                                           GoldenRow{
                                               "InitializeWithUnknownVersion",
                                               R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"1999-01-01","capabilities":{},"clientInfo":{"name":"c","version":"1"}}})",
                                               R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2025-11-25","serverInfo":{"name":"Frameweaver","version":"1.0.0"}}})"},
                                           GoldenRow{"Ping",
                                                     R"({"jsonrpc":"2.0","id":2,"method":"ping"})",
                                                     R"({"id":2,"jsonrpc":"2.0","result":{}})"},
                                           GoldenRow{
                                               "ToolsList",
                                               R"({"jsonrpc":"2.0","id":3,"method":"tools/list"})",
                                               R"({"id":3,"jsonrpc":"2.0","result":{"tools":[{"description":"Repeats its text.","inputSchema":{"type":"object"},"name":"echo"}]}})"},
                                           GoldenRow{
                                               "ToolsCall",
                                               R"({"jsonrpc":"2.0","id":"c1","method":"tools/call","params":{"name":"echo","arguments":{"text":"a/b"}}})",
                                               R"({"id":"c1","jsonrpc":"2.0","result":{"content":[{"text":"a/b","type":"text"}]}})"},
                                           GoldenRow{
                                               "ToolErrorResult",
                                               R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"nope"}})",
                                               R"({"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"Unknown tool.","type":"text"}],"isError":true}})"},
                                           GoldenRow{"HandlerContext", R"({"jsonrpc":"2.0","id":41,"method":"tools/call","params":{"name":"context"}})", R"({"id":41,"jsonrpc":"2.0","result":{"content":[{"text":"41","type":"text"}]}})"}, GoldenRow{"UnknownMethod", R"({"jsonrpc":"2.0","id":5,"method":"nothing/here"})", R"({"error":{"code":-32601,"data":{"detail":"Unknown method: nothing/here"},"message":"Method not found: Unknown method: nothing/here"},"id":5,"jsonrpc":"2.0"})"}, GoldenRow{"EmptyMethodAlone", R"({"jsonrpc":"2.0","id":5,"method":""})", R"({"error":{"code":-32601,"data":{"detail":"Unknown method: "},"message":"Method not found: Unknown method: "},"id":5,"jsonrpc":"2.0"})"}, GoldenRow{"HandlerThrowsMCPError", R"({"jsonrpc":"2.0","id":6,"method":"tools/call","params":{"name":"refuse"}})", R"({"error":{"code":-32600,"data":{"detail":"The tool refuses."},"message":"Invalid Request: The tool refuses."},"id":6,"jsonrpc":"2.0"})"}, GoldenRow{"HandlerThrowsOtherError", R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"crash"}})", R"({"error":{"code":-32603,"data":{"detail":"The disk is full."},"message":"Internal error: The disk is full."},"id":7,"jsonrpc":"2.0"})"}, GoldenRow{"ParamsOfTheWrongKind", R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":"echo"})", R"({"error":{"code":-32602,"data":{"detail":"Invalid params field"},"message":"Invalid params: Invalid params field"},"id":8,"jsonrpc":"2.0"})"}, GoldenRow{"MissingParams", R"({"jsonrpc":"2.0","id":9,"method":"tools/call"})", R"({"error":{"code":-32602,"data":{"detail":"Missing required params field"},"message":"Invalid params: Missing required params field"},"id":9,"jsonrpc":"2.0"})"}, GoldenRow{"NotJson", R"({"jsonrpc":"2.0","id":1,)", R"({"error":{"code":-32700,"data":{"detail":"Invalid message format"},"message":"Parse error: Invalid JSON: Invalid message format"},"jsonrpc":"2.0"})"}, GoldenRow{"NotAnObject", R"(42)", R"({"error":{"code":-32700,"data":{"detail":"Invalid message format"},"message":"Parse error: Invalid JSON: Invalid message format"},"jsonrpc":"2.0"})"}, GoldenRow{"NoFormWithNumberId", R"({"jsonrpc":"2.0","id":7,"params":{}})", R"({"error":{"code":-32700,"data":{"detail":"Invalid message format"},"message":"Parse error: Invalid JSON: Invalid message format"},"id":7,"jsonrpc":"2.0"})"},
                                           GoldenRow{
                                               "NoFormWithTextId",
                                               R"({"jsonrpc":"2.0","id":"abc"})",
                                               R"({"error":{"code":-32700,"data":{"detail":"Invalid message format"},"message":"Parse error: Invalid JSON: Invalid message format"},"id":"abc","jsonrpc":"2.0"})"},
                                           GoldenRow{
                                               "WrongVersion",
                                               R"({"jsonrpc":"1.0","id":3,"method":"ping"})",
                                               R"({"error":{"code":-32700,"data":{"detail":"Invalid message format"},"message":"Parse error: Invalid JSON: Invalid message format"},"id":3,"jsonrpc":"2.0"})"},
                                           GoldenRow{
                                               "FractionalId",
                                               R"({"jsonrpc":"2.0","id":1.5,"method":"ping"})",
                                               R"({"error":{"code":-32600,"data":{"detail":"ID must be string or number"},"message":"Invalid Request: ID must be string or number"},"jsonrpc":"2.0"})"},
                                           GoldenRow{
                                               "HugeId",
                                               R"({"jsonrpc":"2.0","id":123456789012345678901234567890,"method":"ping"})",
                                               R"({"error":{"code":-32600,"data":{"detail":"ID must be string or number"},"message":"Invalid Request: ID must be string or number"},"jsonrpc":"2.0"})"},
                                           GoldenRow{
                                               "IntegralFractionId",
                                               R"({"jsonrpc":"2.0","id":2.0,"method":"ping"})",
                                               R"({"error":{"code":-32600,"data":{"detail":"ID must be string or number"},"message":"Invalid Request: ID must be string or number"},"jsonrpc":"2.0"})"},
                                           GoldenRow{
                                               "RepeatedKeysTakeTheLast",
                                               R"({"jsonrpc":"2.0","id":1,"method":"nothing","params":[],"id":"last","method":"ping"})",
                                               R"({"id":"last","jsonrpc":"2.0","result":{}})"},
                                           GoldenRow{
                                               "NullParams",
                                               R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":null})",
                                               R"({"error":{"code":-32602,"data":{"detail":"Missing required params field"},"message":"Invalid params: Missing required params field"},"id":9,"jsonrpc":"2.0"})"},
                                           GoldenRow{
                                               "DataURLId",
                                               R"({"jsonrpc":"2.0","id":"data:,1","method":"tools/call","params":{"name":"echo","arguments":{"text":"x"}}})",
                                               R"({"id":"data:,1","jsonrpc":"2.0","result":{"content":[{"text":"x","type":"text"}]}})"},
                                           GoldenRow{
                                               "NullIdRunsNothing",
                                               R"({"jsonrpc":"2.0","id":null,"method":"tools/call","params":{"name":"echo","arguments":{"text":"x"}}})",
                                               R"({"error":{"code":-32600,"data":{"detail":"ID must be string or number"},"message":"Invalid Request: ID must be string or number"},"jsonrpc":"2.0"})"},
                                           GoldenRow{
                                               "ObjectId",
                                               R"({"jsonrpc":"2.0","id":{"n":1},"method":"tools/call","params":{"name":"crash"}})",
                                               R"({"error":{"code":-32600,"data":{"detail":"ID must be string or number"},"message":"Invalid Request: ID must be string or number"},"jsonrpc":"2.0"})"},
                                           GoldenRow{
                                               "EmptyBatch", R"([])",
                                               R"({"error":{"code":-32600,"data":{"detail":"Batch array must not be empty"},"message":"Invalid Request: Batch array must not be empty"},"jsonrpc":"2.0"})"},
                                           GoldenRow{
                                               "Batch",
                                               R"([{"jsonrpc":"2.0","id":1,"method":"ping"},{"jsonrpc":"2.0","method":"notifications/initialized"},{"jsonrpc":"2.0","id":2,"method":"nothing"},{"jsonrpc":"2.0","id":3,"method":""},{"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"echo","arguments":{"text":"x"}}}])", R"([{"id":1,"jsonrpc":"2.0","result":{}},{"error":{"code":-32601,"data":{"detail":"Unknown method: nothing"},"message":"Method not found: Unknown method: nothing"},"id":2,"jsonrpc":"2.0"},{"error":{"code":-32600,"data":{"detail":"Invalid batch item format"},"message":"Invalid Request: Invalid batch item format"},"id":3,"jsonrpc":"2.0"},{"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"x","type":"text"}]}}])"},
                                           GoldenRow{
                                               "BatchWithAResponseIsNoBatch",
                                               R"([{"jsonrpc":"2.0","id":1,"method":"ping"},{"jsonrpc":"2.0","id":9,"result":{}}])",
                                               R"({"error":{"code":-32700,"data":{"detail":"Invalid message format"},"message":"Parse error: Invalid JSON: Invalid message format"},"jsonrpc":"2.0"})"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A handler registered or replaced while the server runs serves the very next request, however
// often the method was served before.
TEST(Server, HandlersRegisteredWhileRunningServeTheNextRequest) {
    ServerHarness harness;
    harness.start();
    const std::string call =
        R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"x"}})";
    EXPECT_NE(harness.exchange(call).find("Method not found"), std::string::npos);
    auto answering = [&](std::string text) {
        harness.server->withMethodHandler<CallTool>(
            [text](CallTool::Parameters) -> asio::awaitable<CallTool::Result> {
                co_return CallTool::Result{.content = {ToolContent::text(text)}};
            });
    };
    auto answer = [](std::string text) {
        return R"({"id":1,"jsonrpc":"2.0","result":{"content":[{"text":")" + text +
               R"(","type":"text"}]}})";
    };
    answering("first");
    EXPECT_EQ(harness.exchange(call), answer("first"));
    EXPECT_EQ(harness.exchange(call), answer("first"));
    answering("second");
    EXPECT_EQ(harness.exchange(call), answer("second"));
}

TEST(Server, NotificationsAreNeverAnswered) {
    ServerHarness harness;
    harness.start();
    // Unknown notification, a batch of notifications only, a failing cancellation handler.
    harness.send(R"({"jsonrpc":"2.0","method":"notifications/whatever"})");
    harness.send(R"([{"jsonrpc":"2.0","method":"notifications/initialized"}])");
    harness.send(
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1.5}})");
    EXPECT_EQ(harness.exchange(R"({"jsonrpc":"2.0","id":1,"method":"ping"})"),
              R"({"id":1,"jsonrpc":"2.0","result":{}})");
}

TEST(Server, NotificationHandlersRunInOrderAndAFailureStopsNone) {
    ServerHarness harness;
    std::vector<std::string> calls;
    harness.server->onNotification<InitializedNotification>(
        [&](Message<InitializedNotification>) -> asio::awaitable<void> {
            calls.push_back("first");
            throw std::runtime_error("broken");
            co_return;
        });
    harness.server->onNotification<InitializedNotification>(
        [&](Message<InitializedNotification>) -> asio::awaitable<void> {
            calls.push_back("second");
            co_return;
        });
    harness.start();
    harness.send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    harness.exchange(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));
}

TEST(Server, StrictModeRefusesEverythingButTheHandshakeBeforeInitialize) {
    ServerHarness harness(Server::Configuration::strictMode());
    registerTools(harness);
    harness.start();
    EXPECT_EQ(
        harness.exchange(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})"),
        R"({"error":{"code":-32600,"data":{"detail":"Server is not initialized"},"message":"Invalid Request: Server is not initialized"},"id":1,"jsonrpc":"2.0"})");
    EXPECT_EQ(
        harness.exchange(
            R"([{"jsonrpc":"2.0","id":2,"method":"tools/list"},{"jsonrpc":"2.0","id":3,"method":"ping"}])"),
        R"([{"error":{"code":-32600,"data":{"detail":"Server is not initialized"},"message":"Invalid Request: Server is not initialized"},"id":2,"jsonrpc":"2.0"},{"id":3,"jsonrpc":"2.0","result":{}}])");
    // A notification is refused without an answer.
    harness.send(R"({"jsonrpc":"2.0","method":"notifications/roots/list_changed"})");
    EXPECT_NE(harness.initialize().find("\"result\""), std::string::npos);
    EXPECT_NE(
        harness.exchange(R"({"jsonrpc":"2.0","id":4,"method":"tools/list"})").find("\"result\""),
        std::string::npos);
}

TEST(Server, SecondInitializeIsRefusedAndKeepsTheFirstClient) {
    ServerHarness harness;
    harness.start();
    harness.initialize();
    EXPECT_EQ(
        harness.exchange(
            R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05","capabilities":{},"clientInfo":{"name":"other","version":"2"}}})"),
        R"({"error":{"code":-32600,"data":{"detail":"Server is already initialized"},"message":"Invalid Request: Server is already initialized"},"id":1,"jsonrpc":"2.0"})");
    auto state = runFor(harness.io, harness.server->clientState());
    EXPECT_TRUE(state.isInitialized);
    EXPECT_EQ(state.clientInfo->name, "test");
    EXPECT_EQ(state.protocolVersion, "2025-06-18");
}

TEST(Server, ConcurrentInitializeRequestsCannotBothSucceed) {
    ServerHarness harness;
    Gate gate(harness.io);
    int hookCalls = 0;
    harness.start([&](ClientInfo, ClientCapabilities) -> asio::awaitable<void> {
        ++hookCalls;
        co_await gate.wait();
    });
    const std::string request =
        R"(,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"c","version":"1"}}})";
    harness.send(R"({"jsonrpc":"2.0","id":1)" + request);
    harness.send(R"({"jsonrpc":"2.0","id":2)" + request);
    auto refused = harness.receive();
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->find("Server is already initialized"), std::string::npos);
    EXPECT_NE(refused->find("\"id\":2"), std::string::npos);
    gate.open();
    auto accepted = harness.receive();
    ASSERT_TRUE(accepted);
    EXPECT_NE(accepted->find("\"result\""), std::string::npos);
    EXPECT_EQ(hookCalls, 1);
}

TEST(Server, FailingInitializeHookLeavesTheServerUninitialized) {
    ServerHarness harness;
    bool fail = true;
    harness.start([&](ClientInfo, ClientCapabilities) -> asio::awaitable<void> {
        if (fail) {
            fail = false;
            throw MCPError::invalidRequest("Not now.");
        }
        co_return;
    });
    EXPECT_NE(harness.initialize().find("Not now."), std::string::npos);
    EXPECT_NE(harness.initialize().find("\"result\""), std::string::npos);
}

TEST(Server, SecondStartFailsWithAnInternalError) {
    ServerHarness harness;
    harness.start();
    try {
        runFor(harness.io, harness.server->start(harness.serverSide));
        FAIL() << "a second start succeeded";
    } catch (const MCPError& error) {
        EXPECT_EQ(error.kind(), MCPError::Kind::internalError);
        EXPECT_EQ(std::string(error.what()), "Internal error: Server is already running");
    }
    // One loop only: one answer per request.
    harness.send(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
    EXPECT_TRUE(harness.receive());
    EXPECT_FALSE(harness.receive(200ms));
}

TEST(Server, SendingWithoutAConnectionFails) {
    ServerHarness harness;
    try {
        runFor(harness.io, harness.server->log(LogLevel::info, std::nullopt, Value("x")));
        FAIL() << "sent without a connection";
    } catch (const MCPError& error) {
        EXPECT_EQ(std::string(error.what()), "Internal error: Server connection not initialized");
    }
    // stop() before start() returns and leaves the server usable.
    runFor(harness.io, harness.server->stop());
    runFor(harness.io, harness.server->waitUntilCompleted());
}

// --- Cancellation ---------------------------------------------------------------------------

class ServerCancellation : public ::testing::Test {
protected:
    ServerCancellation() : gate(harness.io) {
        harness.server->withMethodHandler<CallTool>(
            [this](CallTool::Parameters parameters) -> asio::awaitable<CallTool::Result> {
                ++started;
                try {
                    co_await gate.wait();
                } catch (const boost::system::system_error&) {
                    ++cancelled;
                    throw;
                }
                co_return CallTool::Result{.content = {ToolContent::text(parameters.name)}};
            });
        harness.start();
    }

    void call(int id, const std::string& tool) {
        harness.send(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                     R"(,"method":"tools/call","params":{"name":")" + tool + R"("}})");
    }
    void cancel(int id) {
        harness.send(
            R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":)" +
            std::to_string(id) + R"(,"reason":"user"}})");
    }

    ServerHarness harness;
    Gate gate;
    int started = 0;
    int cancelled = 0;
};

TEST_F(ServerCancellation, CancelledRequestGetsNoAnswerAndOthersGoOn) {
    call(5, "slow");
    runIdle(harness.io, 20ms);
    ASSERT_EQ(started, 1);
    cancel(5);
    EXPECT_EQ(harness.exchange(R"({"jsonrpc":"2.0","id":6,"method":"ping"})"),
              R"({"id":6,"jsonrpc":"2.0","result":{}})");
    EXPECT_EQ(cancelled, 1);
    EXPECT_FALSE(harness.receive(200ms));
    EXPECT_EQ(runFor(harness.io, harness.server->load()).runningRequests, 0u);
}

// Stopping cancels the running handlers: their answers could not be delivered any more, and a
// program that stops its server must not wait for them.
TEST_F(ServerCancellation, StopCancelsEveryRunningHandler) {
    call(5, "slow");
    call(6, "slower");
    runUntil(harness.io, [&] { return started == 2; }, 20s);
    ASSERT_EQ(started, 2);
    runFor(harness.io, harness.server->stop());
    runUntil(harness.io, [&] { return cancelled == 2; }, 20s);
    EXPECT_EQ(cancelled, 2);
    EXPECT_EQ(runFor(harness.io, harness.server->load()).runningRequests, 0u);
}

TEST_F(ServerCancellation, UnknownOrMissingRequestIdCancelsNothing) {
    call(5, "slow");
    runIdle(harness.io, 20ms);
    cancel(99);
    harness.send(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{}})");
    gate.open();
    EXPECT_EQ(harness.receive(),
              R"({"id":5,"jsonrpc":"2.0","result":{"content":[{"text":"slow","type":"text"}]}})");
    EXPECT_EQ(cancelled, 0);
}

TEST_F(ServerCancellation, RequestsSharingAnIdKeepTheirOwnEntries) {
    // Two requests in flight under one id: the first to finish must not take the second's entry,
    // so a later cancellation still reaches the second.
    call(9, "first");
    runIdle(harness.io, 20ms);
    gate.open();
    EXPECT_EQ(harness.receive(),
              R"({"id":9,"jsonrpc":"2.0","result":{"content":[{"text":"first","type":"text"}]}})");
    Gate second(harness.io);
    harness.server->withMethodHandler<CallTool>(
        [&](CallTool::Parameters) -> asio::awaitable<CallTool::Result> {
            try {
                co_await second.wait();
            } catch (const boost::system::system_error&) {
                ++cancelled;
                throw;
            }
            co_return CallTool::Result{};
        });
    call(9, "a");
    call(9, "b");
    runIdle(harness.io, 20ms);
    cancel(9);
    runIdle(harness.io, 50ms);
    EXPECT_EQ(cancelled, 2);
    EXPECT_FALSE(harness.receive(200ms));
}

TEST_F(ServerCancellation, CancellationInsideABatchDropsOnlyThatAnswer) {
    harness.send(
        R"([{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"slow"}},{"jsonrpc":"2.0","id":2,"method":"ping"}])");
    runIdle(harness.io, 20ms);
    ASSERT_EQ(started, 1);
    cancel(1);
    EXPECT_EQ(harness.receive(), R"([{"id":2,"jsonrpc":"2.0","result":{}}])");
}

TEST(Server, RequestsBeyondTheLimitAreAnsweredAtOnce) {
    Server::Configuration configuration;
    configuration.maxConcurrentRequests = 1;
    ServerHarness harness(configuration);
    Gate gate(harness.io);
    harness.server->withMethodHandler<CallTool>(
        [&](CallTool::Parameters) -> asio::awaitable<CallTool::Result> {
            co_await gate.wait();
            co_return CallTool::Result{};
        });
    harness.start();
    harness.send(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"slow"}})");
    EXPECT_EQ(
        harness.exchange(R"({"jsonrpc":"2.0","id":2,"method":"ping"})"),
        R"({"error":{"code":-32603,"data":{"detail":"Too many requests in progress"},"message":"Internal error: Too many requests in progress"},"id":2,"jsonrpc":"2.0"})");
    gate.open();
    EXPECT_EQ(harness.receive(), R"({"id":1,"jsonrpc":"2.0","result":{"content":[]}})");
    EXPECT_EQ(harness.exchange(R"({"jsonrpc":"2.0","id":3,"method":"ping"})"),
              R"({"id":3,"jsonrpc":"2.0","result":{}})");
}

// A result, or an error, whose text JSON cannot carry is still answered: with an internal error
// that says why.
TEST(Server, TextsJsonCannotCarryAreAnsweredWithAnInternalError) {
    ServerHarness harness;
    harness.server->withMethodHandler<CallTool>(
        [](CallTool::Parameters parameters) -> asio::awaitable<CallTool::Result> {
            if (parameters.name == "bad-error") {
                throw std::runtime_error("bad \xff");
            }
            co_return CallTool::Result{.content = {ToolContent::text(std::string("bad \xff"))}};
        });
    harness.start();
    struct Case {
        const char* tool;
        const char* detailNames;  // what the detail must name besides the encoding
    };
    for (const Case& c : {Case{"bad-result", "content[0].text"}, Case{"bad-error", "detail"}}) {
        SCOPED_TRACE(c.tool);
        const Value answer = parseJson(
            harness.exchange(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":")" +
                             std::string(c.tool) + R"("}})"));
        EXPECT_EQ(answer.find("id")->intValue(), 3);
        const Value* error = answer.find("error");
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->find("code")->intValue(), -32603);
        const std::string* detail = error->find("data")->find("detail")->stringValue();
        ASSERT_NE(detail, nullptr);
        EXPECT_NE(detail->find("UTF-8"), std::string::npos) << *detail;
        EXPECT_NE(detail->find(c.detailNames), std::string::npos) << *detail;
    }
    // Inside a batch the other items keep their answers.
    const Value answers = parseJson(harness.exchange(
        R"([{"jsonrpc":"2.0","id":1,"method":"ping"},)"
        R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"bad-error"}}])"));
    ASSERT_NE(answers.arrayValue(), nullptr);
    ASSERT_EQ(answers.arrayValue()->size(), 2u);
    EXPECT_EQ(toJson((*answers.arrayValue())[0]), R"({"id":1,"jsonrpc":"2.0","result":{}})");
    const Value& bad = (*answers.arrayValue())[1];
    EXPECT_EQ(bad.find("id")->intValue(), 2);
    EXPECT_EQ(bad.find("error")->find("code")->intValue(), -32603);
}

// --- The handler context across requests -------------------------------------------------------

// Requests served one after another (by the same task, when the server reuses it) each see
// their own id, and a task a handler leaves running on its executor keeps seeing the id of the
// request that started it while later requests are served.
TEST(ServerHandlerContext, EachRequestAndTheTasksItStartsSeeTheirOwnId) {
    ServerHarness harness;
    Gate gate(harness.io);
    std::vector<std::string> seenByChild;
    harness.server->withMethodHandler<CallTool>(
        [&](CallTool::Parameters parameters) -> asio::awaitable<CallTool::Result> {
            if (parameters.name == "leave-a-task") {
                asio::co_spawn(
                    co_await asio::this_coro::executor,
                    [&]() -> asio::awaitable<void> {
                        co_await gate.wait();
                        auto context = Server::currentHandlerContext();
                        seenByChild.push_back(context ? context->id.description() : "none");
                    },
                    asio::detached);
            }
            auto context = Server::currentHandlerContext();
            co_return CallTool::Result{
                .content = {ToolContent::text(context ? context->id.description() : "none")}};
        });
    harness.start();
    auto call = [&](int id, const std::string& tool) {
        return harness.exchange(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                                R"(,"method":"tools/call","params":{"name":")" + tool + R"("}})");
    };
    auto answer = [](int id) {
        return R"({"id":)" + std::to_string(id) +
               R"(,"jsonrpc":"2.0","result":{"content":[{"text":")" + std::to_string(id) +
               R"(","type":"text"}]}})";
    };
    for (int id = 1; id <= 3; ++id) {
        EXPECT_EQ(call(id, "plain"), answer(id));
    }
    EXPECT_EQ(call(4, "leave-a-task"), answer(4));
    for (int id = 5; id <= 7; ++id) {
        EXPECT_EQ(call(id, "plain"), answer(id));
    }
    gate.open();
    runIdle(harness.io, 20ms);
    EXPECT_EQ(seenByChild, std::vector<std::string>{"4"});
    EXPECT_FALSE(Server::currentHandlerContext());
}

// --- Requests to the client -------------------------------------------------------------------

// Starts `operation` in the background and returns a flag that turns true when it has ended.
template <class T>
std::shared_ptr<std::optional<std::exception_ptr>> startInBackground(
    asio::io_context& io, asio::awaitable<T> operation, std::optional<T>* result,
    asio::cancellation_signal* cancel = nullptr) {
    auto outcome = std::make_shared<std::optional<std::exception_ptr>>();
    auto handler = [outcome, result](std::exception_ptr error, T value) {
        if (!error && result) {
            *result = std::move(value);
        }
        *outcome = error;
    };
    if (cancel) {
        asio::co_spawn(io, std::move(operation),
                       asio::bind_cancellation_slot(cancel->slot(), handler));
    } else {
        asio::co_spawn(io, std::move(operation), handler);
    }
    return outcome;
}

std::string idOf(const std::string& message) {
    Value value = parseJson(message);
    const Value* id = value.find("id");
    return id && id->stringValue() ? *id->stringValue() : "";
}

TEST(ServerRequests, RootsAnsweredByTheClientReachTheCaller) {
    ServerHarness harness;
    harness.start();
    std::optional<std::vector<Root>> roots;
    auto done = startInBackground(harness.io, harness.server->listRoots(), &roots);
    auto request = harness.receive();
    ASSERT_TRUE(request);
    const std::string id = idOf(*request);
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(*request,
              R"({"id":")" + id + R"(","jsonrpc":"2.0","method":"roots/list","params":{}})");
    harness.send(R"({"jsonrpc":"2.0","id":")" + id +
                 R"(","result":{"roots":[{"uri":"file:///work","name":"work"}]}})");
    runIdle(harness.io, 20ms);
    ASSERT_TRUE(*done);
    EXPECT_FALSE(**done);
    ASSERT_TRUE(roots);
    ASSERT_EQ(roots->size(), 1u);
    EXPECT_EQ((*roots)[0].uri, "file:///work");
}

TEST(ServerRequests, ClientErrorReachesTheCallerUnchanged) {
    ServerHarness harness;
    harness.start();
    std::optional<std::vector<Root>> roots;
    auto done = startInBackground(harness.io, harness.server->listRoots(), &roots);
    const std::string id = idOf(harness.receive().value());
    harness.send(R"({"jsonrpc":"2.0","id":")" + id +
                 R"(","error":{"code":-32601,"message":"Method not found"}})");
    runIdle(harness.io, 20ms);
    ASSERT_TRUE(*done && **done);
    try {
        std::rethrow_exception(**done);
    } catch (const MCPError& error) {
        EXPECT_EQ(error, MCPError::methodNotFound());
    }
}

TEST(ServerRequests, CancelledCallerWithdrawsTheRequestOnce) {
    ServerHarness harness;
    harness.start();
    asio::cancellation_signal cancel;
    std::optional<std::vector<Root>> roots;
    auto done = startInBackground(harness.io, harness.server->listRoots(), &roots, &cancel);
    const std::string id = idOf(harness.receive().value());
    cancel.emit(asio::cancellation_type::terminal);
    EXPECT_EQ(harness.receive(),
              R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":")" +
                  id + R"("}})");
    ASSERT_TRUE(*done && **done);
    EXPECT_EQ(runFor(harness.io, harness.server->load()).pendingRequests, 0u);
    // A late answer finds nothing to resume, and nothing more is sent.
    harness.send(R"({"jsonrpc":"2.0","id":")" + id + R"(","result":{"roots":[]}})");
    EXPECT_FALSE(harness.receive(200ms));
}

TEST(ServerRequests, CancelRequestFailsTheWaiterAndTellsTheClient) {
    ServerHarness harness;
    harness.start();
    std::optional<std::vector<Root>> roots;
    auto done = startInBackground(harness.io, harness.server->listRoots(), &roots);
    const std::string id = idOf(harness.receive().value());
    runFor(harness.io, harness.server->cancelRequest(ID(id)));
    EXPECT_EQ(harness.receive(),
              R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":")" +
                  id + R"("}})");
    runIdle(harness.io, 20ms);
    ASSERT_TRUE(*done && **done);
    try {
        std::rethrow_exception(**done);
    } catch (const MCPError& error) {
        EXPECT_EQ(std::string(error.what()), "Internal error: Request cancelled");
    }
}

TEST(ServerRequests, StopFailsEveryWaitingRequest) {
    ServerHarness harness;
    harness.start();
    std::optional<std::vector<Root>> first;
    std::optional<std::vector<Root>> second;
    auto firstDone = startInBackground(harness.io, harness.server->listRoots(), &first);
    auto secondDone = startInBackground(harness.io, harness.server->listRoots(), &second);
    const std::string firstId = idOf(harness.receive().value());
    const std::string secondId = idOf(harness.receive().value());
    EXPECT_NE(firstId, secondId);
    runFor(harness.io, harness.server->stop());
    runIdle(harness.io, 20ms);
    for (const auto& done : {firstDone, secondDone}) {
        ASSERT_TRUE(*done && **done);
        try {
            std::rethrow_exception(**done);
        } catch (const MCPError& error) {
            EXPECT_EQ(std::string(error.what()), "Internal error: Server disconnected");
        }
    }
    runFor(harness.io, harness.server->waitUntilCompleted());
}

TEST(ServerRequests, HandlerInsideABatchCanWaitForTheClient) {
    ServerHarness harness;
    harness.server->withMethodHandler<CallTool>(
        [server = std::weak_ptr<Server>(harness.server)](
            CallTool::Parameters) -> asio::awaitable<CallTool::Result> {
            auto roots = co_await server.lock()->listRoots();
            co_return CallTool::Result{
                .content = {ToolContent::text(std::to_string(roots.size()) + " roots")}};
        });
    harness.start();
    harness.send(R"([{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"roots"}}])");
    auto request = harness.receive();
    ASSERT_TRUE(request);
    harness.send(R"({"jsonrpc":"2.0","id":")" + idOf(*request) + R"(","result":{"roots":[]}})");
    EXPECT_EQ(
        harness.receive(),
        R"([{"id":1,"jsonrpc":"2.0","result":{"content":[{"text":"0 roots","type":"text"}]}}])");
}

TEST(ServerRequests, StrictModeChecksTheClientsCapabilities) {
    ServerHarness harness(Server::Configuration::strictMode());
    harness.start();
    auto failureOf = [&](asio::awaitable<std::vector<Root>> operation) -> std::string {
        try {
            runFor(harness.io, std::move(operation));
        } catch (const MCPError& error) {
            return error.what();
        }
        return "sent";
    };
    EXPECT_EQ(failureOf(harness.server->listRoots()),
              "Method not found: Client capabilities not initialized");
    harness.initialize(R"({"sampling":{}})");
    EXPECT_EQ(failureOf(harness.server->listRoots()),
              "Method not found: Roots is not supported by the client");
    try {
        runFor(harness.io, [](std::shared_ptr<Server> server) -> asio::awaitable<bool> {
            co_await server->createElicitation("Name?", Elicitation::RequestSchema{});
            co_return true;
        }(harness.server));
        FAIL() << "elicitation was sent";
    } catch (const MCPError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Method not found: Elicitation is not supported by the client");
    }
}

TEST(ServerRequests, LogWithoutALoggerNameSendsLevelAndDataOnly) {
    ServerHarness harness;
    harness.start();
    runFor(harness.io, harness.server->log(LogLevel::warning, std::nullopt, Value("a/b")));
    EXPECT_EQ(
        harness.receive(),
        R"({"jsonrpc":"2.0","method":"notifications/message","params":{"data":"a/b","level":"warning"}})");
}

// --- Logging --------------------------------------------------------------------------------

using RecordingHandler = mcp::testing::LogLineRecorder;

TEST(Server, LogsThroughTheTransportsLogger) {
    auto lines = std::make_shared<std::vector<std::string>>();
    ServerHarness harness({}, logging::Logger("test", RecordingHandler(lines)));
    harness.start();
    harness.send(
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":4}})");
    harness.send(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{}})");
    harness.exchange("nonsense");
    auto contains = [&](const std::string& text) {
        return std::find(lines->begin(), lines->end(), text) != lines->end();
    };
    EXPECT_TRUE(contains("debug Server started name=Frameweaver version=1.0.0"));
    EXPECT_TRUE(contains("debug Received cancellation notification reason=none requestId=4"));
    EXPECT_TRUE(
        contains("trace Cancellation notification for unknown or completed request requestId=4"));
    EXPECT_TRUE(contains(
        "warning Received cancellation notification with no requestId (violates spec MUST) "
        "reason=none"));
    EXPECT_TRUE(contains(
        "error Error processing message error=Parse error: Invalid JSON: Invalid message format"));
}

// --- Life cycle over a transport the test drives -------------------------------------------------

std::shared_ptr<Server> makeServer(asio::io_context& io) {
    return std::make_shared<Server>(io.get_executor(), "Frameweaver", "1.0.0");
}

asio::awaitable<bool> succeeded(asio::awaitable<void> operation) {
    co_await std::move(operation);
    co_return true;
}

std::string failureText(const std::optional<std::exception_ptr>& outcome) {
    if (!outcome) {
        return "still running";
    }
    if (!*outcome) {
        return "succeeded";
    }
    try {
        std::rethrow_exception(*outcome);
    } catch (const std::exception& error) {
        return error.what();
    }
}

// However the loop ends by itself, it says why, the server's requests to the client fail at once
// (those waiting and those made later), and the server can be started again.
TEST(ServerLifecycle, LoopEndingByItselfFailsRequestsToTheClientAndAllowsANewStart) {
    struct Case {
        const char* name;
        std::exception_ptr streamError;
        Server::LoopEnd end;
    };
    const Case cases[] = {
        {"end of input", nullptr, Server::LoopEnd::endOfInput},
        {"stream error", std::make_exception_ptr(MCPError::connectionClosed()),
         Server::LoopEnd::streamError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        asio::io_context io;
        auto server = makeServer(io);
        auto first = std::make_shared<ScriptedTransport>(io);
        runFor(io, server->start(first));
        std::optional<std::vector<Root>> roots;
        auto waiting = startInBackground(io, server->listRoots(), &roots);
        runUntil(io, [&] { return first->sent.size() == 1; });
        ASSERT_EQ(first->sent.size(), 1u);
        first->finish(c.streamError);
        EXPECT_EQ(runFor(io, server->waitUntilCompleted()), c.end);
        runUntil(io, [&] { return bool(*waiting); });
        EXPECT_EQ(failureText(*waiting), "Internal error: Server disconnected");
        auto late = startInBackground(io, server->listRoots(), &roots);
        runUntil(io, [&] { return bool(*late); });
        EXPECT_EQ(failureText(*late), "Internal error: Server disconnected");
        EXPECT_EQ(first->sent.size(), 1u);

        auto second = std::make_shared<ScriptedTransport>(io);
        runFor(io, server->start(second));
        second->push(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
        runUntil(io, [&] { return second->sent.size() == 1; });
        EXPECT_EQ(second->sent,
                  std::vector<std::string>{R"({"id":1,"jsonrpc":"2.0","result":{}})"});
        runFor(io, server->stop());
        EXPECT_EQ(runFor(io, server->waitUntilCompleted()), Server::LoopEnd::stopped);
    }
}

TEST(ServerLifecycle, StopWhileConnectingLeavesNoLoopRunning) {
    asio::io_context io;
    auto server = makeServer(io);
    auto transport = std::make_shared<ScriptedTransport>(io);
    transport->holdConnect = true;
    std::optional<bool> started;
    auto start = startInBackground(io, succeeded(server->start(transport)), &started);
    runIdle(io, 5ms);
    runFor(io, server->stop());
    transport->connectGate.open();
    runUntil(io, [&] { return bool(*start); });
    EXPECT_EQ(failureText(*start), "Internal error: Server stopped while starting");
    EXPECT_EQ(transport->receives, 0);
    EXPECT_EQ(runFor(io, server->waitUntilCompleted(), 100ms), Server::LoopEnd::stopped);
    // The server is not left half-started: it starts afresh.
    auto next = std::make_shared<ScriptedTransport>(io);
    runFor(io, server->start(next));
    runUntil(io, [&] { return next->receives == 1; });
    EXPECT_EQ(next->receives, 1);
    runFor(io, server->stop());
}

TEST(ServerLifecycle, CancellationHandlerIsRegisteredOnceAcrossStarts) {
    asio::io_context io;
    auto lines = std::make_shared<std::vector<std::string>>();
    const logging::Logger logger("test", RecordingHandler(lines));
    auto server = makeServer(io);
    auto first = std::make_shared<ScriptedTransport>(io, logger);
    runFor(io, server->start(first));
    first->finish();
    runFor(io, server->waitUntilCompleted());
    auto second = std::make_shared<ScriptedTransport>(io, logger);
    runFor(io, server->start(second));
    second->push(
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":4}})");
    runIdle(io, 20ms);
    EXPECT_EQ(std::count(lines->begin(), lines->end(),
                         "debug Received cancellation notification reason=none requestId=4"),
              1);
    runFor(io, server->stop());
}

// A request whose id is still waiting is refused; the first caller keeps its answer.
TEST(ServerRequests, SecondRequestUnderAPendingIdIsRefused) {
    ServerHarness harness;
    harness.start();
    std::optional<ListRoots::Result> first;
    std::optional<ListRoots::Result> second;
    auto firstDone = startInBackground(
        harness.io, harness.server->send(makeRequest<ListRoots>(ID("same"))), &first);
    ASSERT_TRUE(harness.receive());
    auto secondDone = startInBackground(
        harness.io, harness.server->send(makeRequest<ListRoots>(ID("same"))), &second);
    runUntil(harness.io, [&] { return bool(*secondDone); });
    EXPECT_EQ(failureText(*secondDone),
              "Internal error: A request with this ID is already pending");
    harness.send(R"({"jsonrpc":"2.0","id":"same","result":{"roots":[]}})");
    runUntil(harness.io, [&] { return bool(*firstDone); });
    EXPECT_EQ(failureText(*firstDone), "succeeded");
}

// The caller of a request to the client does not own its pending entry: when the entry goes with
// the server, the caller fails instead of waiting for ever.
TEST(ServerRequests, DroppedPendingRequestFailsItsCaller) {
    asio::io_context io;
    auto server = makeServer(io);
    auto transport = std::make_shared<ScriptedTransport>(io);
    transport->holdConnect = true;
    transport->connectFailure = std::make_exception_ptr(MCPError::connectionClosed());
    std::optional<bool> started;
    auto start = startInBackground(io, succeeded(server->start(transport)), &started);
    std::optional<std::vector<Root>> roots;
    auto waiting = startInBackground(io, server->listRoots(), &roots);
    runUntil(io, [&] { return transport->sent.size() == 1; });
    ASSERT_EQ(transport->sent.size(), 1u);
    transport->connectGate.open();
    runUntil(io, [&] { return bool(*start); });
    EXPECT_EQ(failureText(*start), "Connection closed");
    server.reset();
    runUntil(io, [&] { return bool(*waiting); });
    ASSERT_TRUE(*waiting && **waiting);
    EXPECT_THROW(std::rethrow_exception(**waiting), AbandonedResultError);
}

// A client that floods a busy server and reads nothing holds the server up (it reads no more
// while an answer cannot go out) instead of making it hold an answer for every request.
TEST(Server, RefusalsAtTheLimitWaitInTheLoopOneAtATime) {
    asio::io_context io;
    Server::Configuration configuration;
    configuration.maxConcurrentRequests = 1;
    auto server = std::make_shared<Server>(io.get_executor(), "Frameweaver", "1.0.0", std::nullopt,
                                           std::nullopt, Server::Capabilities{}, configuration);
    Gate handler(io);
    server->withMethodHandler<CallTool>(
        [&](CallTool::Parameters) -> asio::awaitable<CallTool::Result> {
            co_await handler.wait();
            co_return CallTool::Result{};
        });
    auto transport = std::make_shared<ScriptedTransport>(io);
    runFor(io, server->start(transport));
    transport->push(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"slow"}})");
    runIdle(io, 20ms);
    transport->holdSends = true;
    for (int id = 2; id <= 51; ++id) {
        transport->push(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})");
    }
    runUntil(io, [&] { return transport->sendsWaiting == 1; });
    runIdle(io, 20ms);
    EXPECT_EQ(transport->sendsWaiting, 1);
    transport->sendGate.open();
    runUntil(io, [&] { return transport->sent.size() == 50; });
    ASSERT_EQ(transport->sent.size(), 50u);
    for (int id = 2; id <= 51; ++id) {
        EXPECT_EQ(
            transport->sent[id - 2],
            R"({"error":{"code":-32603,"data":{"detail":"Too many requests in progress"},"message":"Internal error: Too many requests in progress"},"id":)" +
                std::to_string(id) + R"(,"jsonrpc":"2.0"})");
    }
    handler.open();
    runUntil(io, [&] { return transport->sent.size() == 51; });
    EXPECT_EQ(transport->sent.back(), R"({"id":1,"jsonrpc":"2.0","result":{"content":[]}})");
    runFor(io, server->stop());
}

// Over a transport that carries requests in HTTP requests: a handler that takes its context as an
// argument keeps it after moving to another executor, sees the HTTP request, and the transport
// hears of the requests that end without an answer, alone or inside a batch.
TEST(ServerHandlerContext, ArgumentFormAndHTTPRequestContext) {
    asio::io_context io;
    auto server = makeServer(io);
    asio::io_context elsewhere;
    auto elsewhereWork = asio::make_work_guard(elsewhere);
    std::thread other([&] { elsewhere.run(); });
    Gate gate(io);
    server->withMethodHandler<CallTool>(
        [&](CallTool::Parameters parameters,
            Server::HandlerContext context) -> asio::awaitable<CallTool::Result> {
            if (parameters.name == "wait") {
                co_await gate.wait();
            }
            // The work moves to an executor of its own, where currentHandlerContext() does not
            // reach; the argument goes along.
            // (Named first: g++ 12 mishandles a capturing temporary inside co_await.)
            auto work = [context]() -> asio::awaitable<std::string> {
                std::string text = context.id.description();
                if (context.httpContext) {
                    text += " " + context.httpContext->path.value_or("") + " " +
                            context.httpContext->header("mcp-session-id").value_or("");
                }
                if (Server::currentHandlerContext()) {
                    text += " bound";
                }
                co_return text;
            };
            std::string seen =
                co_await asio::co_spawn(elsewhere, std::move(work), asio::use_awaitable);
            co_return CallTool::Result{.content = {ToolContent::text(seen)}};
        });
    auto transport = std::make_shared<ScriptedTransport>(io);
    transport->suppliesHTTP = true;
    runFor(io, server->start(transport));
    transport->push(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"now"}})");
    runUntil(io, [&] { return transport->sent.size() == 1; });
    ASSERT_EQ(transport->sent.size(), 1u);
    EXPECT_EQ(
        transport->sent[0],
        R"({"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"3 /mcp/3 session-1","type":"text"}]}})");
    transport->push(R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"wait"}})");
    transport->push(R"([{"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"wait"}}])");
    runIdle(io, 20ms);
    for (int id : {4, 5}) {
        transport->push(
            R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":)" +
            std::to_string(id) + "}}");
    }
    runUntil(io, [&] { return transport->unanswered.size() == 2; });
    runIdle(io, 20ms);
    EXPECT_EQ(transport->unanswered, (std::vector<std::string>{"4", "5"}));
    EXPECT_EQ(transport->sent.size(), 1u);
    runFor(io, server->stop());
    elsewhereWork.reset();
    other.join();
}

}  // namespace
}  // namespace mcp
