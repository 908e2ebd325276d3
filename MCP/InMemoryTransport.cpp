#include "MCP/InMemoryTransport.h"

#include "Logging/NoOpLogHandler.h"
#include "MCP/MCPError.h"

// g++ 12 takes the sized delete of Asio's coroutine frames for a mismatch with their allocator.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace mcp {

namespace {

logging::Logger silentLogger(std::string label) {
    return logging::Logger(std::move(label), logging::NoOpLogHandler());
}

logging::Metadata sizeMetadata(std::size_t size) {
    return {{"size", std::to_string(size)}};
}

}  // namespace

InMemoryTransport::InMemoryTransport(std::optional<logging::Logger> logger)
    : logger_(logger ? std::move(*logger) : silentLogger("mcp.transport.in-memory")) {}

std::pair<std::shared_ptr<InMemoryTransport>, std::shared_ptr<InMemoryTransport>>
InMemoryTransport::createConnectedPair(std::optional<logging::Logger> logger) {
    auto client = std::make_shared<InMemoryTransport>(
        logger ? *logger : silentLogger("mcp.transport.in-memory.client"));
    auto server = std::make_shared<InMemoryTransport>(
        logger ? *logger : silentLogger("mcp.transport.in-memory.server"));
    {
        std::lock_guard lock(client->mutex_);
        client->paired_ = true;
        client->pairedTransport_ = server;
    }
    {
        std::lock_guard lock(server->mutex_);
        server->paired_ = true;
        server->pairedTransport_ = client;
    }
    return {client, server};
}

boost::asio::awaitable<void> InMemoryTransport::connect() {
    {
        std::lock_guard lock(mutex_);
        if (!isConnected_) {
            if (!paired_) {
                throw MCPError::internalError(
                    "Transport not paired. Use createConnectedPair() to create paired transports.");
            }
            isConnected_ = true;
            logger_.info("Transport connected successfully");
            co_return;
        }
    }
    logger_.debug("Transport already connected");
}

boost::asio::awaitable<void> InMemoryTransport::send(std::string message) {
    std::shared_ptr<InMemoryTransport> peer;
    {
        std::lock_guard lock(mutex_);
        if (!isConnected_) {
            throw MCPError::internalError("Transport not connected");
        }
        if (!paired_) {
            throw MCPError::internalError("No paired transport");
        }
        peer = pairedTransport_.lock();
    }
    logger_.debug("Sending message", [&] { return sizeMetadata(message.size()); });
    if (peer) {
        peer->deliverMessage(std::move(message));
    }
    co_return;
}

void InMemoryTransport::deliverMessage(std::string message) {
    std::unique_lock lock(mutex_);
    if (!isConnected_) {
        lock.unlock();
        logger_.warning("Received message while disconnected");
        return;
    }
    const std::size_t size = message.size();
    if (messageContinuation_) {
        // Yielding under the lock keeps the order of messages from concurrent senders; the
        // stream never calls back into the transport.
        messageContinuation_->yield(std::move(message));
    } else {
        incomingMessages_.push_back(std::move(message));
    }
    lock.unlock();
    logger_.debug("Message received", [&] { return sizeMetadata(size); });
}

MessageStream InMemoryTransport::receive() {
    auto [stream, source] = MessageStream::make();
    std::optional<MessageStream::Source> previous;
    {
        std::lock_guard lock(mutex_);
        for (auto& message : incomingMessages_) {
            source.yield(std::move(message));
        }
        incomingMessages_.clear();
        if (!isConnected_) {
            source.finish();
        }
        previous = std::exchange(messageContinuation_, source);
    }
    // The replaced stream gets nothing more: end it rather than leave its reader waiting.
    if (previous) {
        previous->finish();
    }
    return std::move(stream);
}

boost::asio::awaitable<void> InMemoryTransport::disconnect() {
    std::optional<MessageStream::Source> stream;
    std::shared_ptr<InMemoryTransport> peer;
    {
        std::lock_guard lock(mutex_);
        if (!isConnected_) {
            co_return;
        }
        isConnected_ = false;
        stream = std::exchange(messageContinuation_, std::nullopt);
        peer = pairedTransport_.lock();
    }
    if (stream) {
        stream->finish();
    }
    if (peer) {
        peer->handlePeerDisconnection();
    }
    logger_.info("Transport disconnected");
}

void InMemoryTransport::handlePeerDisconnection() {
    std::optional<MessageStream::Source> stream;
    {
        std::lock_guard lock(mutex_);
        if (!isConnected_) {
            return;
        }
        stream = std::exchange(messageContinuation_, std::nullopt);
        isConnected_ = false;
    }
    if (stream) {
        stream->finish(std::make_exception_ptr(MCPError::connectionClosed()));
    }
    logger_.info("Peer transport disconnected");
}

}  // namespace mcp
