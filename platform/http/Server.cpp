#include "platform/http/Server.h"

#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/chunk_encode.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <atomic>
#include <cerrno>
#include <boost/system/system_error.hpp>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <variant>

#include "platform/http/KeepAlive.h"

namespace fw::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using asio::ip::tcp;
using boost::system::error_code;
using namespace asio::experimental::awaitable_operators;

namespace {

constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

// A connection's buffer holds a head (up to the head limit) and this much more: a chunk-size
// line, a chunk extension or a trailer never needs more, however long a client makes it.
constexpr std::size_t kBufferMargin = 8 * 1024;

// How long the accept loop rests when the system has no descriptor or memory to spare: the
// waiting connections stay queued, and trying again at once would only spin.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

bool isResourceShortage(const error_code& error) {
    if (error.category() != boost::system::system_category()) {
        return false;
    }
    switch (error.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return true;
    default:
        return false;
    }
}

bool sameText(std::string_view a, std::string_view b) {
    return Headers::sameName(a, b);
}

// The last transfer coding of a request and the first before it, from all its
// Transfer-Encoding fields: "gzip, chunked" gives {"chunked", "gzip"}.
struct TransferCodings {
    std::string last;
    std::string first;  // the first one before the last, when there is one
    bool chunkedBefore = false;  // chunked came before the last coding
};

TransferCodings transferCodings(const bhttp::fields& head) {
    TransferCodings codings;
    for (const auto& field : head) {
        if (field.name() != bhttp::field::transfer_encoding) {
            continue;
        }
        std::string_view rest = field.value();
        while (!rest.empty()) {
            auto comma = rest.find(',');
            std::string_view item = rest.substr(0, comma);
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            // Parameters (";q=...") belong to the coding; blanks around it do not.
            while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) {
                item.remove_prefix(1);
            }
            while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) {
                item.remove_suffix(1);
            }
            if (item.empty()) {
                continue;
            }
            if (!codings.last.empty()) {
                if (codings.first.empty()) {
                    codings.first = codings.last;
                }
                codings.chunkedBefore = codings.chunkedBefore || sameText(codings.last, "chunked");
            }
            codings.last = std::string(item);
        }
    }
    return codings;
}

// An answer of the server's own, for a request it refuses before any handler sees it.
bhttp::response<bhttp::string_body> refusal(bhttp::status status, std::string text) {
    bhttp::response<bhttp::string_body> response(status, 11);
    response.set(bhttp::field::content_type, "text/plain; charset=utf-8");
    response.body() = std::move(text);
    response.keep_alive(false);
    response.prepare_payload();
    return response;
}

}  // namespace

class Server::Impl : public std::enable_shared_from_this<Server::Impl> {
public:
    Impl(asio::any_io_executor executor, ServerOptions options,
         std::shared_ptr<ServerHandler> handler)
        : executor_(std::move(executor)),
          options_(std::move(options)),
          handler_(std::move(handler)),
          acceptor_(asio::make_strand(executor_)) {}

    void start() {
        tcp::endpoint endpoint(asio::ip::make_address(options_.address), options_.port);
        acceptor_.open(endpoint.protocol());
        acceptor_.set_option(asio::socket_base::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen();
        port_ = acceptor_.local_endpoint().port();
        asio::co_spawn(acceptor_.get_executor(), accept(shared_from_this()), asio::detached);
    }

    std::uint16_t port() const { return port_; }

    void stop() {
        asio::post(acceptor_.get_executor(), [self = shared_from_this()] {
            error_code ignored;
            self->acceptor_.close(ignored);
        });
        std::unordered_map<std::uint64_t, std::weak_ptr<Connection>> connections;
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
            connections = connections_;
        }
        for (auto& [id, weak] : connections) {
            if (auto connection = weak.lock()) {
                asio::post(connection->stream.get_executor(), [connection] {
                    connection->stream.socket().close(connection->ignored);
                });
            }
        }
    }

    std::size_t connectionCount() const {
        std::lock_guard lock(mutex_);
        return connections_.size();
    }

private:
    struct Connection {
        Connection(tcp::socket socket, std::size_t bufferLimit)
            : stream(std::move(socket)), buffer(bufferLimit) {}
        beast::tcp_stream stream;
        beast::flat_buffer buffer;
        std::uint64_t id = 0;
        error_code ignored;
        // While the connection waits for a request head (its first, or the next on a kept-alive
        // connection), and since when: such a connection gives way to a newcomer when the
        // server is full. Read by the accept loop, so atomic.
        std::atomic<bool> awaitingHead{true};
        std::atomic<std::chrono::steady_clock::rep> awaitingSince{
            std::chrono::steady_clock::now().time_since_epoch().count()};
        std::atomic<bool> evicted{false};
        // The client closed its side (or the connection broke) while a request was answered:
        // no further request can come, and a read would wait for an event that has passed.
        bool peerGone = false;
        // The connection failed (reset, timed out, unreachable) rather than being closed.
        bool peerBroke = false;

        void setAwaitingHead(bool awaiting) {
            if (awaiting) {
                awaitingSince = std::chrono::steady_clock::now().time_since_epoch().count();
            }
            awaitingHead = awaiting;
        }
    };

    std::size_t bufferLimit() const { return options_.maxHeaderBytes + kBufferMargin; }

    // Closes the connection that has waited longest for a request head, if there is one; true
    // when one is closing. Called with `mutex_` held.
    bool evictWaitingConnectionLocked() {
        std::shared_ptr<Connection> oldest;
        for (auto& [id, weak] : connections_) {
            auto connection = weak.lock();
            if (!connection || !connection->awaitingHead || connection->evicted) {
                continue;
            }
            if (!oldest || connection->awaitingSince < oldest->awaitingSince) {
                oldest = std::move(connection);
            }
        }
        if (!oldest) {
            return false;
        }
        oldest->evicted = true;
        asio::post(oldest->stream.get_executor(), [oldest] {
            // Unless a head came meanwhile: then it is being answered and stays.
            if (oldest->awaitingHead) {
                oldest->stream.socket().close(oldest->ignored);
            }
        });
        return true;
    }

    static asio::awaitable<void> accept(std::shared_ptr<Impl> self) {
        for (;;) {
            auto [error, socket] =
                co_await self->acceptor_.async_accept(asio::make_strand(self->executor_), kTuple);
            if (error) {
                if (error == asio::error::operation_aborted || !self->acceptor_.is_open()) {
                    co_return;
                }
                if (isResourceShortage(error)) {
                    // Connections that never sent a head are the likeliest to be holding the
                    // descriptors; one of them makes room for whoever waits to come in.
                    {
                        std::lock_guard lock(self->mutex_);
                        self->evictWaitingConnectionLocked();
                    }
                    asio::steady_timer pause(self->acceptor_.get_executor(), kAcceptPause);
                    co_await pause.async_wait(kTuple);
                }
                continue;  // a connection that failed before it was accepted
            }
            admit(self, std::move(socket));
        }
    }

    // Serves a connection from now on, unless the server is stopped or full.
    static void admit(const std::shared_ptr<Impl>& self, tcp::socket socket) {
        auto connection = std::make_shared<Connection>(std::move(socket), self->bufferLimit());
        {
            std::lock_guard lock(self->mutex_);
            if (self->stopped_ || (self->connections_.size() >= self->options_.maxConnections &&
                                   !self->evictWaitingConnectionLocked())) {
                connection->stream.socket().close(connection->ignored);
                return;
            }
            connection->id = ++self->lastConnection_;
            self->connections_.emplace(connection->id, connection);
        }
        // Neither option applies to a stream that is no TCP connection; that is no fault.
        connection->stream.socket().set_option(tcp::no_delay(true), connection->ignored);
        detail::enableKeepAliveProbes(connection->stream.socket());
        asio::co_spawn(connection->stream.get_executor(), serve(self, connection), asio::detached);
    }

public:
    void adopt(int descriptor) {
        tcp::socket socket(asio::make_strand(executor_));
        error_code error;
        socket.assign(tcp::v4(), descriptor, error);
        if (error) {
            ::close(descriptor);
            throw std::system_error(error);
        }
        admit(shared_from_this(), std::move(socket));
    }

private:

    static asio::awaitable<void> serve(std::shared_ptr<Impl> self,
                                       std::shared_ptr<Connection> connection) {
        try {
            co_await self->exchanges(*connection);
        } catch (...) {
            // A connection that fails in an unforeseen way ends alone; the server goes on.
        }
        connection->stream.socket().shutdown(tcp::socket::shutdown_both, connection->ignored);
        connection->stream.socket().close(connection->ignored);
        {
            std::lock_guard lock(self->mutex_);
            self->connections_.erase(connection->id);
        }
        self->handler_->connectionClosed(connection->id);
    }

    // Serves requests on one connection until it closes or must be closed.
    asio::awaitable<void> exchanges(Connection& connection) {
        beast::tcp_stream& stream = connection.stream;
        for (;;) {
            bhttp::request_parser<bhttp::string_body> parser;
            parser.header_limit(static_cast<std::uint32_t>(
                std::min<std::size_t>(options_.maxHeaderBytes, UINT32_MAX)));
            parser.body_limit(options_.maxBodyBytes);

            connection.setAwaitingHead(true);
            stream.expires_after(options_.headerTimeout);
            auto [headError, headBytes] =
                co_await bhttp::async_read_header(stream, connection.buffer, parser, kTuple);
            connection.setAwaitingHead(false);
            if (headError) {
                if (headError == bhttp::error::header_limit) {
                    co_await refuse(stream, bhttp::status::request_header_fields_too_large,
                                    "Request header fields too large.");
                } else if (headError == bhttp::error::body_limit) {
                    co_await refuse(stream, bhttp::status::payload_too_large,
                                    "Request body too large.");
                } else if (isMalformed(headError)) {
                    co_await refuse(stream, bhttp::status::bad_request, "Malformed HTTP request.");
                }
                co_return;  // timed out, closed, or refused
            }
            auto& head = parser.get();
            if (auto refused = framingRefusal(head)) {
                co_await refuse(stream, refused->first, std::move(refused->second));
                co_return;
            }
            if (auto expect = head.find(bhttp::field::expect);
                expect != head.end() && sameText(expect->value(), "100-continue")) {
                bhttp::response<bhttp::empty_body> goOn(bhttp::status::continue_, head.version());
                stream.expires_after(options_.writeTimeout);
                auto [writeError, written] = co_await bhttp::async_write(stream, goOn, kTuple);
                if (writeError) {
                    co_return;
                }
            }
            if (!parser.is_done()) {
                stream.expires_after(options_.bodyTimeout);
                auto [bodyError, bodyBytes] =
                    co_await bhttp::async_read(stream, connection.buffer, parser, kTuple);
                if (bodyError) {
                    if (bodyError == bhttp::error::body_limit) {
                        co_await refuse(stream, bhttp::status::payload_too_large,
                                        "Request body too large.");
                    } else if (bodyError == bhttp::error::buffer_overflow) {
                        co_await refuse(stream, bhttp::status::bad_request,
                                        "Malformed HTTP request: a chunk line or trailer is too "
                                        "long.");
                    } else if (isMalformed(bodyError)) {
                        co_await refuse(stream, bhttp::status::bad_request,
                                        "Malformed HTTP request.");
                    }
                    co_return;
                }
            }
            stream.expires_never();
            bhttp::request<bhttp::string_body> message = parser.release();
            if (message.version() >= 11 && message.find(bhttp::field::host) == message.end()) {
                co_await refuse(stream, bhttp::status::bad_request,
                                "An HTTP/1.1 request needs a Host header.");
                co_return;
            }
            const bool keepAlive = message.keep_alive();
            const unsigned version = message.version();
            const bool headOnly = message.method() == bhttp::verb::head;

            ServerRequest request;
            request.method = std::string(message.method_string());
            request.target = std::string(message.target());
            request.path = request.target.substr(0, request.target.find('?'));
            for (const auto& field : message) {
                request.headers.add(field.name_string(), field.value());
            }
            request.body = std::move(message.body());
            request.connection = connection.id;

            auto outcome = co_await (respond(std::move(request)) || watchPeer(connection));
            if (outcome.index() == 1) {
                co_return;  // the client went away while the handler worked
            }
            ServerResponse response = std::move(std::get<0>(outcome));
            bool clean = false;
            if (response.nextChunk) {
                clean = co_await writeChunked(connection, response, version, keepAlive, headOnly);
            } else {
                clean = co_await writeWhole(stream, response, version, keepAlive, headOnly);
            }
            if (!clean || !keepAlive || connection.peerGone) {
                co_return;
            }
        }
    }

    // Bytes that are no HTTP request (rather than a connection that closed or failed).
    static bool isMalformed(const error_code& error) {
        return error.category() == bhttp::make_error_code(bhttp::error::bad_method).category() &&
               error != bhttp::error::end_of_stream && error != bhttp::error::partial_message;
    }

    // The answer to a request whose body cannot be framed safely, if it is one: a body read
    // wrongly would be read as the next request.
    static std::optional<std::pair<bhttp::status, std::string>> framingRefusal(
        const bhttp::request_parser<bhttp::string_body>::value_type& head) {
        if (head.find(bhttp::field::transfer_encoding) == head.end()) {
            return std::nullopt;
        }
        if (head.version() < 11) {
            return std::pair(bhttp::status::bad_request,
                             std::string("An HTTP/1.0 request cannot have a Transfer-Encoding."));
        }
        TransferCodings codings = transferCodings(head);
        if (!sameText(codings.last, "chunked") || codings.chunkedBefore) {
            return std::pair(
                bhttp::status::bad_request,
                std::string("The request's Transfer-Encoding must end in chunked, applied once."));
        }
        if (!codings.first.empty()) {
            return std::pair(bhttp::status::not_implemented,
                             "The transfer coding \"" + codings.first + "\" is not supported.");
        }
        return std::nullopt;
    }

    // The handler's response, or a 500 when it fails: never an exception, so that the race with
    // watchPeer() ends with whichever finishes first.
    asio::awaitable<ServerResponse> respond(ServerRequest request) {
        try {
            co_return co_await handler_->handle(std::move(request));
        } catch (...) {
        }
        ServerResponse failed;
        failed.status = 500;
        failed.headers.set("Content-Type", "text/plain; charset=utf-8");
        failed.body = "Internal server error.";
        co_return failed;
    }

    // Ends when the client closes or breaks the connection. Bytes it sends meanwhile (a
    // pipelined request) are kept for the next read; beyond the head limit they wait unread.
    asio::awaitable<void> watchPeer(Connection& connection) {
        for (;;) {
            if (connection.buffer.size() >= options_.maxHeaderBytes) {
                asio::steady_timer never(connection.stream.get_executor(),
                                         asio::steady_timer::time_point::max());
                co_await never.async_wait(kTuple);
                co_return;
            }
            auto space = connection.buffer.prepare(
                std::min<std::size_t>(4096, connection.buffer.max_size() - connection.buffer.size()));
            auto [error, count] =
                co_await connection.stream.socket().async_read_some(space, kTuple);
            if (error) {
                if (error != asio::error::operation_aborted) {
                    connection.peerGone = true;  // and stays so: the end is read only once
                    connection.peerBroke = error != asio::error::eof;
                }
                co_return;
            }
            connection.buffer.commit(count);
        }
    }

    // The handler's headers as given ("Connection: keep-alive" included), unless the
    // connection is to close after this response.
    template <class Message>
    static void copyHeaders(Message& message, const Headers& headers, bool keepAlive) {
        message.keep_alive(keepAlive);
        for (const auto& [name, value] : headers) {
            if (keepAlive || !sameText(name, "Connection")) {
                message.set(name, value);
            }
        }
    }

    // The answer to HEAD is the head a GET would get, without its body.
    asio::awaitable<bool> writeWhole(beast::tcp_stream& stream, ServerResponse& response,
                                     unsigned version, bool keepAlive, bool headOnly) {
        bhttp::response<bhttp::string_body> message(static_cast<bhttp::status>(response.status),
                                                    version);
        copyHeaders(message, response.headers, keepAlive);
        message.body() = std::move(response.body);
        message.prepare_payload();
        stream.expires_after(options_.writeTimeout);
        error_code error;
        if (headOnly) {
            bhttp::response_serializer<bhttp::string_body> serializer(message);
            std::tie(error, std::ignore) =
                co_await bhttp::async_write_header(stream, serializer, kTuple);
        } else {
            std::tie(error, std::ignore) = co_await bhttp::async_write(stream, message, kTuple);
        }
        stream.expires_never();
        co_return !error;
    }

    // An HTTP/1.0 client knows no chunks: its body ends when the connection closes. The answer
    // to HEAD is the head alone.
    asio::awaitable<bool> writeChunked(Connection& connection, ServerResponse& response,
                                       unsigned version, bool keepAlive, bool headOnly) {
        beast::tcp_stream& stream = connection.stream;
        const bool chunked = version >= 11;
        bhttp::response<bhttp::empty_body> message(static_cast<bhttp::status>(response.status),
                                                   version);
        copyHeaders(message, response.headers, keepAlive && chunked);
        message.chunked(chunked);
        bhttp::response_serializer<bhttp::empty_body> serializer(message);
        stream.expires_after(options_.writeTimeout);
        auto [error, written] = co_await bhttp::async_write_header(stream, serializer, kTuple);
        stream.expires_never();
        if (error || headOnly) {
            if (error && response.bodyBroken) {
                response.bodyBroken();
            }
            response.nextChunk = nullptr;
            co_return !error && chunked;
        }
        auto outcome = co_await (pumpChunks(stream, response, chunked) || watchPeer(connection));
        // A write that timed out closes the socket, which may end the watch first (aborted, so
        // without a peer's end seen): that is a break as much as a reset is.
        const bool broken = outcome.index() == 0
                                ? !std::get<0>(outcome)
                                : connection.peerBroke || !connection.peerGone;
        if (broken && response.bodyBroken) {
            response.bodyBroken();
        }
        // Whoever reads the chunks learns that nobody writes them any more.
        response.nextChunk = nullptr;
        co_return chunked && outcome.index() == 0 && std::get<0>(outcome);
    }

    // One read of the chunk source, kept across keep-alive ticks: a chunk that comes just as a
    // tick fires waits for the next round instead of being lost in a race between the two.
    struct PendingChunk {
        explicit PendingChunk(const asio::any_io_executor& executor)
            : ready(executor, asio::steady_timer::time_point::max()) {}
        asio::steady_timer ready;  // its wait ends early when the read completes
        asio::cancellation_signal cancel;
        bool reading = false;
        bool done = false;
        std::optional<std::string> chunk;
    };

    // Ends a read still running when the body is abandoned (the client went away), so that
    // the source learns it has no reader any more.
    struct PendingChunkGuard {
        std::shared_ptr<PendingChunk> pending;
        ~PendingChunkGuard() {
            if (pending->reading) {
                pending->cancel.emit(asio::cancellation_type::terminal);
            }
        }
    };

    static void startRead(const asio::any_io_executor& executor,
                          const std::shared_ptr<PendingChunk>& pending,
                          const ServerResponse& response) {
        pending->reading = true;
        pending->done = false;
        asio::co_spawn(
            executor,
            [pending, next = response.nextChunk]() -> asio::awaitable<void> {
                try {
                    pending->chunk = co_await next();
                } catch (...) {
                    pending->chunk.reset();  // a source that fails ends the body like one that ends
                }
                pending->reading = false;
                pending->done = true;
                pending->ready.cancel();
            },
            asio::bind_cancellation_slot(pending->cancel.slot(), asio::detached));
    }

    // The next chunk, or a keep-alive comment when the source stays quiet for the interval.
    asio::awaitable<std::optional<std::string>> nextChunkOrComment(
        const std::shared_ptr<PendingChunk>& pending, const ServerResponse& response) {
        if (!pending->reading && !pending->done) {
            startRead(co_await asio::this_coro::executor, pending, response);
        }
        if (!pending->done) {
            pending->ready.expires_after(*options_.eventStreamKeepAlive);
            auto [code] = co_await pending->ready.async_wait(kTuple);
            if (!pending->done) {
                if (code == asio::error::operation_aborted) {
                    throw boost::system::system_error(code);  // the body was abandoned
                }
                co_return std::string(": keep-alive\n\n");
            }
        }
        pending->done = false;
        co_return std::move(pending->chunk);
    }

    // Writes the chunks as they come, and the last chunk at their end; false when a write
    // failed.
    asio::awaitable<bool> pumpChunks(beast::tcp_stream& stream, ServerResponse& response,
                                     bool chunked) {
        PendingChunkGuard guard{std::make_shared<PendingChunk>(stream.get_executor())};
        for (;;) {
            std::optional<std::string> chunk;
            if (options_.eventStreamKeepAlive) {
                chunk = co_await nextChunkOrComment(guard.pending, response);
            } else {
                try {
                    chunk = co_await response.nextChunk();
                } catch (...) {
                    chunk.reset();  // a source that fails ends the body like one that ends
                }
            }
            if (!chunk) {
                break;
            }
            if (chunk->empty()) {
                continue;  // an empty chunk would end the body
            }
            stream.expires_after(options_.writeTimeout);
            error_code error;
            if (chunked) {
                std::tie(error, std::ignore) = co_await asio::async_write(
                    stream, bhttp::make_chunk(asio::buffer(*chunk)), kTuple);
            } else {
                std::tie(error, std::ignore) =
                    co_await asio::async_write(stream, asio::buffer(*chunk), kTuple);
            }
            stream.expires_never();
            if (error) {
                co_return false;
            }
        }
        if (!chunked) {
            co_return true;
        }
        stream.expires_after(options_.writeTimeout);
        auto [error, written] = co_await asio::async_write(stream, bhttp::make_chunk_last(), kTuple);
        stream.expires_never();
        co_return !error;
    }

    asio::awaitable<void> refuse(beast::tcp_stream& stream, bhttp::status status,
                                 std::string text) {
        auto response = refusal(status, std::move(text));
        stream.expires_after(options_.writeTimeout);
        co_await bhttp::async_write(stream, response, kTuple);
    }

    asio::any_io_executor executor_;
    const ServerOptions options_;
    const std::shared_ptr<ServerHandler> handler_;
    tcp::acceptor acceptor_;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    bool stopped_ = false;
    std::uint64_t lastConnection_ = 0;
    std::unordered_map<std::uint64_t, std::weak_ptr<Connection>> connections_;
};

Server::Server(asio::any_io_executor executor, ServerOptions options,
               std::shared_ptr<ServerHandler> handler)
    : impl_(std::make_shared<Impl>(std::move(executor), std::move(options), std::move(handler))) {}

Server::~Server() {
    impl_->stop();
}

void Server::start() {
    impl_->start();
}

void Server::adopt(int descriptor) {
    impl_->adopt(descriptor);
}

std::uint16_t Server::port() const {
    return impl_->port();
}

void Server::stop() {
    impl_->stop();
}

std::size_t Server::connectionCount() const {
    return impl_->connectionCount();
}

}  // namespace fw::http
