// Server: an HTTP/1.1 server for programs that embed one (the MCP library's streamable-HTTP
// host). It listens on one address (loopback unless told otherwise), reads each request with
// limits, hands it to a handler, and writes the handler's response: a whole body, or a body of
// chunks written one by one as the handler produces them (chunked transfer coding, TCP_NODELAY,
// so an event reaches the client as soon as it is written).
//
//   fw::http::Server server(io.get_executor(), {.port = 8080}, handler);
//   server.start();                 // binds and listens; throws std::system_error
//   ... io.run() on any number of threads ...
//   server.stop();
//
// What a client cannot do:
//   - send a head larger than `maxHeaderBytes` (answered 431) or a body larger than
//     `maxBodyBytes` (413), or an HTTP/1.1 request without Host (400), or bytes that are no HTTP
//     (400); each of these closes the connection after the answer;
//   - hold a connection by trickling its head: the whole head must arrive within
//     `headerTimeout` (the wait for the next request on a kept-alive connection included), and
//     the body within `bodyTimeout`; the connection is closed otherwise;
//   - stall the server by not reading: each write must finish within `writeTimeout`.
//   - frame a body in a way that could be misread: a Transfer-Encoding that does not end in
//     chunked, or any on HTTP/1.0, is answered 400 (other codings before chunked 501) and the
//     connection closed; a chunk line or trailer longer than the head limit is answered 400;
//   - fill the server with connections that send nothing: at `maxConnections`, and when the
//     system runs out of descriptors, the connection that has waited longest for a request head
//     is closed to make room (the accept loop rests a moment on EMFILE, ENFILE, ENOBUFS and
//     ENOMEM instead of spinning); connections being answered are never closed for a newcomer.
// Header names given twice are folded into one field, the values joined with ", ". HEAD is
// answered with the head a GET would get and no body. An HTTP/1.0 client gets no chunked
// framing: a body made of chunks ends with the connection. Connections use TCP keepalive, so a
// client that vanished without a word is noticed.
//
// Each connection runs on a strand of its own, so connections are served concurrently on all the
// threads that run the io_context. While a handler works and while a chunked body is written the
// server watches the connection: when the client goes away, the handler's coroutine is cancelled
// (its Asio cancellation slot), the chunk source is destroyed, and connectionClosed() follows.
// An optional keep-alive comment (": keep-alive") is written into a chunked event stream that
// has been quiet for `eventStreamKeepAlive`.
//
// Thread-safety: start() and stop() may be called from any thread; the handler is called on the
// connections' strands, concurrently for different connections.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/http/Headers.h"

namespace fw::http {

struct ServerRequest {
    std::string method;
    std::string target;  // as sent: the path and any query
    std::string path;    // the target without its query
    Headers headers;
    std::string body;
    // Identifies the connection among those open at the same time; connectionClosed() names it.
    std::uint64_t connection = 0;
};

struct ServerResponse {
    int status = 200;
    Headers headers;
    std::string body;
    // When set, the body is made of these chunks instead, each written as soon as it is given;
    // nothing ends the body.
    std::function<boost::asio::awaitable<std::optional<std::string>>()> nextChunk;
    // Called, before the chunk source is let go, when a body of chunks could not be written on
    // because the connection broke: a write failed or timed out, or the connection failed other
    // than by the client's close (a reset, a keepalive probe unanswered). Not called when the
    // body ends or the client closes the connection.
    std::function<void()> bodyBroken;
};

class ServerHandler {
public:
    virtual ~ServerHandler() = default;
    // Never awaited beyond the client's going away: then it is cancelled. An exception is
    // answered 500.
    virtual boost::asio::awaitable<ServerResponse> handle(ServerRequest request) = 0;
    // The connection `connection` has closed; called once per connection, on its strand.
    virtual void connectionClosed(std::uint64_t connection) { (void)connection; }
};

struct ServerOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: any free port (see Server::port())
    std::size_t maxHeaderBytes = 16 * 1024;
    std::size_t maxBodyBytes = 4 * 1024 * 1024;
    std::chrono::milliseconds headerTimeout = std::chrono::seconds(30);
    std::chrono::milliseconds bodyTimeout = std::chrono::seconds(30);
    std::chrono::milliseconds writeTimeout = std::chrono::seconds(30);
    std::size_t maxConnections = 4096;  // beyond it new connections are closed at once
    std::optional<std::chrono::milliseconds> eventStreamKeepAlive{};
};

class Server {
public:
    Server(boost::asio::any_io_executor executor, ServerOptions options,
           std::shared_ptr<ServerHandler> handler);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds, listens and begins accepting. Throws std::system_error (address in use, ...).
    void start();
    // Serves a connected stream socket accepted elsewhere (handed over by a service manager, or
    // one end of a socket pair), as if the server had accepted it; the server owns the
    // descriptor from then on and closes it. Throws std::system_error when it cannot be used.
    void adopt(int descriptor);
    // The port listened on (after start()).
    std::uint16_t port() const;
    // Stops accepting and closes every connection. Idempotent.
    void stop();

    std::size_t connectionCount() const;

private:
    class Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace fw::http
