// The in-memory pair.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <string>
#include <vector>

#include "MCP/Messages/MCPError.h"
#include "MCP/Transports/InMemoryTransport.h"
#include "tests/MCP/ServerTestSupport.h"

namespace mcp {
namespace {

using namespace mcp::testing;

std::string failureOf(asio::io_context& io, asio::awaitable<void> operation) {
    try {
        runFor(io, std::move(operation));
    } catch (const MCPError& error) {
        return error.what();
    }
    return "succeeded";
}

TEST(InMemoryTransport, SendsOnlyBetweenConnectedPairedSides) {
    asio::io_context io;
    InMemoryTransport lonely;
    EXPECT_EQ(failureOf(io, lonely.connect()),
              "Internal error: Transport not paired. Use createConnectedPair() to create paired "
              "transports.");
    auto [client, server] = InMemoryTransport::createConnectedPair();
    EXPECT_EQ(failureOf(io, client->send("x")), "Internal error: Transport not connected");
    runFor(io, client->connect());
    // The server side is not connected yet: the message waits for it.
    EXPECT_EQ(failureOf(io, client->send("early")), "succeeded");
    runFor(io, server->connect());
    runFor(io, server->connect());
    runFor(io, client->send("first"));
    runFor(io, client->send(""));
    auto stream = server->receive();  // messages that came before receive() wait for it
    runFor(io, client->send("third"));
    runFor(io, client->disconnect());
    Drained drained = runFor(io, drain(std::move(stream)));
    EXPECT_EQ(drained.messages, (std::vector<std::string>{"early", "first", "", "third"}));
    EXPECT_EQ(drained.error, "Connection closed");
    EXPECT_EQ(failureOf(io, server->send("x")), "Internal error: Transport not connected");
}

// The sender's shortcut takes what send() takes and refuses what it refuses, without a
// coroutine.
TEST(InMemoryTransport, TrySendDeliversAtOnceOrThrowsAsSendWould) {
    asio::io_context io;
    auto [client, server] = InMemoryTransport::createConnectedPair();
    std::string message = "refused";
    EXPECT_THROW(client->trySend(message), MCPError);
    EXPECT_EQ(message, "refused");
    runFor(io, client->connect());
    runFor(io, server->connect());
    auto stream = server->receive();
    message = "request";
    EXPECT_TRUE(client->trySend(message));
    std::string answer = "answer";
    EXPECT_TRUE(server->trySendAnswer(answer, Transport::Answer{ID(1), false}));
    auto clientStream = client->receive();
    runFor(io, client->disconnect());
    EXPECT_EQ(runFor(io, drain(std::move(stream))).messages, (std::vector<std::string>{"request"}));
    EXPECT_EQ(runFor(io, drain(std::move(clientStream))).messages,
              (std::vector<std::string>{"answer"}));
}

TEST(InMemoryTransport, NewReceiveReplacesTheStream) {
    asio::io_context io;
    auto [client, server] = InMemoryTransport::createConnectedPair();
    runFor(io, client->connect());
    runFor(io, server->connect());
    auto first = server->receive();
    auto second = server->receive();
    runFor(io, client->send("late"));
    runFor(io, server->disconnect());
    EXPECT_TRUE(runFor(io, drain(std::move(first))).messages.empty());
    EXPECT_EQ(runFor(io, drain(std::move(second))).messages, (std::vector<std::string>{"late"}));
}

TEST(InMemoryTransport, StreamTakenBeforeConnectingGetsLaterMessages) {
    asio::io_context io;
    auto [client, server] = InMemoryTransport::createConnectedPair();
    auto stream = server->receive();
    runFor(io, client->connect());
    runFor(io, client->send("before the server connected"));
    runFor(io, server->connect());
    runFor(io, client->send("after"));
    runFor(io, client->disconnect());
    Drained drained = runFor(io, drain(std::move(stream)));
    EXPECT_EQ(drained.messages, (std::vector<std::string>{"before the server connected", "after"}));
    EXPECT_EQ(drained.error, "Connection closed");
}

// A side dropped without disconnect() must not leave its peer waiting or sending into nothing,
// whether the peer had connected or was still waiting for its own connection.
TEST(InMemoryTransport, DestroyedSideClosesItsPeer) {
    for (const bool peerConnected : {true, false}) {
        SCOPED_TRACE(peerConnected ? "peer connected" : "peer not connected yet");
        asio::io_context io;
        auto [client, server] = InMemoryTransport::createConnectedPair();
        runFor(io, client->connect());
        if (peerConnected) {
            runFor(io, server->connect());
        }
        auto stream = server->receive();
        runFor(io, client->send("last words"));
        client.reset();
        Drained drained = runFor(io, drain(std::move(stream)));
        EXPECT_EQ(drained.messages, std::vector<std::string>{"last words"});
        EXPECT_EQ(drained.error, "Connection closed");
        runFor(io, server->connect());
        EXPECT_EQ(failureOf(io, server->send("x")), "Connection closed");
        EXPECT_EQ(runFor(io, drain(server->receive())).error, "Connection closed");
    }
}

// The client may speak first: its "initialize" reaches a server that starts later.
TEST(InMemoryTransport, InitializeSentBeforeTheServerStartsIsAnswered) {
    ServerHarness harness;
    runFor(harness.io, harness.client->connect());
    auto answers = harness.client->receive();
    runFor(
        harness.io,
        harness.client->send(
            R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"early","version":"1"}}})"));
    runFor(harness.io, harness.server->start(harness.serverSide));
    auto answer = runFor(harness.io, answers.next());
    ASSERT_TRUE(answer);
    EXPECT_NE(answer->find(R"("id":1)"), std::string::npos) << *answer;
    EXPECT_NE(answer->find(R"("serverInfo")"), std::string::npos) << *answer;
}

}  // namespace
}  // namespace mcp
