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
// Each side connects on its own and must be connected to send. Messages that reach a side before
// it has connected wait for it: a client's "initialize" sent before the server side starts is
// delivered once the server connects. Messages that arrive before receive() is called wait for the
// next stream. Every receive() makes a new stream and finishes the one before; called before the
// first connect(), it gives the stream that later messages arrive on, while a side that has been
// disconnected gets a stream that ends after the waiting messages. disconnect() finishes this
// side's stream normally and the peer's with MCPError connectionClosed, leaving both sides
// disconnected. A side destroyed without disconnect() does the same to its peer, whose send()
// then fails with connectionClosed ("Connection closed").
//
// Errors (MCPError internalError): connect() on a transport that was not made by
// createConnectedPair() ("Transport not paired. Use createConnectedPair() to create paired
// transports."), send() while not connected ("Transport not connected").
//
// Thread-safety: each side may be used from any thread. Its few fields sit behind its own lock,
// which is never held while calling the peer, so the sides cannot deadlock; sending takes only the
// receiving side's lock. The sides refer to each other weakly: the owner keeps both alive.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Logging/Logger.h"
#include "MCP/Core/Transport.h"

namespace mcp {

class InMemoryTransport final : public Transport {
public:
    // An unpaired side; with no logger it logs nothing ("mcp.transport.in-memory").
    explicit InMemoryTransport(std::optional<logging::Logger> logger = std::nullopt);
    // Tells the peer, as disconnect() would, when this side is still linked to it.
    ~InMemoryTransport() override;
    InMemoryTransport(const InMemoryTransport&) = delete;
    InMemoryTransport& operator=(const InMemoryTransport&) = delete;

    // The client side, then the server side. With no logger each logs nothing
    // ("mcp.transport.in-memory.client" and ".server"); a given logger is shared by both.
    static std::pair<std::shared_ptr<InMemoryTransport>, std::shared_ptr<InMemoryTransport>>
    createConnectedPair(std::optional<logging::Logger> logger = std::nullopt);

    const logging::Logger& logger() const override { return logger_; }
    boost::asio::awaitable<void> connect() override;
    boost::asio::awaitable<void> disconnect() override;
    boost::asio::awaitable<void> send(std::string message) override;
    // Always take the message (or throw): delivering it never waits.
    bool trySend(std::string& message) override;
    bool trySendAnswer(std::string& message, const Answer& answer) override;
    MessageStream receive() override;

private:
    void deliverMessage(std::string message);
    // `peerGone`: the peer was destroyed, so nothing will ever arrive again.
    void handlePeerDisconnection(bool peerGone);

    const logging::Logger logger_;
    mutable std::mutex mutex_;
    // Set once by createConnectedPair(), before the sides are handed out: read without the lock.
    bool paired_ = false;
    std::weak_ptr<InMemoryTransport> pairedTransport_;
    // Changed behind mutex_; a sender reads them without it, as a send racing a disconnection
    // may land on either side of it anyway.
    std::atomic<bool> isConnected_ = false;
    std::atomic<bool> peerGone_ = false;
    bool hasConnected_ = false;  // once connected, a side that is not connected is closed
    std::vector<std::string> incomingMessages_;
    std::optional<MessageStream::Source> messageContinuation_;
};

}  // namespace mcp
