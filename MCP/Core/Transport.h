// Transport: one MCP message channel. The server and the client drive it; the application's
// socket transport and the library's stdio, network, in-memory and HTTP transports implement it.
//
// A transport is an actor: its state is touched only on its own strand, and each operation below
// runs there (see MCP/Actor.h for the helper that hops onto it). Callers simply co_await.
//
// The contract the server and the client rely on:
//   connect()      called once, before anything is sent; an error ends the start with it.
//   receive()      called once, by the receive loop; one element per received message or batch,
//                  UTF-8 JSON without framing. The stream finishes when the peer or disconnect()
//                  ends the connection, or finishes with an error.
//   send(message)  takes one complete encoded message or batch (no framing: the transport adds
//                  its own) and completes when the transport has accepted it; errors go back to
//                  the sender (usually MCPError).
//   sendAnswer(message, answer)
//                  the same for the server's answer to one request, with what the server knows
//                  of it (Answer below), so that a transport that follows the requests in flight
//                  needs not parse what it sends. By default it is send().
//   sendRelated(message, relatedRequest)
//                  the same for a message the server sends while it handles request
//                  `relatedRequest` (a notification or a request of its own: progress, logging,
//                  sampling, elicitation), so that a transport that carries each request in an
//                  exchange of its own (HTTP) can send it there while that exchange is open.
//                  By default it is send().
//   disconnect()   called once when the server or client stops; never throws. Afterwards the
//                  receive() stream ends and nothing more is sent.
//   logger()       the transport's logger; readable from any thread without entering the actor.
//
// Optional members; their defaults do nothing, so transports that need none leave them alone:
//   useProtocolVersion(version)
//                  the protocol version the client and the server agreed on in the handshake,
//                  handed over by the client before it sends "notifications/initialized"; a
//                  transport that announces the version with each message (HTTP) keeps it.
//   trySend(message) / trySendAnswer(message, answer)
//                  for a transport that can take a message without waiting (the in-memory pair):
//                  takes it at once and answers true, or answers false, leaving `message` as it
//                  was, when send() or sendAnswer() has to be awaited. Throws what those throw.
//                  They spare the sender a coroutine per message; by default they take nothing.
//   setConnectionChangeHandler(handler)
//                  for a transport that replaces a broken connection by a new one and keeps its
//                  receive() stream open meanwhile (the network transport): `handler` hears
//                  ConnectionChange::lost when the connection broke (nothing sent on it will be
//                  answered), then ConnectionChange::replaced once a new one is ready (the peer
//                  on it knows nothing of the conversation so far). It is called on the
//                  transport's own executor and must not block; a later call replaces the
//                  handler, an empty one stops the calls. By default nothing is ever heard.
// Two serve transports that carry each request in an HTTP request of its own:
//   providesHTTPRequestContexts() / httpRequestContext(id)
//                  the HTTP request that carried request `id`, which the server asks for before
//                  the request's handler runs and hands to it in its handler context.
//   requestEndedWithoutAnswer(id)
//                  the server's word that request `id` ended and no answer will be sent for it
//                  (its handler was cancelled), so that the transport can close what waits for
//                  that answer. Never throws.
// Cancellation: every operation honours the Asio cancellation slot of the awaiting coroutine.
// What a second receive() gives is each transport's own business.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <functional>
#include <optional>
#include <string>

#include "MCP/Core/AsyncStream.h"
#include "MCP/Core/HTTPRequest.h"
#include "MCP/Messages/ID.h"

namespace logging {
class Logger;
}

namespace mcp {

// The received messages of a transport.
using MessageStream = AsyncStream<std::string>;

class Transport {
public:
    // What an answer answers: the id of its request (absent when the request's id could not be
    // read, as in an error answer without "id"), and whether it is an error.
    struct Answer {
        std::optional<ID> request;
        bool isError = false;
    };

    enum class ConnectionChange { lost, replaced };
    using ConnectionChangeHandler = std::function<void(ConnectionChange)>;

    virtual ~Transport() = default;

    virtual const logging::Logger& logger() const = 0;
    virtual boost::asio::awaitable<void> connect() = 0;
    virtual boost::asio::awaitable<void> disconnect() = 0;
    virtual boost::asio::awaitable<void> send(std::string message) = 0;
    virtual MessageStream receive() = 0;

    virtual boost::asio::awaitable<void> sendAnswer(std::string message, Answer answer) {
        (void)answer;
        return send(std::move(message));
    }

    virtual boost::asio::awaitable<void> sendRelated(std::string message,
                                                     std::optional<ID> relatedRequest) {
        (void)relatedRequest;
        return send(std::move(message));
    }

    virtual bool trySend(std::string& message) {
        (void)message;
        return false;
    }
    virtual bool trySendAnswer(std::string& message, const Answer& answer) {
        (void)message;
        (void)answer;
        return false;
    }

    virtual boost::asio::awaitable<void> useProtocolVersion(std::string version) {
        (void)version;
        co_return;
    }

    // Any thread.
    virtual void setConnectionChangeHandler(ConnectionChangeHandler handler) { (void)handler; }

    // Whether httpRequestContext() can give anything; read on every request, so kept cheap.
    virtual bool providesHTTPRequestContexts() const noexcept { return false; }
    virtual boost::asio::awaitable<std::optional<HTTPRequest>> httpRequestContext(ID id) {
        (void)id;
        co_return std::nullopt;
    }
    virtual boost::asio::awaitable<void> requestEndedWithoutAnswer(ID id) {
        (void)id;
        co_return;
    }
};

}  // namespace mcp
