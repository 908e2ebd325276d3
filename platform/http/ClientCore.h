// What stands behind fw::http::Client: connections, the exchange of one request and response,
// and the pool. Internal to platform/http (it pulls in Boost.Beast); include Client.h instead.
#pragma once

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/http/Client.h"

namespace fw::http::detail {

// The most a response head may take; a connection's buffer holds that and a little more, so
// that no chunk-size line, chunk extension or trailer can make it grow without end.
inline constexpr std::size_t kHeadLimit = 64 * 1024;
inline constexpr std::size_t kBufferLimit = kHeadLimit + 8 * 1024;

// Where a connection goes: scheme, host (an IPv6 address without brackets) and port.
struct Origin {
    bool secure = false;
    std::string host;
    std::uint16_t port = 0;
    bool hostIsAddress = false;

    bool operator==(const Origin&) const = default;
    std::string key() const;
    // host:port as people write it, with brackets around an IPv6 address.
    std::string display() const;
};

// Where a step of an exchange failed, for the text of its error.
enum class Phase { resolve, connect, handshake, write, head, body };

class Connection {
public:
    Connection(const boost::asio::any_io_executor& executor, boost::asio::ssl::context* tls,
               Origin origin);

    // Looks the host up, connects and, for https, shakes hands, all before `deadline`.
    boost::asio::awaitable<void> open(std::chrono::steady_clock::time_point deadline,
                                      std::chrono::milliseconds timeout,
                                      const std::atomic<bool>& shutDown);
    void close();
    bool isOpen() const;
    // Whether a connection that lies idle is fit to carry another request: nothing waits unread
    // in its buffer or its socket, and the server has not closed its side (a non-blocking peek).
    bool isQuiet();

    boost::beast::tcp_stream& tcp();

    // Calls `f` with the stream the bytes go through (the TCP stream or the TLS stream over it).
    template <class F>
    decltype(auto) withStream(F&& f) {
        if (tls_) {
            return f(*tls_);
        }
        return f(*plain_);
    }

    const Origin origin;
    boost::beast::flat_buffer buffer{kBufferLimit};
    bool reused = false;
    std::chrono::steady_clock::time_point idleSince{};

private:
    std::unique_ptr<boost::beast::tcp_stream> plain_;
    std::unique_ptr<boost::beast::ssl_stream<boost::beast::tcp_stream>> tls_;
    std::shared_ptr<boost::asio::ip::tcp::resolver> resolver_;
    std::shared_ptr<boost::asio::steady_timer> lookupTimer_;  // the wait for the name lookup
};

// Throws the exception for `code` met in `phase` on a connection to `origin`: Error, or
// operation_aborted when the request was cancelled (and the client not shut down).
[[noreturn]] void throwFailure(const Origin& origin, Phase phase, boost::system::error_code code,
                               std::chrono::milliseconds timeout, bool shutDown,
                               const std::string& detail = {});

std::string durationText(std::chrono::milliseconds duration);

class ClientCore;

// One response being read: the connection it came on and the parser that reads it.
class Exchange {
public:
    Exchange(std::shared_ptr<ClientCore> core, std::shared_ptr<Connection> connection,
             std::chrono::milliseconds idleTimeout);
    ~Exchange();

    boost::asio::awaitable<std::optional<std::span<const std::uint8_t>>> next();
    // Called once the head has been read: hands the connection back when the body is empty.
    void headRead();
    // Nothing: reads wait without limit.
    void setIdleTimeout(std::optional<std::chrono::milliseconds> timeout) {
        idleTimeout_ = timeout;
    }

    using Parser = boost::beast::http::response_parser<boost::beast::http::buffer_body>;
    // Starts reading a new head: the first, or the next after an interim (1xx) answer. The
    // answer to HEAD has no body, whatever its head says.
    Parser& startHead(bool answersHead);
    Parser& parser() { return *parser_; }

private:
    std::optional<Parser> parser_;
    void finishBody();

    std::shared_ptr<ClientCore> core_;
    std::shared_ptr<Connection> connection_;
    std::optional<std::chrono::milliseconds> idleTimeout_;
    std::unique_ptr<std::uint8_t[]> block_;  // made on the first read, left uninitialised
    std::size_t blockSize_ = 0;
    bool done_ = false;
    std::exception_ptr failure_;
};

class ClientCore : public std::enable_shared_from_this<ClientCore> {
public:
    ClientCore(boost::asio::any_io_executor executor, ClientOptions options);

    boost::asio::awaitable<Response> send(Request request);
    void shutdown();
    bool isShutDown() const { return shutDown_.load(); }

    // A connection back from a response read to its end, ready for another request.
    void release(std::shared_ptr<Connection> connection);
    // A connection that will not be used again.
    void discard(const std::shared_ptr<Connection>& connection);

    const boost::asio::any_io_executor executor;
    const ClientOptions options;

private:
    std::shared_ptr<Connection> takeIdle(const Origin& origin);
    std::vector<std::shared_ptr<Connection>> takeExpiredLocked();
    boost::asio::awaitable<Response> sendOnce(const Request& request, const std::string& url,
                                              bool& retryable);

    boost::asio::ssl::context tls_;
    std::atomic<bool> shutDown_{false};
    std::mutex mutex_;
    std::unordered_map<std::string, std::vector<std::shared_ptr<Connection>>> idle_;
    std::unordered_set<std::shared_ptr<Connection>> busy_;
};

}  // namespace fw::http::detail
