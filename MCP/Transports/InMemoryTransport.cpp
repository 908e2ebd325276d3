#include "MCP/Transports/InMemoryTransport.h"

#include "Logging/NoOpLogHandler.h"
#include "MCP/Messages/MCPError.h"

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

InMemoryTransport::~InMemoryTransport() {
    if (auto peer = pairedTransport_.lock()) {
        peer->handlePeerDisconnection(true);
    }
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
            hasConnected_ = true;
            // A stream taken before connecting gets what waited for the connection.
            if (messageContinuation_) {
                for (auto& message : incomingMessages_) {
                    messageContinuation_->yield(std::move(message));
                }
                incomingMessages_.clear();
            }
            logger_.info("Transport connected successfully");
            co_return;
        }
    }
    logger_.debug("Transport already connected");
}

boost::asio::awaitable<void> InMemoryTransport::send(std::string message) {
    trySend(message);
    co_return;
}

bool InMemoryTransport::trySendAnswer(std::string& message, const Answer& answer) {
    (void)answer;
    return trySend(message);
}

bool InMemoryTransport::trySend(std::string& message) {
    if (!paired_) {
        throw MCPError::internalError("Transport not connected");  // it cannot connect
    }
    std::shared_ptr<InMemoryTransport> peer = pairedTransport_.lock();
    if (!peer || peerGone_) {
        throw MCPError::connectionClosed();
    }
    if (!isConnected_) {
        throw MCPError::internalError("Transport not connected");
    }
    logger_.debug("Sending message", [&] { return sizeMetadata(message.size()); });
    peer->deliverMessage(std::move(message));
    return true;
}

void InMemoryTransport::deliverMessage(std::string message) {
    std::unique_lock lock(mutex_);
    const std::size_t size = message.size();
    if (isConnected_ && messageContinuation_) {
        // Yielding under the lock keeps the order of messages from concurrent senders; the
        // stream never calls back into the transport.
        messageContinuation_->yield(std::move(message));
    } else {
        // Kept for the next stream, or until this side connects.
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
        // Before the first connection the stream waits for it; after a disconnection it only
        // gives what is left.
        const bool waitsForConnection = !isConnected_ && !hasConnected_ && !peerGone_;
        if (!waitsForConnection) {
            for (auto& message : incomingMessages_) {
                source.yield(std::move(message));
            }
            incomingMessages_.clear();
        }
        if (peerGone_) {
            source.finish(std::make_exception_ptr(MCPError::connectionClosed()));
        } else if (!isConnected_ && !waitsForConnection) {
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
        peer->handlePeerDisconnection(false);
    }
    logger_.info("Transport disconnected");
}

void InMemoryTransport::handlePeerDisconnection(bool peerGone) {
    std::optional<MessageStream::Source> stream;
    bool wasConnected = false;
    {
        std::lock_guard lock(mutex_);
        peerGone_ = peerGone_ || peerGone;
        wasConnected = isConnected_;
        if (!isConnected_) {
            // A stream still waiting for this side to connect would wait for ever.
            if (peerGone && messageContinuation_) {
                for (auto& message : incomingMessages_) {
                    messageContinuation_->yield(std::move(message));
                }
                incomingMessages_.clear();
                stream = std::exchange(messageContinuation_, std::nullopt);
            }
        } else {
            stream = std::exchange(messageContinuation_, std::nullopt);
            isConnected_ = false;
        }
    }
    if (stream) {
        stream->finish(std::make_exception_ptr(MCPError::connectionClosed()));
    }
    if (wasConnected) {
        logger_.info("Peer transport disconnected");
    }
}

}  // namespace mcp
