// fw::net::Connection: one byte-stream connection with states, the seam the MCP network transport
// drives. A connection is made for an endpoint but does nothing until start(); it then reports its
// states, in order, to its state handler, and once `ready` it carries bytes both ways.
//
//   auto connection = fw::net::makeConnection(fw::net::Endpoint::tcp("127.0.0.1", 8080));
//   connection->setStateUpdateHandler([](fw::net::ConnectionState state) { ... });
//   connection->start(strand);                 // preparing, then ready (or failed)
//   connection->send("hello\n", [](std::error_code error) { ... });
//   connection->receive(1, 65536, [](std::optional<std::string> bytes, bool isComplete,
//                                    std::error_code error) { ... });
//   connection->cancel();                      // cancelled; pending operations fail
//
// States: setup (made, never started), preparing (start() is establishing it: name look-up,
// connect, TLS handshake), ready, failed (with the error that ended it), cancelled. `waiting`
// (with an error) is a state other connections may report; the socket connections never do.
//
// Restarting: start() after cancel() or after a failure establishes the connection anew on a new
// socket; start() while preparing or ready does nothing. Operations of an earlier socket never
// complete on a later one: they end with operation_aborted when it is cancelled.
//
// Sends are ordered and whole: the bytes of one send() go out completely before those of the next
// begin, and each completion is called once, in order, with no error when the bytes have been
// handed to the system, or with the error that stopped them (a failed write fails the sends queued
// behind it too). A send() or receive() when not ready completes with ENOTCONN.
//
// receive(minimum, maximum) completes once with between `minimum` and `maximum` bytes (fewer than
// `minimum` only at the end), with isComplete true once the peer has finished sending (after the
// bytes that came before the end, possibly in the same completion), or with an error. One receive
// at a time.
//
// Errors are std::error_code values: the system's errno for socket failures (ECONNREFUSED,
// ECONNRESET, ENOTCONN, ...), OpenSSL's for TLS failures, operation_aborted (ECANCELED) for
// operations that a cancel() ended.
//
// Thread-safety: none of its own. Call every member from the executor passed to start(), which
// must run one handler at a time (a strand or a single-threaded io_context); the state handler
// and all completions run there, never inside the call that started them (before the first
// start(), the ENOTCONN completions run on the system executor).
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace fw::net {

struct ConnectionState {
    enum class Kind { setup, waiting, preparing, ready, failed, cancelled };

    Kind kind = Kind::setup;
    std::error_code error;  // for waiting and failed

    static ConnectionState setup() { return {Kind::setup, {}}; }
    static ConnectionState waiting(std::error_code error) { return {Kind::waiting, error}; }
    static ConnectionState preparing() { return {Kind::preparing, {}}; }
    static ConnectionState ready() { return {Kind::ready, {}}; }
    static ConnectionState failed(std::error_code error) { return {Kind::failed, error}; }
    static ConnectionState cancelled() { return {Kind::cancelled, {}}; }

    bool operator==(const ConnectionState&) const = default;
};

class Connection {
public:
    using StateHandler = std::function<void(ConnectionState)>;
    using SendCompletion = std::function<void(std::error_code)>;
    using ReceiveCompletion =
        std::function<void(std::optional<std::string> content, bool isComplete, std::error_code)>;

    virtual ~Connection() = default;

    virtual ConnectionState state() const = 0;
    // Called with every later state; an empty handler stops the calls.
    virtual void setStateUpdateHandler(StateHandler handler) = 0;
    virtual void start(boost::asio::any_io_executor executor) = 0;
    virtual void cancel() = 0;
    virtual void send(std::string bytes, SendCompletion completion) = 0;
    virtual void receive(std::size_t minimum, std::size_t maximum,
                         ReceiveCompletion completion) = 0;
};

// Where a socket connection goes.
struct Endpoint {
    enum class Kind { tcp, unixSocket };

    Kind kind = Kind::tcp;
    std::string host;  // a name or an IP address (IPv6 without brackets)
    std::uint16_t port = 0;
    std::string path;  // the Unix socket's path

    static Endpoint tcp(std::string host, std::uint16_t port) {
        return {Kind::tcp, std::move(host), port, {}};
    }
    static Endpoint unixSocket(std::string path) {
        return {Kind::unixSocket, {}, 0, std::move(path)};
    }
};

struct ConnectionOptions {
    // TLS over TCP, checked against the system's certificate store (or the authorities below)
    // with the host name or address of the endpoint.
    bool tls = false;
    std::optional<std::string> certificateAuthoritiesPEM;
};

// A TCP or Unix socket connection, with TCP keepalive and no Nagle delay on TCP. Throws
// std::runtime_error when the TLS certificate authorities cannot be loaded.
std::shared_ptr<Connection> makeConnection(Endpoint endpoint, ConnectionOptions options = {});

// The connection over a socket already connected (one a listener accepted), which it owns from
// now on. start() makes it ready at once; it cannot be established again: a start() after
// cancel() fails with ENOTCONN.
std::shared_ptr<Connection> adoptConnectedSocket(int descriptor);

}  // namespace fw::net
