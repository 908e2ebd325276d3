// What reaches the client from the server: its requests (sampling, elicitation, roots),
// notifications, batches of answers, and messages of no known form.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/use_future.hpp>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MCP/Client/Client.h"
#include "MCP/JSON/JsonWriter.h"
#include "tests/MCP/ClientTestSupport.h"
#include "tests/MCP/LogLineRecorder.h"

namespace mcp {
namespace {

using namespace mcp::testing;
using namespace std::chrono_literals;

CreateSamplingMessage::Parameters samplingParameters() {
    return decodeValue<CreateSamplingMessage::Parameters>(parseJson(
        R"({"messages":[{"role":"user","content":{"type":"text","text":"Hi"}}],"maxTokens":5})"));
}

CreateSamplingMessage::Result samplingResult(const std::string& model) {
    return decodeValue<CreateSamplingMessage::Result>(
        parseJson(R"({"model":")" + model +
                  R"(","role":"assistant","content":{"type":"text","text":"Hello"}})"));
}

// --- Requests of the server ---------------------------------------------------------------------

TEST(ClientInbound, ServerRequestWithoutAHandlerIsAnsweredMethodNotFound) {
    ClientHarness harness;
    harness.connect();
    EXPECT_EQ(harness.outcome(harness.server->listRoots()),
              "Method not found: Unknown method: roots/list");
}

TEST(ClientInbound, RootsHandlerThatCallsTheServerBackIsAnswered) {
    ClientHarness harness;
    harness.connect();
    // Not owned by its own handler.
    Client* client = harness.client.get();
    client->withRootsHandler([client]() -> asio::awaitable<std::vector<Root>> {
        // Needs the loop to read the server's answer while this handler waits.
        Object arguments;
        arguments.insertOrAssign("text", Value("file:///r"));
        auto called = co_await client->callTool("echo", std::move(arguments));
        std::vector<Root> roots;
        roots.push_back(Root{.uri = called.first.at(0).get<ToolContent::Text>()->text});
        co_return roots;
    });
    std::vector<Root> roots = harness.run(harness.server->listRoots());
    ASSERT_EQ(roots.size(), 1u);
    EXPECT_EQ(roots[0].uri, "file:///r");
}

TEST(ClientInbound, HandlerErrorsBecomeTheAnswersError) {
    ClientHarness harness;
    harness.connect();
    auto& client = *harness.client;
    client.withSamplingHandler(
        [](CreateSamplingMessage::Parameters) -> asio::awaitable<CreateSamplingMessage::Result> {
            throw MCPError::invalidParams("bad");
            co_return CreateSamplingMessage::Result{};
        });
    EXPECT_EQ(harness.outcome(harness.server->createSamplingMessage(samplingParameters())),
              "Invalid params: bad");
    client.withSamplingHandler(
        [](CreateSamplingMessage::Parameters) -> asio::awaitable<CreateSamplingMessage::Result> {
            throw std::runtime_error("boom");
            co_return CreateSamplingMessage::Result{};
        });
    EXPECT_EQ(harness.outcome(harness.server->createSamplingMessage(samplingParameters())),
              "Internal error: boom");
    // Only the last registration answers.
    client.withSamplingHandler(
        [](CreateSamplingMessage::Parameters) -> asio::awaitable<CreateSamplingMessage::Result> {
            co_return samplingResult("second");
        });
    EXPECT_EQ(harness.run(harness.server->createSamplingMessage(samplingParameters())).model,
              "second");
}

TEST(ClientInbound, ElicitationHandlerAnswersAndParametersThatDoNotFitAreAnInternalError) {
    ScriptedClient scripted;
    ASSERT_EQ(scripted.connect(), "ok");
    scripted.client->withElicitationHandler(
        [](CreateElicitation::Parameters) -> asio::awaitable<CreateElicitation::Result> {
            co_return CreateElicitation::Result{.action =
                                                    CreateElicitation::Result::Action::decline};
        });
    scripted.transport->push(
        R"({"jsonrpc":"2.0","id":"s1","method":"elicitation/create","params":{"message":"Name?","requestedSchema":{"type":"object","properties":{}}}})");
    scripted.transport->push(
        R"({"jsonrpc":"2.0","id":2,"method":"elicitation/create","params":{"mode":"bogus"}})");
    runUntil(scripted.io, [&] { return scripted.transport->sent.size() == 4; });
    ASSERT_EQ(scripted.transport->sent.size(), 4u);
    EXPECT_EQ(scripted.transport->sent[2],
              R"({"id":"s1","jsonrpc":"2.0","result":{"action":"decline"}})");
    EXPECT_NE(scripted.transport->sent[3].find(R"("code":-32603)"), std::string::npos)
        << scripted.transport->sent[3];
    EXPECT_NE(scripted.transport->sent[3].find(R"("id":2)"), std::string::npos);
}

TEST(ClientInbound, ServerRequestsBeyondTheLimitAreRefused) {
    ScriptedClient scripted({.maxConcurrentRequests = 1});
    ASSERT_EQ(scripted.connect(), "ok");
    Gate gate(scripted.io);
    scripted.client->withRootsHandler([&]() -> asio::awaitable<std::vector<Root>> {
        co_await gate.wait();
        co_return std::vector<Root>{};
    });
    scripted.transport->push(R"({"jsonrpc":"2.0","id":1,"method":"roots/list"})");
    scripted.transport->push(R"({"jsonrpc":"2.0","id":2,"method":"roots/list"})");
    runUntil(scripted.io, [&] { return scripted.transport->sent.size() == 3; });
    ASSERT_EQ(scripted.transport->sent.size(), 3u);
    EXPECT_EQ(
        scripted.transport->sent[2],
        R"({"error":{"code":-32603,"data":{"detail":"Too many requests in progress"},"message":"Internal error: Too many requests in progress"},"id":2,"jsonrpc":"2.0"})");
    gate.open();
    runUntil(scripted.io, [&] { return scripted.transport->sent.size() == 4; });
    EXPECT_EQ(scripted.transport->sent.back(), R"({"id":1,"jsonrpc":"2.0","result":{"roots":[]}})");
}

// --- Notifications ------------------------------------------------------------------------------

TEST(ClientInbound, NotificationHandlersRunInOrderAndOneFailureStopsNoOther) {
    ClientHarness harness;
    harness.connect();
    std::vector<std::string> calls;
    harness.client->onNotification<LogMessageNotification>(
        [&](Message<LogMessageNotification>) -> asio::awaitable<void> {
            calls.push_back("first");
            throw std::runtime_error("first failed");
            co_return;
        });
    harness.client->onNotification<LogMessageNotification>(
        [&](Message<LogMessageNotification> message) -> asio::awaitable<void> {
            calls.push_back("second " + toJson(message.params.data));
            co_return;
        });
    harness.run(harness.server->log(LogLevel::info, std::nullopt, Value("note")));
    runUntil(harness.io, [&] { return calls.size() == 2; });
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second \"note\""}));
}

TEST(ClientInbound, NotificationHandlerThatAsksTheServerIsAnsweredAndOrderHolds) {
    ClientHarness harness;
    harness.connect();
    Client* client = harness.client.get();
    std::vector<std::string> seen;
    client->onNotification<ToolListChangedNotification>(
        [&, client](Message<ToolListChangedNotification>) -> asio::awaitable<void> {
            // The answer comes through the receive loop, which must not wait for this handler.
            auto [tools, next] = co_await client->listTools();
            seen.push_back("tools " + std::to_string(tools.size()));
        });
    client->onNotification<LogMessageNotification>(
        [&](Message<LogMessageNotification> message) -> asio::awaitable<void> {
            seen.push_back("log " + toJson(message.params.data));
            co_return;
        });
    harness.run(harness.server->notify(makeMessage<ToolListChangedNotification>()));
    harness.run(harness.server->log(LogLevel::info, std::nullopt, Value("after")));
    runUntil(harness.io, [&] { return seen.size() == 2; });
    // The second notification waited for the first one's handler.
    EXPECT_EQ(seen, (std::vector<std::string>{"tools 1", "log \"after\""}));
}

TEST(ClientInbound, NotificationsBeyondTheQueueAreDroppedWhileTheLoopGoesOnReading) {
    auto lines = std::make_shared<std::vector<std::string>>();
    ScriptedClient scripted({},
                            logging::Logger("test", LogLineRecorder(lines, logging::Level::debug)));
    ASSERT_EQ(scripted.connect(), "ok");
    Gate gate(scripted.io);
    std::size_t handled = 0;
    scripted.client->onNotification<LogMessageNotification>(
        [&](Message<LogMessageNotification>) -> asio::awaitable<void> {
            co_await gate.wait();
            ++handled;
        });
    const std::string note =
        R"({"jsonrpc":"2.0","method":"notifications/message","params":{"level":"info","data":1}})";
    // One runs and waits at the gate; a full queue waits behind it; two more find it full.
    scripted.transport->push(note);
    scripted.settle();
    for (std::size_t index = 0; index < Client::kMaxQueuedNotifications + 2; ++index) {
        scripted.transport->push(note);
    }
    auto pinged = asio::co_spawn(scripted.io, outcomeOf(scripted.client->ping()), asio::use_future);
    runUntil(
        scripted.io, [&] { return scripted.transport->sent.size() == 3; }, 30s);
    ASSERT_EQ(scripted.transport->sent.size(), 3u);
    scripted.answer(2, "{}");
    runUntil(scripted.io,
             [&] { return pinged.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    EXPECT_EQ(pinged.get(), "ok");
    gate.open();
    runUntil(
        scripted.io, [&] { return handled == Client::kMaxQueuedNotifications + 1; }, 30s);
    scripted.settle();
    EXPECT_EQ(handled, Client::kMaxQueuedNotifications + 1);
    EXPECT_EQ(std::count(lines->begin(), lines->end(),
                         "warning Notification dropped: too many notifications wait for their "
                         "handlers method=notifications/message"),
              2);
}

TEST(ClientInbound, RootsChangedIsSentWithoutARootsCapability) {
    ClientHarness harness;
    harness.connect();
    int received = 0;
    harness.server->onNotification<RootsListChangedNotification>(
        [&](Message<RootsListChangedNotification>) -> asio::awaitable<void> {
            ++received;
            co_return;
        });
    harness.run(harness.client->notifyRootsChanged());
    runUntil(harness.io, [&] { return received == 1; });
    EXPECT_EQ(received, 1);
}

// --- Batches ------------------------------------------------------------------------------------

class ClientBatches : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(scripted.connect(), "ok"); }

    // Adds "tools/list" requests with the ids given (numbers) in one batch.
    std::vector<AsyncResult<ListTools::Result>> batchOf(std::vector<int> ids) {
        std::vector<AsyncResult<ListTools::Result>> results;
        scripted.run(scripted.client->withBatch([&](Client::Batch& batch) -> asio::awaitable<void> {
            for (int id : ids) {
                results.push_back(co_await batch.addRequest(makeRequest<ListTools>(ID(id), {})));
            }
        }));
        return results;
    }

    std::string outcome(const AsyncResult<ListTools::Result>& result) {
        return scripted.run(
            [](AsyncResult<ListTools::Result> result) -> asio::awaitable<std::string> {
                try {
                    ListTools::Result value = co_await result.value();
                    co_return "tools " + std::to_string(value.tools.size());
                } catch (const std::exception& error) {
                    co_return error.what();
                }
            }(result));
    }

    static std::string answer(int id, int tools) {
        std::string list;
        for (int i = 0; i < tools; ++i) {
            list += (i ? "," : "") + std::string(R"({"name":"t","inputSchema":{"type":"object"}})");
        }
        return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":{"tools":[)" + list +
               "]}}";
    }

    ScriptedClient scripted;
};

TEST_F(ClientBatches, GoOutAsOneArrayAndTakeAnAnswerArrayInAnyOrder) {
    auto results = batchOf({1, 2});
    ASSERT_EQ(scripted.transport->sent.size(), 3u);
    EXPECT_EQ(
        scripted.transport->sent[2],
        R"([{"id":1,"jsonrpc":"2.0","method":"tools/list","params":{}},{"id":2,"jsonrpc":"2.0","method":"tools/list","params":{}}])");
    scripted.transport->push("[" + answer(2, 2) + "," + answer(1, 1) + "]");
    EXPECT_EQ(outcome(results[0]), "tools 1");
    EXPECT_EQ(outcome(results[1]), "tools 2");
}

TEST_F(ClientBatches, TakeSeparateAnswersAndAnErrorFailsOnlyItsMember) {
    auto results = batchOf({1, 2, 3});
    scripted.transport->push(answer(3, 3));
    scripted.transport->push(
        R"([{"jsonrpc":"2.0","id":2,"error":{"code":-32601,"message":"Method not found"}},)" +
        answer(1, 1) + "]");
    EXPECT_EQ(outcome(results[0]), "tools 1");
    EXPECT_EQ(outcome(results[1]), "Method not found");
    EXPECT_EQ(outcome(results[2]), "tools 3");
}

TEST_F(ClientBatches, EmptyBatchSendsNothing) {
    EXPECT_TRUE(batchOf({}).empty());
    EXPECT_EQ(scripted.transport->sent.size(), 2u);
}

TEST_F(ClientBatches, RequestAddedAfterTheBatchWentOutIsRefused) {
    Gate gate(scripted.io);
    std::optional<std::string> late;
    scripted.run(scripted.client->withBatch([&](Client::Batch& batch) -> asio::awaitable<void> {
        co_await batch.addRequest(makeRequest<ListTools>(ID(1), {}));
        // A task that outlives the body, with its own copy of the batch.
        asio::co_spawn(
            scripted.io,
            [&gate, batch]() mutable -> asio::awaitable<std::string> {
                co_await gate.wait();
                co_return co_await outcomeOf(batch.addRequest(makeRequest<ListTools>(ID(2), {})));
            },
            [&](std::exception_ptr, std::string text) { late = std::move(text); });
    }));
    gate.open();
    runUntil(scripted.io, [&] { return late.has_value(); });
    EXPECT_EQ(late.value_or("<not done>"), "Internal error: The batch was already sent");
    ASSERT_EQ(scripted.transport->sent.size(), 3u);
    EXPECT_EQ(scripted.transport->sent[2],
              R"([{"id":1,"jsonrpc":"2.0","method":"tools/list","params":{}}])");
    EXPECT_EQ(scripted.run(scripted.client->pendingRequestCount()), 1u);
}

TEST_F(ClientBatches, FailedBodyOrSendFailsEveryMemberInsteadOfLeavingItWaiting) {
    std::vector<AsyncResult<ListTools::Result>> added;
    EXPECT_EQ(scripted.outcome(
                  scripted.client->withBatch([&](Client::Batch& batch) -> asio::awaitable<void> {
                      added.push_back(co_await batch.addRequest(makeRequest<ListTools>(ID(1), {})));
                      throw std::runtime_error("body gave up");
                  })),
              "body gave up");
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(outcome(added[0]), "body gave up");
    EXPECT_EQ(scripted.transport->sent.size(), 2u);

    scripted.transport->sendFailure = std::make_exception_ptr(MCPError::connectionClosed());
    added.clear();
    EXPECT_EQ(scripted.outcome(
                  scripted.client->withBatch([&](Client::Batch& batch) -> asio::awaitable<void> {
                      added.push_back(co_await batch.addRequest(makeRequest<ListTools>(ID(1), {})));
                      added.push_back(co_await batch.addRequest(makeRequest<ListTools>(ID(2), {})));
                  })),
              "Connection closed");
    EXPECT_EQ(outcome(added[0]), "Connection closed");
    EXPECT_EQ(outcome(added[1]), "Connection closed");
    EXPECT_EQ(scripted.run(scripted.client->pendingRequestCount()), 0u);
}

TEST_F(ClientBatches, MemberWithAnIdAlreadyPendingIsRefusedAndTheRestGoOut) {
    auto waiting = scripted.run(scripted.client->send(makeRequest<Ping>(ID(1))));
    std::string refusal;
    std::vector<AsyncResult<ListTools::Result>> added;
    scripted.run(scripted.client->withBatch([&](Client::Batch& batch) -> asio::awaitable<void> {
        refusal = co_await outcomeOf(batch.addRequest(makeRequest<ListTools>(ID(1), {})));
        added.push_back(co_await batch.addRequest(makeRequest<ListTools>(ID(2), {})));
    }));
    EXPECT_EQ(refusal, "Internal error: A request with this ID is already pending");
    EXPECT_EQ(scripted.transport->sent.back(),
              R"([{"id":2,"jsonrpc":"2.0","method":"tools/list","params":{}}])");
}

TEST(ClientBatchesAgainstServer, OurServerAnswersABatch) {
    ClientHarness harness;
    harness.connect();
    std::vector<AsyncResult<CallTool::Result>> results;
    harness.run(harness.client->withBatch([&](Client::Batch& batch) -> asio::awaitable<void> {
        for (std::string text : std::vector<std::string>{"one", "two"}) {
            Object arguments;
            arguments.insertOrAssign("text", Value(text));
            CallTool::Parameters parameters{.name = "echo", .arguments = std::move(arguments)};
            results.push_back(
                co_await batch.addRequest(makeRequest<CallTool>(ID(text), std::move(parameters))));
        }
    }));
    EXPECT_EQ(harness.run(results[0].value()).content.at(0).get<ToolContent::Text>()->text, "one");
    EXPECT_EQ(harness.run(results[1].value()).content.at(0).get<ToolContent::Text>()->text, "two");
}

// --- Answers to typed requests ------------------------------------------------------------------

// An answer to the tool call sent under id 7, and what its caller gets; "waits" when the answer
// is not taken as this request's.
struct AnswerCase {
    std::string answer;
    std::string outcome;
};

TEST(ClientInbound, AnswersReachTheirCallerByTheRulesOfResponses) {
    const AnswerCase cases[] = {
        {R"({"jsonrpc":"2.0","id":7,"result":{"content":[{"type":"text","text":"hi"}]}})", "hi"},
        // The last "id" and "result" count, whatever comes beside them.
        {R"({"id":"x","result":{},"jsonrpc":"2.0","id":7,"method":"m","result":{"content":[]}})",
         "0 blocks"},
        {R"({"jsonrpc":"2.0","id":7,"id":"x","result":{"content":[]}})", "waits"},
        // An id written as an integral number is that integer.
        {R"({"jsonrpc":"2.0","id":7.0,"result":{"content":[]}})", "0 blocks"},
        // A result goes before an error; an error alone is the caller's error.
        {R"({"jsonrpc":"2.0","id":7,"error":{"code":1,"message":"no"},"result":{"content":[]}})",
         "0 blocks"},
        {R"({"jsonrpc":"2.0","id":7,"error":{"code":-32601,"message":"Method not found"}})",
         "Method not found"},
        // An id with an error is an answer to the client, a method beside it notwithstanding.
        {R"({"jsonrpc":"2.0","id":7,"method":"tools/call","error":{"code":-32601,"message":"Method not found"}})",
         "Method not found"},
        {R"({"jsonrpc":"2.0","id":7,"result":{"content":{}}})",
         "The response's result does not have the type the request expects."},
        {R"({"jsonrpc":"2.0","id":7,"result":{"content":[{"type":"text","text":"data:,hi"}]}})",
         "data:,hi"},
        // Not a response at all.
        {R"({"jsonrpc":"1.0","id":7,"result":{"content":[]}})", "waits"},
        {R"({"id":7,"result":{"content":[]}})", "waits"},
        {R"({"jsonrpc":"2.0","id":[7],"result":{"content":[]}})", "waits"},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.answer);
        ScriptedClient scripted;
        ASSERT_EQ(scripted.connect(), "ok");
        Client& client = *scripted.client;
        auto context = scripted.run(
            client.send(makeRequest<CallTool>(ID(7), CallTool::Parameters{.name = "echo"})));
        std::optional<std::string> outcome;
        asio::co_spawn(
            scripted.io,
            [&]() -> asio::awaitable<void> {
                try {
                    CallTool::Result result = co_await context.value();
                    const auto* text = result.content.empty()
                                           ? nullptr
                                           : result.content[0].get<ToolContent::Text>();
                    outcome = text ? text->text : std::to_string(result.content.size()) + " blocks";
                } catch (const std::exception& error) {
                    outcome = error.what();
                }
            },
            asio::detached);
        scripted.transport->push(c.answer);
        scripted.settle();
        EXPECT_EQ(outcome.value_or("waits"), c.outcome);
        EXPECT_EQ(scripted.run(client.pendingRequestCount()), outcome ? 0u : 1u);
        // A caller still waiting ends here, while what it refers to is still there.
        scripted.run(client.disconnect());
        scripted.settle();
        EXPECT_TRUE(outcome);
    }
}

TEST(ClientInbound, AnswerArrayWithAnUndecodableMemberAnswersEveryOtherMember) {
    auto lines = std::make_shared<std::vector<std::string>>();
    ScriptedClient scripted({},
                            logging::Logger("test", LogLineRecorder(lines, logging::Level::debug)));
    ASSERT_EQ(scripted.connect(), "ok");
    auto first = scripted.run(scripted.client->send(makeRequest<Ping>(ID(1))));
    auto second = scripted.run(scripted.client->send(makeRequest<Ping>(ID(2))));
    scripted.transport->push(R"([{"jsonrpc":"2.0","id":1,"result":{}},{"jsonrpc":"1.0","id":9},)"
                             R"({"jsonrpc":"2.0","id":2,"error":{"code":-32600,"message":"No"}}])");
    EXPECT_EQ(scripted.outcome(first.value()), "ok");
    EXPECT_EQ(scripted.outcome(second.value()), "Invalid Request: No");
    EXPECT_NE(std::find(lines->begin(), lines->end(),
                        "warning Dropped a member of a batch answer that is not a response "
                        R"(message={"id":9,"jsonrpc":"1.0"})"),
              lines->end());
}

// --- Messages of no known form, and the log lines -----------------------------------------------

TEST(ClientInbound, UnexpectedMessagesAndStrayAnswersAreLoggedAndDropped) {
    auto lines = std::make_shared<std::vector<std::string>>();
    ScriptedClient scripted({},
                            logging::Logger("test", LogLineRecorder(lines, logging::Level::debug)));
    ASSERT_EQ(scripted.connect(), "ok");
    scripted.transport->push("[1,2]");
    scripted.transport->push("\xff\xfe");
    scripted.transport->push(R"({"jsonrpc":"2.0","id":"nobody","result":{}})");
    scripted.transport->push(R"([{"jsonrpc":"2.0","id":"none","result":{}}])");
    scripted.transport->push(
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":5}})");
    auto contains = [&](const std::string& line) {
        return std::find(lines->begin(), lines->end(), line) != lines->end();
    };
    // The messages are handled in arrival order: the last one's line comes last.
    runUntil(scripted.io, [&] {
        return contains("debug Received cancellation notification reason=none requestId=5");
    });
    EXPECT_TRUE(contains("debug Client connected name=scripted version=1.0"));
    EXPECT_TRUE(
        contains("warning Unexpected message received by client (not single/batch response or "
                 "notification) message=[1,2]"));
    EXPECT_TRUE(
        contains("warning Unexpected message received by client (not single/batch response or "
                 "notification)"));
    EXPECT_TRUE(
        contains("warning Attempted to handle response for already removed request id=nobody"));
    EXPECT_TRUE(contains(
        "warning Received response in batch for unknown or already handled request ID id=none"));
    EXPECT_TRUE(contains("debug Received cancellation notification reason=none requestId=5"));
    scripted.run(scripted.client->disconnect());
    EXPECT_TRUE(contains("debug Client disconnect complete."));
}

}  // namespace
}  // namespace mcp
