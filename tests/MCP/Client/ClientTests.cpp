// The client against our own server over the in-memory pair, and against a transport the test
// drives by hand where the server's side of a race must be placed exactly.
#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "MCP/Client/Client.h"
#include "MCP/JSON/JsonWriter.h"
#include "tests/MCP/ClientTestSupport.h"

namespace mcp {
namespace {

using namespace mcp::testing;
using namespace std::chrono_literals;

std::string firstText(const std::vector<ToolContent>& content) {
    if (content.empty() || !content[0].get<ToolContent::Text>()) {
        return "<no text>";
    }
    return content[0].get<ToolContent::Text>()->text;
}

// --- Value types --------------------------------------------------------------------------------

TEST(ClientConfiguration, CodesOnlyStrictAndRequiresIt) {
    Client::Configuration configuration{
        .strict = true, .maxConcurrentRequests = 3, .requestTimeout = std::chrono::milliseconds(5)};
    EXPECT_EQ(toJson(encodeValue(configuration)), R"({"strict":true})");
    EXPECT_FALSE(decodeValue<Client::Configuration>(parseJson(R"({"strict":false})")).strict);
    EXPECT_THROW(decodeValue<Client::Configuration>(parseJson("{}")), DecodingError);
    EXPECT_EQ(toJson(encodeValue(Client::Info{.name = "a", .version = "1"})),
              R"({"name":"a","version":"1"})");
}

TEST(ClientConfiguration, EqualityAndHashTakeEveryMember) {
    const Client::Configuration base{
        .strict = true, .maxConcurrentRequests = 3, .requestTimeout = std::chrono::milliseconds(5)};
    const std::hash<Client::Configuration> hash;
    EXPECT_EQ(base, base);
    EXPECT_EQ(hash(base), hash(Client::Configuration(base)));
    for (const Client::Configuration& other :
         {Client::Configuration{.strict = false,
         .maxConcurrentRequests = 3,
         .requestTimeout = std::chrono::milliseconds(5)},
          Client::Configuration{.strict = true,
          .maxConcurrentRequests = 4,
          .requestTimeout = std::chrono::milliseconds(5)},
          Client::Configuration{.strict = true,
          .maxConcurrentRequests = 3,
          .requestTimeout = std::chrono::milliseconds(6)},
          Client::Configuration{
              .strict = true, .maxConcurrentRequests = 3, .requestTimeout = std::nullopt}}) {
        EXPECT_FALSE(base == other);
        EXPECT_NE(hash(base), hash(other));
    }
}

// --- Handshake ----------------------------------------------------------------------------------

TEST(Client, ConnectRunsTheHandshakeAndStoresTheServersAnswer) {
    ClientHarness harness;
    Initialize::Result result = harness.connect();
    EXPECT_EQ(result.serverInfo.name, "full");
    EXPECT_EQ(result.protocolVersion, Version::latest());
    Client::ServerState state = harness.run(harness.client->serverState());
    ASSERT_TRUE(state.capabilities);
    EXPECT_TRUE(state.capabilities->tools);
    EXPECT_EQ(state.protocolVersion, Version::latest());
    EXPECT_EQ(state.instructions, "Be kind.");
    Server::ClientState client = harness.run(harness.server->clientState());
    EXPECT_TRUE(client.isInitialized);
    EXPECT_EQ(client.clientInfo->name, "test-client");
    EXPECT_TRUE(harness.run(harness.client->isConnected()));
}

TEST(Client, HandshakeAcceptsEverySupportedVersionAndRefusesOthers) {
    for (const std::string& version : Version::supported()) {
        ScriptedClient scripted;
        EXPECT_EQ(scripted.connect("{}", version), "ok") << version;
        // "notifications/initialized" follows the answer.
        ASSERT_EQ(scripted.transport->sent.size(), 2u);
        EXPECT_EQ(scripted.transport->sent[1],
                  R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    }
    ScriptedClient scripted;
    EXPECT_EQ(scripted.connect("{}", "1999-01-01"),
              "Internal error: The server answered with protocol version \"1999-01-01\", which "
              "this client does not support.");
    EXPECT_EQ(scripted.transport->sent.size(), 1u);
    EXPECT_FALSE(scripted.run(scripted.client->serverState()).capabilities);
}

TEST(Client, SecondConnectWhileConnectedFailsAndLeavesTheConnectionAlone) {
    ClientHarness harness;
    harness.connect();
    auto [other, otherServer] = InMemoryTransport::createConnectedPair();
    EXPECT_EQ(harness.outcome(harness.client->connect(other)),
              "Internal error: Client is already connected");
    harness.run(harness.client->ping());
}

// --- Typed operations ---------------------------------------------------------------------------

TEST(Client, EveryTypedOperationSendsItsRequestAndGivesItsResult) {
    ClientHarness harness;
    harness.connect();
    auto& client = *harness.client;
    harness.run(client.ping());

    auto [tools, next] = harness.run(client.listTools());
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0].name, "echo");
    EXPECT_EQ(next, "2");
    EXPECT_FALSE(harness.run(client.listTools("2")).second);

    auto [content, isError] =
        harness.run(client.callTool("echo", Object::fromEntries({{"text", Value("hi")}})));
    EXPECT_EQ(firstText(content), "hi");
    EXPECT_FALSE(isError);
    // The waiting form drops what the content form does not name; the context keeps all.
    EXPECT_EQ(harness.run(client.callTool("structured")).second, false);
    RequestContext<CallTool::Result> context = harness.run(client.sendToolCall("structured"));
    EXPECT_EQ(context.requestID.stringValue()->size(), 36u);
    CallTool::Result whole = harness.run(context.value());
    EXPECT_EQ(toJson(*whole.structuredContent), R"({"n":1})");

    auto [prompts, promptCursor] = harness.run(client.listPrompts());
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0].name, "greeting");
    auto [description, messages] = harness.run(
        client.getPrompt("greeting", std::map<std::string, std::string>{{"who", "Ann"}}));
    EXPECT_EQ(description, "A greeting.");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].content.get<TextContent>()->text, "Hello, Ann");

    EXPECT_EQ(harness.run(client.listResources()).first.at(0).uri, "file:///a.txt");
    EXPECT_EQ(harness.run(client.readResource("file:///a.txt")).at(0).text,
              "contents of file:///a.txt");
    EXPECT_EQ(harness.run(client.listResourceTemplates()).first.at(0).uriTemplate,
              "file:///{name}");
    harness.run(client.subscribeToResource("file:///a.txt"));
    EXPECT_EQ(harness.outcome(client.subscribeToResource("file:///b.txt")),
              "Invalid params: No such resource");
    harness.run(client.setLoggingLevel(LogLevel::warning));

    auto prompt =
        harness.run(client.complete(PromptReference{.name = "greeting", .title = "T"}, "who", "A"));
    EXPECT_EQ(prompt.values, (std::vector<std::string>{"prompt:greeting", "who=A"}));
    EXPECT_EQ(prompt.total, 0);
    auto resource = harness.run(client.complete(ResourceReference{.uri = "file:///{name}"}, "name",
                                                "b", std::map<std::string, std::string>{}));
    EXPECT_EQ(resource.values, (std::vector<std::string>{"resource:file:///{name}", "name=b"}));
    EXPECT_EQ(resource.total, 1);
}

TEST(Client, CompletionRequestsCarryTheirReferenceAndNoAbsentContext) {
    ScriptedClient scripted;
    ASSERT_EQ(scripted.connect(), "ok");
    auto& client = *scripted.client;
    asio::co_spawn(
        scripted.io,
        outcomeOf(client.complete(PromptReference{.name = "p", .title = "dropped"}, "a", "v")),
        asio::detached);
    asio::co_spawn(scripted.io,
                   outcomeOf(client.complete(ResourceReference{.uri = "u"}, "a", "v",
                                             std::map<std::string, std::string>{{"k", "x"}})),
                   asio::detached);
    scripted.settle();
    ASSERT_EQ(scripted.transport->sent.size(), 4u);
    auto params = [&](std::size_t index) {
        return toJson(*parseJson(scripted.transport->sent[index]).find("params"));
    };
    EXPECT_EQ(params(2),
              R"({"argument":{"name":"a","value":"v"},"ref":{"name":"p","type":"ref/prompt"}})");
    EXPECT_EQ(
        params(3),
        R"({"argument":{"name":"a","value":"v"},"context":{"arguments":{"k":"x"}},"ref":{"type":"ref/resource","uri":"u"}})");
}

// Strict mode: each operation against what the server announced, as one table.
TEST(Client, StrictModeRefusesWhatTheServerDidNotAnnounce) {
    using Operation = std::function<asio::awaitable<std::string>(Client&)>;
    auto op = [](auto call) -> Operation {
        return [call](Client& client) { return outcomeOf(call(client)); };
    };
    struct Case {
        const char* name;
        Operation operation;
        std::string withToolsOnly;
        std::string withResourcesOnly;
    };
    const std::string ok = "ok";
    auto missing = [](const char* feature) {
        return std::string("Method not found: ") + feature + " is not supported by the server";
    };
    std::vector<Case> cases = {
        {"ping", op([](Client& c) { return c.ping(); }), ok, ok},
        {"listTools", op([](Client& c) { return c.listTools(); }), ok, missing("Tools")},
        {"callTool", op([](Client& c) { return c.callTool("echo"); }), ok, missing("Tools")},
        {"sendToolCall", op([](Client& c) { return c.sendToolCall("echo"); }), ok,
         missing("Tools")},
        {"listPrompts", op([](Client& c) { return c.listPrompts(); }), missing("Prompts"),
         missing("Prompts")},
        {"getPrompt", op([](Client& c) { return c.getPrompt("greeting"); }), missing("Prompts"),
         missing("Prompts")},
        {"readResource", op([](Client& c) { return c.readResource("file:///a.txt"); }),
         missing("Resources"), ok},
        {"listResources", op([](Client& c) { return c.listResources(); }), missing("Resources"),
         ok},
        {"listResourceTemplates", op([](Client& c) { return c.listResourceTemplates(); }),
         missing("Resources"), ok},
        {"subscribeToResource",
         op([](Client& c) { return c.subscribeToResource("file:///a.txt"); }),
         missing("Resource subscription"), missing("Resource subscription")},
        {"setLoggingLevel", op([](Client& c) { return c.setLoggingLevel(LogLevel::info); }),
         missing("Logging"), missing("Logging")},
        {"complete prompt",
         op([](Client& c) { return c.complete(PromptReference{.name = "greeting"}, "a", "b"); }),
         missing("Completions"), missing("Completions")},
        {"complete resource",
         op([](Client& c) { return c.complete(ResourceReference{.uri = "u"}, "a", "b"); }),
         missing("Completions"), missing("Completions")},
    };

    Server::Capabilities toolsOnly;
    toolsOnly.tools = Server::Capabilities::Tools{};
    Server::Capabilities resourcesOnly;
    resourcesOnly.resources = Server::Capabilities::Resources{};
    ClientHarness tools(Client::Configuration::strictMode(), toolsOnly);
    tools.connect();
    ClientHarness resources(Client::Configuration::strictMode(), resourcesOnly);
    resources.connect();
    ClientHarness unconnected(Client::Configuration::strictMode());
    for (const Case& c : cases) {
        EXPECT_EQ(tools.run(c.operation(*tools.client)), c.withToolsOnly) << c.name;
        EXPECT_EQ(resources.run(c.operation(*resources.client)), c.withResourcesOnly) << c.name;
        // Before any handshake only the requests without a check get as far as the connection.
        EXPECT_EQ(unconnected.run(c.operation(*unconnected.client)),
                  c.withToolsOnly == ok && std::string(c.name) == "ping"
                      ? "Internal error: Client connection not initialized"
                      : "Method not found: Server capabilities not initialized")
            << c.name;
    }
    // A present subscribe flag passes whatever its value; non-strict sends everything.
    Server::Capabilities subscribeFalse;
    subscribeFalse.resources =
        Server::Capabilities::Resources{.subscribe = false, .listChanged = {}};
    ClientHarness flagged(Client::Configuration::strictMode(), subscribeFalse);
    flagged.connect();
    EXPECT_EQ(flagged.outcome(flagged.client->subscribeToResource("file:///a.txt")), ok);
    ClientHarness lenient({}, toolsOnly);
    lenient.connect();
    EXPECT_EQ(lenient.outcome(lenient.client->listPrompts()), ok);
}

TEST(Client, NonStrictClientSendsBeforeAnyHandshake) {
    ScriptedClient scripted;
    scripted.run(scripted.transport->connect());
    // Attached without a handshake: the connect's initialize stays unanswered.
    asio::co_spawn(scripted.io, outcomeOf(scripted.client->connect(scripted.transport)),
                   asio::detached);
    runUntil(scripted.io, [&] { return scripted.transport->sent.size() >= 1; });
    asio::co_spawn(scripted.io, outcomeOf(scripted.client->listTools()), asio::detached);
    runUntil(scripted.io, [&] { return scripted.transport->sent.size() >= 2; });
    ASSERT_EQ(scripted.transport->sent.size(), 2u);
    EXPECT_NE(scripted.transport->sent[1].find(R"("method":"tools/list")"), std::string::npos);
}

// --- Requests and the pending table -------------------------------------------------------------

TEST(Client, SendBeforeConnectAndNotifyBeforeConnectFailWithoutSending) {
    ScriptedClient scripted;
    EXPECT_EQ(scripted.outcome(scripted.client->send(makeRequest<Ping>(ID(1)))),
              "Internal error: Client connection not initialized");
    EXPECT_EQ(scripted.outcome(scripted.client->notifyRootsChanged()),
              "Internal error: Client connection not initialized");
    EXPECT_EQ(
        scripted.outcome(scripted.client->withBatch([](Client::Batch&) -> asio::awaitable<void> {
            ADD_FAILURE() << "the body ran";
            co_return;
        })),
        "Internal error: Client connection not initialized");
    EXPECT_EQ(scripted.run(scripted.client->pendingRequestCount()), 0u);
    EXPECT_TRUE(scripted.transport->sent.empty());
}

TEST(Client, RequestWithAnIdStillPendingIsRefusedAndTheFirstKeepsWaiting) {
    ScriptedClient scripted;
    ASSERT_EQ(scripted.connect(), "ok");
    auto first = scripted.run(scripted.client->send(makeRequest<Ping>(ID("same"))));
    EXPECT_EQ(scripted.outcome(scripted.client->send(makeRequest<Ping>(ID("same")))),
              "Internal error: A request with this ID is already pending");
    EXPECT_EQ(scripted.transport->sent.size(), 3u);
    scripted.transport->push(R"({"jsonrpc":"2.0","id":"same","result":{}})");
    EXPECT_EQ(scripted.outcome(first.value()), "ok");
    // Once answered, the id may be used again.
    auto again = scripted.run(scripted.client->send(makeRequest<Ping>(ID("same"))));
    scripted.transport->push(R"({"jsonrpc":"2.0","id":"same","result":{}})");
    EXPECT_EQ(scripted.outcome(again.value()), "ok");
}

TEST(Client, AnswersReachTheirWaitersWithTheirOwnOutcome) {
    ScriptedClient scripted;
    ASSERT_EQ(scripted.connect(), "ok");
    auto& client = *scripted.client;
    auto good = scripted.run(client.send(makeRequest<ListTools>(ID(7), {})));
    auto failed = scripted.run(client.send(makeRequest<ListTools>(ID("e"), {})));
    auto mismatched = scripted.run(client.send(makeRequest<ListTools>(ID(9), {})));
    scripted.transport->push(
        R"({"jsonrpc":"2.0","id":"e","error":{"code":-32602,"message":"Invalid params"}})");
    scripted.transport->push(R"({"jsonrpc":"2.0","id":9,"result":{"tools":3}})");
    scripted.transport->push(R"({"jsonrpc":"2.0","id":7,"result":{"tools":[]}})");
    // Answered twice: the second finds no entry and is dropped.
    scripted.transport->push(R"({"jsonrpc":"2.0","id":7,"result":{"tools":[{}]}})");
    EXPECT_EQ(scripted.outcome(good.value()), "ok");
    EXPECT_EQ(scripted.outcome(failed.value()), "Invalid params");
    EXPECT_EQ(scripted.outcome(mismatched.value()),
              "The response's result does not have the type the request expects.");
    EXPECT_EQ(scripted.run(client.pendingRequestCount()), 0u);
}

TEST(Client, TransportSendFailureEndsTheRequestWithThatError) {
    ScriptedClient scripted;
    ASSERT_EQ(scripted.connect(), "ok");
    scripted.transport->sendFailure = std::make_exception_ptr(MCPError::connectionClosed());
    auto context = scripted.run(scripted.client->send(makeRequest<Ping>(ID(1))));
    EXPECT_EQ(scripted.outcome(context.value()), "Connection closed");
    EXPECT_EQ(scripted.run(scripted.client->pendingRequestCount()), 0u);
}

TEST(Client, AnswerThatArrivesWhileTheSendIsUnderWayWinsOverALaterSendFailure) {
    ScriptedClient scripted;
    ASSERT_EQ(scripted.connect(), "ok");
    scripted.transport->holdSends = true;
    std::optional<RequestContext<Empty>> context;
    asio::co_spawn(
        scripted.io,
        [&]() -> asio::awaitable<void> {
            context = co_await scripted.client->send(makeRequest<Ping>(ID(5)));
        },
        asio::detached);
    runUntil(scripted.io, [&] { return scripted.transport->sendsWaiting == 1; });
    scripted.transport->push(R"({"jsonrpc":"2.0","id":5,"result":{}})");
    scripted.settle();
    scripted.transport->sendFailure = std::make_exception_ptr(MCPError::connectionClosed());
    scripted.transport->sendGate.open();
    runUntil(scripted.io, [&] { return context.has_value(); });
    ASSERT_TRUE(context);
    EXPECT_EQ(scripted.outcome(context->value()), "ok");
}

// --- Cancellation -------------------------------------------------------------------------------

TEST(Client, CancelRequestFailsTheWaiterAndTellsTheServer) {
    ScriptedClient scripted;
    ASSERT_EQ(scripted.connect(), "ok");
    auto& client = *scripted.client;
    auto context = scripted.run(client.send(makeRequest<Ping>(ID(3))));
    scripted.run(client.cancelRequest(ID(3), "no longer needed"));
    EXPECT_EQ(scripted.outcome(context.value()), "The request was cancelled.");
    // Not pending any more: still told, without a reason.
    scripted.run(client.cancelRequest(ID("gone")));
    ASSERT_EQ(scripted.transport->sent.size(), 5u);
    EXPECT_EQ(
        scripted.transport->sent[3],
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"reason":"no longer needed","requestId":3}})");
    EXPECT_EQ(
        scripted.transport->sent[4],
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"gone"}})");
    // The late answer reaches nobody.
    scripted.transport->push(R"({"jsonrpc":"2.0","id":3,"result":{}})");
    scripted.settle();
    EXPECT_EQ(scripted.run(client.pendingRequestCount()), 0u);
}

TEST(Client, ServerCancellationStopsTheServersRequestAndNeverTheClientsOwn) {
    ScriptedClient scripted;
    ASSERT_EQ(scripted.connect(), "ok");
    Gate gate(scripted.io);
    std::vector<std::string> handled;
    scripted.client->withRootsHandler([&]() -> asio::awaitable<std::vector<Root>> {
        handled.push_back("started");
        std::string outcome = co_await outcomeOf(gate.wait());
        handled.push_back(outcome);
        co_return std::vector<Root>{};
    });
    // Both sides use the id "x": the client for its ping, the server for its roots request.
    auto context = scripted.run(scripted.client->send(makeRequest<Ping>(ID("x"))));
    scripted.transport->push(R"({"jsonrpc":"2.0","id":"x","method":"roots/list"})");
    runUntil(scripted.io, [&] { return handled.size() == 1; });
    scripted.transport->push(
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"x"}})");
    runUntil(scripted.io, [&] { return handled.size() == 2; });
    ASSERT_EQ(handled.size(), 2u);
    EXPECT_NE(handled[1], "ok");
    scripted.settle();
    // No answer to the withdrawn request; the client's own request still waits for its answer.
    EXPECT_EQ(scripted.transport->sent.size(), 3u);
    EXPECT_EQ(scripted.run(scripted.client->pendingRequestCount()), 1u);
    scripted.answer(2, "{}");
    EXPECT_EQ(scripted.outcome(context.value()), "ok");
}

TEST(Client, LateWithdrawalLeavesALaterRequestUnderTheSameIdAlone) {
    ScriptedClient scripted;
    ASSERT_EQ(scripted.connect(), "ok");
    auto first = scripted.run(scripted.client->send(makeRequest<Ping>(ID(7))));
    scripted.answer(2, "{}");
    EXPECT_EQ(scripted.outcome(first.value()), "ok");
    auto second = scripted.run(scripted.client->send(makeRequest<Ping>(ID(7))));
    // The first request's withdrawal arrives after its answer: it must find nothing to withdraw.
    first.withdraw();
    scripted.settle();
    EXPECT_EQ(scripted.run(scripted.client->pendingRequestCount()), 1u);
    EXPECT_EQ(scripted.transport->sent.size(), 4u);  // no "notifications/cancelled"
    scripted.answer(3, "{}");
    EXPECT_EQ(scripted.outcome(second.value()), "ok");
}

TEST(Client, AwaiterThatStopsWaitingWithdrawsTheRequest) {
    ClientHarness harness;
    harness.connect();
    auto& client = *harness.client;
    std::vector<std::string> cancelled;
    harness.server->onNotification<CancelledNotification>(
        [&](Message<CancelledNotification> message) -> asio::awaitable<void> {
            cancelled.push_back(message.params.requestId->description());
            co_return;
        });
    Gate gate(harness.io);
    harness.server->withMethodHandler<CallTool>(
        [&](CallTool::Parameters) -> asio::awaitable<CallTool::Result> {
            co_await gate.wait();
            co_return CallTool::Result{};
        });
    auto context = harness.run(client.sendToolCall("slow"));
    asio::cancellation_signal signal;
    std::string outcome;
    asio::co_spawn(
        harness.io, outcomeOf(context.value()),
        asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr, std::string text) {
            outcome = std::move(text);
        }));
    harness.run(client.ping());
    signal.emit(asio::cancellation_type::terminal);
    runUntil(harness.io, [&] { return !cancelled.empty(); });
    EXPECT_EQ(outcome, "Operation canceled [system:125]");
    ASSERT_EQ(cancelled.size(), 1u);
    EXPECT_EQ(cancelled[0], context.requestID.description());
    EXPECT_EQ(harness.outcome(context.requestTask.value()), "The request was cancelled.");
    EXPECT_EQ(harness.run(client.pendingRequestCount()), 0u);
}

// The typed operations wait on their own kind of pending entry: the same withdrawal holds there.
TEST(Client, TypedOperationThatStopsWaitingWithdrawsItsRequest) {
    ClientHarness harness;
    harness.connect();
    auto& client = *harness.client;
    std::vector<std::string> cancelled;
    harness.server->onNotification<CancelledNotification>(
        [&](Message<CancelledNotification> message) -> asio::awaitable<void> {
            cancelled.push_back(message.params.requestId->description());
            co_return;
        });
    Gate gate(harness.io);
    bool started = false;
    harness.server->withMethodHandler<CallTool>(
        [&](CallTool::Parameters) -> asio::awaitable<CallTool::Result> {
            started = true;
            co_await gate.wait();
            co_return CallTool::Result{};
        });
    asio::cancellation_signal signal;
    std::string outcome;
    asio::co_spawn(
        harness.io, outcomeOf(client.callTool("slow")),
        asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr, std::string text) {
            outcome = std::move(text);
        }));
    runUntil(harness.io, [&] { return started; });
    signal.emit(asio::cancellation_type::terminal);
    runUntil(harness.io, [&] { return !cancelled.empty(); });
    EXPECT_EQ(outcome, "Operation canceled [system:125]");
    EXPECT_EQ(cancelled.size(), 1u);
    EXPECT_EQ(harness.run(client.pendingRequestCount()), 0u);
    // The client goes on answering.
    EXPECT_EQ(harness.outcome(client.ping()), "ok");
}

TEST(Client, RequestTimeoutFailsTheWaiterAndTellsTheServer) {
    ScriptedClient scripted({.requestTimeout = std::chrono::milliseconds(20)});
    // The handshake is answered at once; its timer never fires.
    ASSERT_EQ(scripted.connect(), "ok");
    auto context = scripted.run(scripted.client->send(makeRequest<Ping>(ID(8))));
    EXPECT_EQ(scripted.outcome(context.value()), "Internal error: Request timed out");
    runUntil(scripted.io, [&] { return scripted.transport->sent.size() == 4; });
    ASSERT_EQ(scripted.transport->sent.size(), 4u);
    EXPECT_EQ(
        scripted.transport->sent[3],
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"reason":"Request timed out","requestId":8}})");
    // An answered request's timer is stopped.
    auto answered = scripted.run(scripted.client->send(makeRequest<Ping>(ID(9))));
    scripted.transport->push(R"({"jsonrpc":"2.0","id":9,"result":{}})");
    EXPECT_EQ(scripted.outcome(answered.value()), "ok");
    runIdle(scripted.io, 60ms);
    EXPECT_EQ(scripted.transport->sent.size(), 5u);
}

// --- Connection end -----------------------------------------------------------------------------

TEST(Client, DisconnectFailsEveryPendingRequestAndLaterSendsFindNoConnection) {
    ScriptedClient scripted;
    ASSERT_EQ(scripted.connect(), "ok");
    auto& client = *scripted.client;
    std::vector<RequestContext<Empty>> contexts;
    for (int id = 1; id <= 3; ++id) {
        contexts.push_back(scripted.run(client.send(makeRequest<Ping>(ID(id)))));
    }
    scripted.run(client.disconnect());
    for (auto& context : contexts) {
        EXPECT_EQ(scripted.outcome(context.value()), "Internal error: Client disconnected");
    }
    EXPECT_EQ(scripted.transport->disconnects, 1);
    EXPECT_FALSE(scripted.run(client.isConnected()));
    EXPECT_EQ(scripted.outcome(client.ping()), "Internal error: Client connection not initialized");
    // Disconnecting again, or without a transport, is harmless.
    scripted.run(client.disconnect());
}

TEST(Client, EndOfTheServersStreamFailsPendingRequestsAndEndsTheLoop) {
    ScriptedClient scripted;
    ASSERT_EQ(scripted.connect(), "ok");
    auto& client = *scripted.client;
    auto context = scripted.run(client.send(makeRequest<Ping>(ID(1))));
    scripted.transport->finish();
    EXPECT_EQ(scripted.outcome(context.value()), "Connection closed");
    EXPECT_FALSE(scripted.run(client.isConnected()));
    EXPECT_EQ(scripted.outcome(client.ping()), "Connection closed");
    // The loop asked for the stream once: it does not spin on a finished one.
    EXPECT_EQ(scripted.transport->receives, 1);

    ScriptedClient failing;
    ASSERT_EQ(failing.connect(), "ok");
    auto pending = failing.run(failing.client->send(makeRequest<Ping>(ID(1))));
    failing.transport->finish(std::make_exception_ptr(MCPError::internalError("broken pipe")));
    EXPECT_EQ(failing.outcome(pending.value()), "Internal error: broken pipe");
}

// Races on one id, placed in every order: whoever takes the entry first decides, once.
TEST(Client, RacesOnOneIdGiveExactlyOneOutcome) {
    enum class Event { answer, cancel, disconnect, sendFailure };
    const std::vector<std::vector<Event>> orders = {
        {Event::answer, Event::cancel},          {Event::cancel, Event::answer},
        {Event::answer, Event::disconnect},      {Event::disconnect, Event::answer},
        {Event::cancel, Event::disconnect},      {Event::disconnect, Event::cancel},
        {Event::sendFailure, Event::answer},     {Event::answer, Event::sendFailure},
        {Event::sendFailure, Event::cancel},     {Event::cancel, Event::sendFailure},
        {Event::sendFailure, Event::disconnect}, {Event::disconnect, Event::sendFailure},
    };
    auto expected = [](Event first) -> std::string {
        switch (first) {
            case Event::answer:
                return "ok";
            case Event::cancel:
                return "The request was cancelled.";
            case Event::disconnect:
                return "Internal error: Client disconnected";
            case Event::sendFailure:
                return "Connection closed";
        }
        return "";
    };
    for (int round = 0; round < 10; ++round) {
        for (const auto& order : orders) {
            ScriptedClient scripted;
            ASSERT_EQ(scripted.connect(), "ok");
            scripted.transport->holdSends = true;
            std::optional<RequestContext<Empty>> context;
            int outcomes = 0;
            std::string outcome;
            asio::co_spawn(
                scripted.io,
                [&]() -> asio::awaitable<void> {
                    context = co_await scripted.client->send(makeRequest<Ping>(ID(1)));
                    outcome = co_await outcomeOf(context->value());
                    ++outcomes;
                },
                asio::detached);
            runUntil(scripted.io, [&] { return scripted.transport->sendsWaiting == 1; });
            for (Event event : order) {
                switch (event) {
                    case Event::answer:
                        scripted.transport->push(R"({"jsonrpc":"2.0","id":1,"result":{}})");
                        break;
                    case Event::cancel:
                        asio::co_spawn(scripted.io,
                                       outcomeOf(scripted.client->cancelRequest(ID(1))),
                                       asio::detached);
                        break;
                    case Event::disconnect:
                        asio::co_spawn(scripted.io, scripted.client->disconnect(), asio::detached);
                        break;
                    case Event::sendFailure:
                        scripted.transport->sendFailure =
                            std::make_exception_ptr(MCPError::connectionClosed());
                        scripted.transport->sendGate.open();
                        break;
                }
                scripted.settle();
            }
            scripted.transport->sendGate.open();
            runUntil(scripted.io, [&] { return outcomes == 1; });
            scripted.settle();
            EXPECT_EQ(outcomes, 1);
            EXPECT_EQ(outcome, expected(order.front()));
            EXPECT_EQ(scripted.run(scripted.client->pendingRequestCount()), 0u);
        }
    }
}

// The same races with the client's strand, the server and the canceller on different threads.
TEST(Client, ConcurrentAnswersCancellationsAndDisconnectLeaveNoWaiterBehind) {
    for (int round = 0; round < 5; ++round) {
        asio::thread_pool pool(4);
        std::shared_ptr<InMemoryTransport> clientSide;
        std::shared_ptr<InMemoryTransport> serverSide;
        std::tie(clientSide, serverSide) = InMemoryTransport::createConnectedPair();
        auto client = std::make_shared<Client>(pool.get_executor(), "c", "1");
        auto server = makeFullServer(pool.get_executor(), everyCapability());
        auto work = [&]() -> asio::awaitable<std::vector<std::string>> {
            co_await server->start(serverSide);
            co_await client->connect(clientSide);
            std::vector<RequestContext<Empty>> contexts;
            for (int id = 0; id < 200; ++id) {
                contexts.push_back(co_await client->send(makeRequest<Ping>(ID(id))));
                if (id % 2 == 0) {
                    // From another thread than the client's strand.
                    asio::co_spawn(pool, outcomeOf(client->cancelRequest(ID(id))), asio::detached);
                }
            }
            // Whatever still waits when the client disconnects.
            asio::co_spawn(pool, client->disconnect(), asio::detached);
            std::vector<std::string> outcomes;
            for (auto& context : contexts) {
                outcomes.push_back(co_await outcomeOf(context.value()));
            }
            co_await server->stop();
            co_return outcomes;
        };
        auto future = asio::co_spawn(pool, work(), asio::use_future);
        ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        std::vector<std::string> outcomes = future.get();
        ASSERT_EQ(outcomes.size(), 200u);
        for (const std::string& outcome : outcomes) {
            EXPECT_TRUE(outcome == "ok" || outcome == "The request was cancelled." ||
                        outcome == "Internal error: Client disconnected")
                << outcome;
        }
        pool.join();
    }
}

// Typed operations enter the pending table from the callers' own threads, beside the receive
// loop and a disconnect on the client's strand: each caller gets exactly one outcome.
TEST(Client, TypedOperationsFromManyThreadsEachGetOneOutcome) {
    for (int round = 0; round < 5; ++round) {
        asio::thread_pool pool(4);
        std::shared_ptr<InMemoryTransport> clientSide;
        std::shared_ptr<InMemoryTransport> serverSide;
        std::tie(clientSide, serverSide) = InMemoryTransport::createConnectedPair();
        auto client = std::make_shared<Client>(pool.get_executor(), "c", "1");
        auto server = makeFullServer(pool.get_executor(), everyCapability());
        auto connect = [&]() -> asio::awaitable<void> {
            co_await server->start(serverSide);
            co_await client->connect(clientSide);
        };
        asio::co_spawn(pool, connect(), asio::use_future).get();
        constexpr int kCallers = 200;
        std::vector<std::future<std::string>> outcomes;
        for (int i = 0; i < kCallers; ++i) {
            if (i == kCallers / 2) {
                asio::co_spawn(pool, client->disconnect(), asio::detached);
            }
            outcomes.push_back(asio::co_spawn(
                pool, i % 2 == 0 ? outcomeOf(client->ping()) : outcomeOf(client->listTools()),
                asio::use_future));
        }
        for (auto& future : outcomes) {
            ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
            const std::string outcome = future.get();
            EXPECT_TRUE(outcome == "ok" || outcome == "Internal error: Client disconnected" ||
                        outcome == "Internal error: Client connection not initialized")
                << outcome;
        }
        EXPECT_EQ(asio::co_spawn(pool, client->pendingRequestCount(), asio::use_future).get(), 0u);
        asio::co_spawn(pool, server->stop(), asio::use_future).get();
        pool.join();
    }
}

}  // namespace
}  // namespace mcp
