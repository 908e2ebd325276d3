// Small keep-alive GETs against a local Beast server on loopback: requests per second and the
// median (p50) latency of our HTTP client, beside a bare Beast loop doing the same exchange on
// one kept-alive connection. Both drive the client side from one io_context in this thread;
// the server runs on a thread of its own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/http/Client.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using asio::ip::tcp;

// Answers every request with a 13-byte body, keeping connections alive.
class LocalServer {
public:
    LocalServer() : acceptor_(context_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
        asio::co_spawn(context_, accept(), asio::detached);
        thread_ = std::thread([this] { context_.run(); });
    }
    ~LocalServer() {
        context_.stop();
        thread_.join();
    }
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

private:
    asio::awaitable<void> accept() {
        for (;;) {
            auto [code, socket] = co_await acceptor_.async_accept(asio::as_tuple(asio::use_awaitable));
            if (code) {
                co_return;
            }
            socket.set_option(tcp::no_delay(true));
            asio::co_spawn(context_, serve(std::move(socket)), asio::detached);
        }
    }
    static asio::awaitable<void> serve(tcp::socket socket) {
        beast::flat_buffer buffer;
        for (;;) {
            http::request<http::string_body> request;
            auto [code, n] = co_await http::async_read(socket, buffer, request,
                                                       asio::as_tuple(asio::use_awaitable));
            if (code) {
                co_return;
            }
            http::response<http::string_body> response(http::status::ok, 11);
            response.set(http::field::content_type, "text/plain");
            response.body() = "hello, world!";
            response.prepare_payload();
            auto [writeCode, written] = co_await http::async_write(
                socket, response, asio::as_tuple(asio::use_awaitable));
            if (writeCode) {
                co_return;
            }
        }
    }

    asio::io_context context_;
    tcp::acceptor acceptor_;
    std::thread thread_;
};

template <class Work>
void runOne(asio::io_context& context, Work work) {
    bool done = false;
    asio::co_spawn(context, std::move(work), [&](std::exception_ptr error) {
        if (error) {
            std::rethrow_exception(error);
        }
        done = true;
    });
    while (!done) {
        if (context.stopped()) {
            context.restart();  // it stops whenever it runs out of work
        }
        context.run_one();
    }
}

void report(benchmark::State& state, std::vector<double>& latencies) {
    std::sort(latencies.begin(), latencies.end());
    state.SetItemsProcessed(std::int64_t(state.iterations()));
    if (!latencies.empty()) {
        state.counters["p50_us"] = latencies[latencies.size() / 2];
    }
}

void BM_OurClientKeepAliveGET(benchmark::State& state) {
    LocalServer server;
    asio::io_context context;
    fw::http::Client client(context.get_executor());
    std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/small";
    std::vector<double> latencies;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        runOne(context, [&]() -> asio::awaitable<void> {
            fw::http::Request request;
            request.url = url;
            fw::http::Response response = co_await client.send(std::move(request));
            benchmark::DoNotOptimize(co_await response.body.readAll());
        });
        latencies.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    report(state, latencies);
}
BENCHMARK(BM_OurClientKeepAliveGET)->UseRealTime();

void BM_BareBeastKeepAliveGET(benchmark::State& state) {
    LocalServer server;
    asio::io_context context;
    beast::tcp_stream stream(context);
    stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server.port()));
    stream.socket().set_option(tcp::no_delay(true));
    beast::flat_buffer buffer;
    std::vector<double> latencies;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        runOne(context, [&]() -> asio::awaitable<void> {
            http::request<http::string_body> request(http::verb::get, "/small", 11);
            request.set(http::field::host, "127.0.0.1");
            co_await http::async_write(stream, request, asio::use_awaitable);
            http::response<http::string_body> response;
            co_await http::async_read(stream, buffer, response, asio::use_awaitable);
            benchmark::DoNotOptimize(response.body());
        });
        latencies.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    report(state, latencies);
}
BENCHMARK(BM_BareBeastKeepAliveGET)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
