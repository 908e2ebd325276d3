// InMemoryTransport: two linked MCP endpoints in one process, without I/O. createConnectedPair()
// makes a client side and a server side; a message sent on one side arrives, unchanged, on the
// other side's receive stream.
//
//   auto [client, server] = mcp::InMemoryTransport::createConnectedPair();
//   co_await mcpServer->start(server);
//   co_await client->connect();
//   MessageStream answers = client->receive();
//   co_await client->send(R"({"jsonrpc":"2.0","id":1,"method":"ping"})");
//
// Each side connects on its own and must be connected to send or to take messages in: a message
// that reaches a side that is not connected is dropped (logged at warning), while the sender sees
// success. Messages that arrive before receive() is called wait for the next stream. Every
// receive() makes a new stream and finishes the one before; a side that is not connected gets a
// stream that ends after the waiting messages. disconnect() finishes this side's stream normally
// and the peer's with MCPError connectionClosed, leaving both sides disconnected.
//
// Errors (MCPError internalError): connect() on a transport that was not made by
// createConnectedPair() ("Transport not paired. Use createConnectedPair() to create paired
// transports."), send() while not connected ("Transport not connected").
//
// Thread-safety: each side may be used from any thread. Its few fields sit behind its own lock,
// which is never held while calling the peer or a stream, so the sides cannot deadlock. The sides
// refer to each other weakly: the owner keeps both alive, and a side whose peer is gone drops what
// it sends.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Logging/Logger.h"
#include "MCP/Transport.h"

namespace mcp {

class InMemoryTransport final : public Transport {
public:
    // An unpaired side; with no logger it logs nothing ("mcp.transport.in-memory").
    explicit InMemoryTransport(std::optional<logging::Logger> logger = std::nullopt);

    // The client side, then the server side. With no logger each logs nothing
    // ("mcp.transport.in-memory.client" and ".server"); a given logger is shared by both.
    static std::pair<std::shared_ptr<InMemoryTransport>, std::shared_ptr<InMemoryTransport>>
    createConnectedPair(std::optional<logging::Logger> logger = std::nullopt);

    const logging::Logger& logger() const override { return logger_; }
    boost::asio::awaitable<void> connect() override;
    boost::asio::awaitable<void> disconnect() override;
    boost::asio::awaitable<void> send(std::string message) override;
    MessageStream receive() override;

private:
    void deliverMessage(std::string message);
    void handlePeerDisconnection();

    const logging::Logger logger_;
    mutable std::mutex mutex_;
    bool paired_ = false;
    bool isConnected_ = false;
    std::weak_ptr<InMemoryTransport> pairedTransport_;
    std::vector<std::string> incomingMessages_;
    std::optional<MessageStream::Source> messageContinuation_;
};

}  // namespace mcp
