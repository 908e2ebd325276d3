// The in-memory pair.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <string>
#include <vector>

#include "MCP/InMemoryTransport.h"
#include "MCP/MCPError.h"
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
    // The server side is not connected: the message is dropped, the sender sees success.
    EXPECT_EQ(failureOf(io, client->send("dropped")), "succeeded");
    runFor(io, server->connect());
    runFor(io, server->connect());
    runFor(io, client->send("first"));
    runFor(io, client->send(""));
    auto stream = server->receive();  // messages that came before receive() wait for it
    runFor(io, client->send("third"));
    runFor(io, client->disconnect());
    Drained drained = runFor(io, drain(std::move(stream)));
    EXPECT_EQ(drained.messages, (std::vector<std::string>{"first", "", "third"}));
    EXPECT_EQ(drained.error, "Connection closed");
    EXPECT_EQ(failureOf(io, server->send("x")), "Internal error: Transport not connected");
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

}  // namespace
}  // namespace mcp
