// The HTTP client that the OAuth code, the HTTP client transport and EventSource/ share:
// HTTP/1.1 over TCP, or over TLS (OpenSSL) checked against the system's certificate store with
// SNI and host-name verification.
//
//   fw::http::Client client(executor);
//   fw::http::Request request{.method = "GET", .url = "https://example.org/events"};
//   fw::http::Response response = co_await client.send(std::move(request));  // the head
//   while (auto bytes = co_await response.body.next()) { use(*bytes); }          // the body
//
// send() completes as soon as the response head has arrived; the body follows as a sequence of
// byte blocks that may fail. Two timeouts apply: the connect timeout bounds everything up to
// the end of the head (name lookup, connect, TLS handshake, writing the request, the head);
// the idle timeout bounds each wait for body bytes (time without progress, not a total).
// Connections are kept alive and reused once a body has been read to its end; there is no cap
// per host, so long-lived streams never hold up other requests. An idle connection is looked at
// before reuse (one the server has closed is dropped), and a request whose reused connection
// fails before a single byte of an answer is sent once more on a new one, whatever its method.
// Interim answers (1xx but 101) are passed over; the response is the final one. No chunk line
// or trailer may be longer than the head limit allows: such a body fails as malformed. Redirects are not followed: a
// 3xx response comes back as it is, unless the request opts in to following 307 and 308 (or,
// as a browser's loader, every redirect) within its own origin (so an Authorization header never
// travels elsewhere).
//
// Failures are `Error` values with a complete sentence. Cancelling the awaiting coroutine
// (through its Asio cancellation slot) ends a send() or a next() with
// boost::system::system_error(boost::asio::error::operation_aborted) and drops the connection.
// shutdown() fails every open request and body read with `Error::Kind::shutDown` and refuses
// new ones.
//
// Thread-safety: the client runs on the executor given to it and starts no thread. Use it, its
// responses and their bodies from that executor, which must run one handler at a time (an
// io_context run by one thread, or a strand); shutdown() may be called from any thread. Copies of
// a Client share one connection pool.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/http/Headers.h"

namespace fw::http {

namespace detail {
class ClientCore;
class Exchange;
}  // namespace detail

// Why a request or a body read failed.
class Error : public std::runtime_error {
public:
    enum class Kind {
        invalidURL,         // not an absolute http or https URL
        connectFailed,      // name lookup or connection refused or unreachable
        tlsFailed,          // handshake or certificate check failed
        timedOut,           // the connect timeout or the idle timeout ran out
        connectionFailed,   // the connection broke or closed before the response was complete
        malformedResponse,  // the bytes were not a valid HTTP/1.1 response
        tooManyRedirects,   // an opted-in redirect chain went on too long
        shutDown,           // the client was shut down
    };

    Error(Kind kind, std::string message, std::error_code code = {})
        : std::runtime_error(std::move(message)), kind_(kind), code_(code) {}

    Kind kind() const noexcept { return kind_; }
    // The system or library error underneath, when there was one.
    std::error_code code() const noexcept { return code_; }

private:
    Kind kind_;
    std::error_code code_;
};

struct Request {
    std::string method = "GET";
    std::string url;  // absolute http:// or https:// URL
    Headers headers;
    std::string body;
    // Override the client's defaults for this request.
    std::optional<std::chrono::milliseconds> connectTimeout;
    std::optional<std::chrono::milliseconds> idleTimeout;
    // Follow 307 and 308 responses whose Location is in the request's own origin (same
    // scheme, host and port), at most 10 in a row, resending method, headers and body.
    bool followSameOriginRedirects = false;
    // Follow every redirect within the origin as a browser's loader does: 301, 302 and 303 as
    // well as 307 and 308, within the same count. A 303 turns any method but HEAD into a body-less
    // GET, and so do 301 and 302 after a POST; the rest resend the request as it was.
    bool followSameOriginRedirectsAsLoader = false;
};

// The body of a response: a sequence of non-empty byte blocks. Move-only; destroying it before
// its end closes the connection.
class ResponseBody {
public:
    ResponseBody() = default;
    ResponseBody(ResponseBody&&) noexcept;
    ResponseBody& operator=(ResponseBody&&) noexcept;
    ~ResponseBody();

    // The next block of bytes, valid until the next call or the body's destruction; nothing at
    // the end. Throws `Error` (or operation_aborted when cancelled). One call at a time.
    boost::asio::awaitable<std::optional<std::span<const std::uint8_t>>> next();

    // The whole rest of the body as text; fails with Error(malformedResponse) beyond `maxBytes`.
    boost::asio::awaitable<std::string> readAll(std::size_t maxBytes = std::size_t(64) << 20);

    // Replaces the idle timeout of the reads from now on; nothing waits without limit. For a
    // body whose kind shows only in the head, such as an event stream that may stay quiet long.
    void setIdleTimeout(std::optional<std::chrono::milliseconds> timeout);

private:
    friend class detail::ClientCore;
    explicit ResponseBody(std::shared_ptr<detail::Exchange> exchange);
    std::shared_ptr<detail::Exchange> exchange_;
};

struct Response {
    int status = 0;
    std::string reason;
    Headers headers;
    ResponseBody body;
    // The URL this response answered (differs from the request's after a followed redirect).
    std::string url;
};

struct ClientOptions {
    std::chrono::milliseconds connectTimeout = std::chrono::seconds(30);
    std::chrono::milliseconds idleTimeout = std::chrono::seconds(60);
    // PEM certificates to trust instead of the system's store (for a private certificate
    // authority); the system's store when nothing is given.
    std::optional<std::string> certificateAuthoritiesPEM;
    // Idle connections kept per origin, and how long one is kept.
    std::size_t maxIdleConnectionsPerOrigin = 8;
    std::chrono::milliseconds idleConnectionLifetime = std::chrono::seconds(30);
};

class Client {
public:
    // Throws std::runtime_error when the certificate authorities cannot be loaded.
    explicit Client(boost::asio::any_io_executor executor, ClientOptions options = {});

    // Sends the request and completes with the response head; the body is read from the
    // response. Throws `Error`, or operation_aborted when cancelled.
    boost::asio::awaitable<Response> send(Request request) const;

    // Fails every open request and body read and refuses new requests; closes idle
    // connections. Any thread; for all copies.
    void shutdown() const;

    const boost::asio::any_io_executor& executor() const;

private:
    std::shared_ptr<detail::ClientCore> core_;
};

}  // namespace fw::http
