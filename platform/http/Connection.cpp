// Opening and closing one connection, and the texts of its failures.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

#include <cerrno>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/system/system_error.hpp>

#include "platform/http/ClientCore.h"
#include "platform/http/KeepAlive.h"
#include "platform/http/Tls.h"

namespace fw::http::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
using boost::system::error_code;

std::string Origin::key() const {
    return (secure ? "https://" : "http://") + display();
}

std::string Origin::display() const {
    bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

namespace {

// The text of an error without the library's decoration: OpenSSL's reason alone
// ("certificate verify failed"), the system's text otherwise ("Connection refused").
std::string errorText(const error_code& code) {
    if (code.category() == asio::error::get_ssl_category()) {
        if (const char* reason = ERR_reason_error_string(static_cast<unsigned long>(code.value()))) {
            return reason;
        }
    }
    return code.message();
}

}  // namespace

std::string durationText(std::chrono::milliseconds duration) {
    auto count = duration.count();
    if (count % 1000 == 0) {
        return std::to_string(count / 1000) + (count == 1000 ? " second" : " seconds");
    }
    return std::to_string(count) + (count == 1 ? " millisecond" : " milliseconds");
}

Connection::Connection(const asio::any_io_executor& executor, asio::ssl::context* tls,
                       Origin origin)
    : origin(std::move(origin)) {
    if (tls) {
        tls_ = std::make_unique<beast::ssl_stream<beast::tcp_stream>>(executor, *tls);
    } else {
        plain_ = std::make_unique<beast::tcp_stream>(executor);
    }
}

beast::tcp_stream& Connection::tcp() { return tls_ ? beast::get_lowest_layer(*tls_) : *plain_; }

bool Connection::isOpen() const {
    return tls_ ? beast::get_lowest_layer(*tls_).socket().is_open() : plain_->socket().is_open();
}

bool Connection::isQuiet() {
    if (buffer.size() != 0) {
        return false;  // bytes the server sent beyond its answer
    }
    std::uint8_t byte = 0;
    ssize_t got = ::recv(tcp().socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    // 0 is the server's FIN; a byte is an answer nobody asked for, or (over TLS) its
    // close_notify; either way the connection carries no further request.
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

void Connection::close() {
    if (resolver_) {
        resolver_->cancel();
    }
    if (lookupTimer_) {
        lookupTimer_->cancel();
    }
    error_code ignored;
    tcp().socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    tcp().close();
}

asio::awaitable<void> Connection::open(std::chrono::steady_clock::time_point deadline,
                                       std::chrono::milliseconds timeout,
                                       const std::atomic<bool>& shutDown) {
    auto executor = co_await asio::this_coro::executor;
    asio::ip::tcp::resolver::results_type endpoints;
    if (origin.hostIsAddress) {
        auto address = asio::ip::make_address(origin.host);
        endpoints = asio::ip::tcp::resolver::results_type::create(
            asio::ip::tcp::endpoint(address, origin.port), origin.host, std::to_string(origin.port));
    } else {
        // The resolver has no timeout of its own, and cancelling it does not stop a lookup
        // already under way (it runs to its end on the resolver's thread): the wait for it is a
        // timer's, which its completion cuts short. A lookup still running at the deadline
        // finishes unheard.
        struct Lookup {
            explicit Lookup(const asio::any_io_executor& executor) : timer(executor) {}
            asio::steady_timer timer;
            bool done = false;
            error_code code;
            asio::ip::tcp::resolver::results_type results;
        };
        resolver_ = std::make_shared<asio::ip::tcp::resolver>(executor);
        auto lookup = std::make_shared<Lookup>(executor);
        lookup->timer.expires_at(deadline);
        lookupTimer_ = std::shared_ptr<asio::steady_timer>(lookup, &lookup->timer);
        resolver_->async_resolve(
            origin.host, std::to_string(origin.port),
            [lookup, resolver = resolver_](error_code code,
                                           asio::ip::tcp::resolver::results_type results) {
                lookup->done = true;
                lookup->code = code;
                lookup->results = std::move(results);
                lookup->timer.cancel();
            });
        auto [waitCode] = co_await lookup->timer.async_wait(asio::as_tuple(asio::use_awaitable));
        resolver_->cancel();
        resolver_.reset();
        lookupTimer_.reset();
        if (!lookup->done) {
            // The deadline came, or the request was cancelled while it waited.
            throwFailure(origin, Phase::resolve,
                         waitCode ? error_code(asio::error::operation_aborted)
                                  : error_code(beast::error::timeout),
                         timeout, shutDown.load());
        }
        if (lookup->code) {
            throwFailure(origin, Phase::resolve, lookup->code, timeout, shutDown.load());
        }
        auto results = std::move(lookup->results);
        endpoints = std::move(results);
    }
    if (shutDown.load()) {
        throwFailure(origin, Phase::connect, asio::error::operation_aborted, timeout, true);
    }
    tcp().expires_at(deadline);
    auto [connectCode, endpoint] =
        co_await tcp().async_connect(endpoints, asio::as_tuple(asio::use_awaitable));
    if (connectCode) {
        throwFailure(origin, Phase::connect, connectCode, timeout, shutDown.load());
    }
    tcp().socket().set_option(asio::ip::tcp::no_delay(true));
    // A response may be a stream that stays quiet for long: keepalive tells a quiet server from
    // one that vanished.
    enableKeepAliveProbes(tcp().socket());
    if (!tls_) {
        co_return;
    }
    SSL* ssl = tls_->native_handle();
    prepareClientHandshake(ssl, origin.host, origin.hostIsAddress);
    auto [handshakeCode] = co_await tls_->async_handshake(asio::ssl::stream_base::client,
                                                          asio::as_tuple(asio::use_awaitable));
    if (handshakeCode) {
        std::string detail;
        long verify = SSL_get_verify_result(ssl);
        if (verify != X509_V_OK) {
            detail = X509_verify_cert_error_string(verify);
        }
        throwFailure(origin, Phase::handshake, handshakeCode, timeout, shutDown.load(), detail);
    }
}

void throwFailure(const Origin& origin, Phase phase, error_code code,
                  std::chrono::milliseconds timeout, bool shutDown, const std::string& detail) {
    using Kind = Error::Kind;
    const std::string where = origin.display();
    if (shutDown) {
        throw Error(Kind::shutDown, "The HTTP client was shut down.", code);
    }
    if (code == asio::error::operation_aborted) {
        throw boost::system::system_error(code);
    }
    if (code == beast::http::error::buffer_overflow) {
        throw Error(Kind::malformedResponse,
                    "The server at " + where +
                        " sent a malformed HTTP response: a chunk line or trailer is too long.",
                    code);
    }
    if (code == beast::error::timeout) {
        if (phase == Phase::body) {
            throw Error(Kind::timedOut,
                        "The server at " + where + " sent nothing for " + durationText(timeout) +
                            ".",
                        code);
        }
        throw Error(Kind::timedOut,
                    "The server at " + where + " did not answer within " + durationText(timeout) +
                        ".",
                    code);
    }
    switch (phase) {
    case Phase::resolve:
        throw Error(Kind::connectFailed,
                    "Could not find the server " + origin.host + ": " + errorText(code) + ".",
                    code);
    case Phase::connect:
        throw Error(Kind::connectFailed,
                    "Could not connect to " + where + ": " + errorText(code) + ".", code);
    case Phase::handshake:
        throw Error(Kind::tlsFailed,
                    "The secure connection to " + where + " failed: " + errorText(code) +
                        (detail.empty() ? "" : " (" + detail + ")") + ".",
                    code);
    case Phase::write:
    case Phase::head:
    case Phase::body:
        break;
    }
    if (code.category() == beast::http::make_error_code(beast::http::error::bad_version).category() &&
        code != beast::http::error::end_of_stream && code != beast::http::error::partial_message) {
        throw Error(Kind::malformedResponse,
                    "The server at " + where + " sent a malformed HTTP response: " +
                        errorText(code) + ".",
                    code);
    }
    if (code == asio::error::eof || code == beast::http::error::end_of_stream ||
        code == beast::http::error::partial_message || code == asio::ssl::error::stream_truncated) {
        throw Error(Kind::connectionFailed,
                    "The connection to " + where +
                        " closed before the response was complete.",
                    code);
    }
    throw Error(Kind::connectionFailed,
                "The connection to " + where + " failed: " + errorText(code) + ".", code);
}

}  // namespace fw::http::detail
