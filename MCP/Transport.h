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
//   disconnect()   called once when the server or client stops; never throws. Afterwards the
//                  receive() stream ends and nothing more is sent.
//   logger()       the transport's logger; readable from any thread without entering the actor.
// Cancellation: every operation honours the Asio cancellation slot of the awaiting coroutine.
// What a second receive() gives is each transport's own business.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <string>

#include "MCP/AsyncStream.h"

namespace logging {
class Logger;
}

namespace mcp {

// The received messages of a transport.
using MessageStream = AsyncStream<std::string>;

class Transport {
public:
    virtual ~Transport() = default;

    virtual const logging::Logger& logger() const = 0;
    virtual boost::asio::awaitable<void> connect() = 0;
    virtual boost::asio::awaitable<void> disconnect() = 0;
    virtual boost::asio::awaitable<void> send(std::string message) = 0;
    virtual MessageStream receive() = 0;
};

}  // namespace mcp
