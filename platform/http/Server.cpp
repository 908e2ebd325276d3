#include "platform/http/Server.h"

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
#include <boost/system/system_error.hpp>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <variant>

namespace fw::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using asio::ip::tcp;
using boost::system::error_code;
using namespace asio::experimental::awaitable_operators;

namespace {

constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

// An answer of the server's own, for a request it refuses before any handler sees it.
bhttp::response<bhttp::string_body> refusal(bhttp::status status, std::string text) {
    bhttp::response<bhttp::string_body> response(status, 11);
    response.set(bhttp::field::content_type, "text/plain; charset=utf-8");
    response.body() = std::move(text);
    response.keep_alive(false);
    response.prepare_payload();
    return response;
}

bool sameText(std::string_view a, std::string_view b) {
    return Headers::sameName(a, b);
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
        explicit Connection(tcp::socket socket) : stream(std::move(socket)) {}
        beast::tcp_stream stream;
        beast::flat_buffer buffer;
        std::uint64_t id = 0;
        error_code ignored;
    };

    static asio::awaitable<void> accept(std::shared_ptr<Impl> self) {
        for (;;) {
            auto [error, socket] =
                co_await self->acceptor_.async_accept(asio::make_strand(self->executor_), kTuple);
            if (error) {
                if (error == asio::error::operation_aborted || !self->acceptor_.is_open()) {
                    co_return;
                }
                continue;  // a connection that failed before it was accepted, or no descriptors
            }
            auto connection = std::make_shared<Connection>(std::move(socket));
            {
                std::lock_guard lock(self->mutex_);
                if (self->stopped_ || self->connections_.size() >= self->options_.maxConnections) {
                    connection->stream.socket().close(connection->ignored);
                    continue;
                }
                connection->id = ++self->lastConnection_;
                self->connections_.emplace(connection->id, connection);
            }
            connection->stream.socket().set_option(tcp::no_delay(true), connection->ignored);
            asio::co_spawn(connection->stream.get_executor(), serve(self, connection),
                           asio::detached);
        }
    }

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

            stream.expires_after(options_.headerTimeout);
            auto [headError, headBytes] =
                co_await bhttp::async_read_header(stream, connection.buffer, parser, kTuple);
            if (headError) {
                if (headError == bhttp::error::header_limit) {
                    co_await refuse(stream, bhttp::status::request_header_fields_too_large,
                                    "Request header fields too large.");
                } else if (headError == bhttp::error::body_limit) {
                    co_await refuse(stream, bhttp::status::payload_too_large,
                                    "Request body too large.");
                } else if (headError.category() ==
                               bhttp::make_error_code(bhttp::error::bad_method).category() &&
                           headError != bhttp::error::end_of_stream &&
                           headError != bhttp::error::partial_message) {
                    co_await refuse(stream, bhttp::status::bad_request, "Malformed HTTP request.");
                }
                co_return;  // timed out, closed, or refused
            }
            auto& head = parser.get();
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
                clean = co_await writeChunked(connection, response, version, keepAlive);
            } else {
                clean = co_await writeWhole(stream, response, version, keepAlive);
            }
            if (!clean || !keepAlive) {
                co_return;
            }
        }
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
            auto space = connection.buffer.prepare(4096);
            auto [error, count] =
                co_await connection.stream.socket().async_read_some(space, kTuple);
            if (error) {
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

    asio::awaitable<bool> writeWhole(beast::tcp_stream& stream, ServerResponse& response,
                                     unsigned version, bool keepAlive) {
        bhttp::response<bhttp::string_body> message(static_cast<bhttp::status>(response.status),
                                                    version);
        copyHeaders(message, response.headers, keepAlive);
        message.body() = std::move(response.body);
        message.prepare_payload();
        stream.expires_after(options_.writeTimeout);
        auto [error, written] = co_await bhttp::async_write(stream, message, kTuple);
        stream.expires_never();
        co_return !error;
    }

    asio::awaitable<bool> writeChunked(Connection& connection, ServerResponse& response,
                                       unsigned version, bool keepAlive) {
        beast::tcp_stream& stream = connection.stream;
        bhttp::response<bhttp::empty_body> message(static_cast<bhttp::status>(response.status),
                                                   version);
        copyHeaders(message, response.headers, keepAlive);
        message.chunked(true);
        bhttp::response_serializer<bhttp::empty_body> serializer(message);
        stream.expires_after(options_.writeTimeout);
        auto [error, written] = co_await bhttp::async_write_header(stream, serializer, kTuple);
        if (error) {
            co_return false;
        }
        stream.expires_never();
        auto outcome = co_await (pumpChunks(stream, response) || watchPeer(connection));
        // Whoever reads the chunks learns that nobody writes them any more.
        response.nextChunk = nullptr;
        co_return outcome.index() == 0 && std::get<0>(outcome);
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
    asio::awaitable<bool> pumpChunks(beast::tcp_stream& stream, ServerResponse& response) {
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
            auto [error, written] =
                co_await asio::async_write(stream, bhttp::make_chunk(asio::buffer(*chunk)), kTuple);
            stream.expires_never();
            if (error) {
                co_return false;
            }
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
