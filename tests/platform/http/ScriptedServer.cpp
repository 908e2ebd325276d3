#include "tests/platform/http/ScriptedServer.h"

#include <atomic>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <thread>

namespace fw::http::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
using asio::ip::tcp;

struct ScriptedServer::State : std::enable_shared_from_this<State> {
    // Pending coroutines hold the state: destroying the context (in ~ScriptedServer) frees
    // them, and the acceptor goes before its context.
    std::unique_ptr<asio::io_context> context = std::make_unique<asio::io_context>();
    std::optional<tcp::acceptor> acceptor;
    std::optional<asio::ssl::context> tls;
    ServerHandler handler;
    std::thread thread;
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<ReceivedRequest> requests;
    int connections = 0;
};

namespace {

template <class Stream>
class Exchange final : public ServerExchange {
public:
    Exchange(Stream& stream, tcp::socket& socket, ReceivedRequest request,
             std::shared_ptr<ScriptedServer::State> state)
        : stream_(stream), socket_(socket), request_(std::move(request)), state_(std::move(state)) {}

    const ReceivedRequest& request() const override { return request_; }

    asio::awaitable<void> write(std::string bytes) override {
        auto [code, count] = co_await asio::async_write(stream_, asio::buffer(bytes),
                                                        asio::as_tuple(asio::use_awaitable));
        (void)count;
        if (code) {
            broken = true;
        }
    }

    asio::awaitable<void> pause(std::chrono::milliseconds duration) override {
        asio::steady_timer timer(co_await asio::this_coro::executor, duration);
        co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
    }

    asio::awaitable<void> waitFor(std::function<bool()> condition) override {
        auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!condition() && std::chrono::steady_clock::now() < until && !state_->stopping) {
            co_await pause(std::chrono::milliseconds(2));
        }
    }

    asio::awaitable<void> holdOpen() override {
        char byte;
        while (!state_->stopping) {
            socket_.non_blocking(true);
            auto [code] = co_await socket_.async_wait(tcp::socket::wait_read,
                                                      asio::as_tuple(asio::use_awaitable));
            if (code) {
                break;
            }
            boost::system::error_code peekCode;
            std::size_t got = socket_.receive(asio::buffer(&byte, 1), tcp::socket::message_peek,
                                              peekCode);
            if (peekCode == asio::error::would_block) {
                continue;
            }
            if (peekCode || got == 0) {
                break;
            }
            // The client wrote more (a new request on this connection): keep waiting.
            co_await pause(std::chrono::milliseconds(5));
        }
        closing = true;
    }

    void close() override { closing = true; }
    void reset() override { resetting = true; }

    bool closing = false;
    bool resetting = false;
    bool broken = false;

private:
    Stream& stream_;
    tcp::socket& socket_;
    ReceivedRequest request_;
    std::shared_ptr<ScriptedServer::State> state_;
};

template <class Stream>
asio::awaitable<void> serve(std::shared_ptr<ScriptedServer::State> state, Stream& stream,
                            tcp::socket& socket, int connection) {
    beast::flat_buffer buffer;
    for (;;) {
        beast::http::request<beast::http::string_body> message;
        auto [code, count] = co_await beast::http::async_read(stream, buffer, message,
                                                              asio::as_tuple(asio::use_awaitable));
        (void)count;
        if (code) {
            co_return;
        }
        ReceivedRequest request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        for (const auto& field : message) {
            request.headers.add(field.name_string(), field.value());
        }
        request.body = message.body();
        request.connection = connection;
        request.time = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(state->mutex);
            state->requests.push_back(request);
        }
        state->changed.notify_all();

        Exchange<Stream> exchange(stream, socket, std::move(request), state);
        co_await state->handler(exchange);
        boost::system::error_code ignored;
        if (exchange.resetting) {
            socket.set_option(asio::socket_base::linger(true, 0), ignored);
            socket.close(ignored);
            co_return;
        }
        if (exchange.closing || exchange.broken) {
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
            co_return;
        }
    }
}

asio::awaitable<void> session(std::shared_ptr<ScriptedServer::State> state, tcp::socket socket,
                              int connection) {
    if (state->tls) {
        beast::ssl_stream<tcp::socket> stream(std::move(socket), *state->tls);
        auto [code] = co_await stream.async_handshake(asio::ssl::stream_base::server,
                                                      asio::as_tuple(asio::use_awaitable));
        if (code) {
            co_return;
        }
        co_await serve(state, stream, stream.next_layer(), connection);
    } else {
        co_await serve(state, socket, socket, connection);
    }
}

asio::awaitable<void> acceptLoop(std::shared_ptr<ScriptedServer::State> state) {
    for (;;) {
        auto [code, socket] =
            co_await state->acceptor->async_accept(asio::as_tuple(asio::use_awaitable));
        if (code) {
            co_return;
        }
        int connection = 0;
        {
            std::lock_guard lock(state->mutex);
            connection = ++state->connections;
        }
        asio::co_spawn(*state->context, session(state, std::move(socket), connection),
                       asio::detached);
    }
}

std::string headText(int status, const std::vector<std::pair<std::string, std::string>>& headers) {
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " +
                       std::string(reasonPhrase(status)) + "\r\n";
    for (const auto& [name, value] : headers) {
        text += name + ": " + value + "\r\n";
    }
    return text;
}

}  // namespace

std::string_view reasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 302: return "Found";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

asio::awaitable<void> ServerExchange::respond(
    int status, std::vector<std::pair<std::string, std::string>> headers, std::string body) {
    std::string text = headText(status, headers);
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    co_await write(std::move(text));
}

asio::awaitable<void> ServerExchange::startChunked(
    int status, std::vector<std::pair<std::string, std::string>> headers) {
    co_await write(headText(status, headers) + "Transfer-Encoding: chunked\r\n\r\n");
}

asio::awaitable<void> ServerExchange::chunk(std::string_view data) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    co_await write(std::string(size) + std::string(data) + "\r\n");
}

asio::awaitable<void> ServerExchange::endChunks() { co_await write("0\r\n\r\n"); }

ScriptedServer::ScriptedServer(ServerHandler handler, std::optional<TLS> tls)
    : state_(std::make_shared<State>()) {
    state_->handler = std::move(handler);
    if (tls) {
        state_->tls.emplace(asio::ssl::context::tls_server);
        state_->tls->use_certificate_chain(asio::buffer(tls->certificatePEM));
        state_->tls->use_private_key(asio::buffer(tls->keyPEM), asio::ssl::context::pem);
    }
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    state_->acceptor.emplace(*state_->context);
    state_->acceptor->open(endpoint.protocol());
    state_->acceptor->set_option(tcp::acceptor::reuse_address(true));
    state_->acceptor->bind(endpoint);
    state_->acceptor->listen();
    port_ = state_->acceptor->local_endpoint().port();
    asio::co_spawn(*state_->context, acceptLoop(state_), asio::detached);
    state_->thread = std::thread([context = state_->context.get()] { context->run(); });
}

ScriptedServer::~ScriptedServer() {
    state_->stopping = true;
    state_->context->stop();
    state_->thread.join();
    state_->acceptor.reset();
    state_->context.reset();
}

std::uint16_t ScriptedServer::port() const { return port_; }

std::string ScriptedServer::url(std::string_view path, std::string_view host) const {
    return std::string(state_->tls ? "https://" : "http://") + std::string(host) + ":" +
           std::to_string(port()) + std::string(path);
}

std::vector<ReceivedRequest> ScriptedServer::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

int ScriptedServer::connectionCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->connections;
}

bool ScriptedServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout,
                                    [&] { return state_->requests.size() >= count; });
}

}  // namespace fw::http::testing
