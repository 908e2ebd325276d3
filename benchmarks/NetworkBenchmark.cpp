// Round trips over TCP loopback: the MCP client's ping through the network transport to our
// server on a network transport of its own (heartbeats on), beside a raw line echo of the same
// sizes over the same kind of socket with plain Asio. Both run on one thread.
//
// Counters: round trips per second, p50 and p99 latency in microseconds.
#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <string>
#include <vector>

#include "MCP/Client/Client.h"
#include "MCP/Network/NetworkTransport.h"
#include "MCP/Server/Server.h"
#include "benchmarks/RoundTripCounters.h"

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

void BM_NetworkPingOverTcp(benchmark::State& state) {
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    const auto port = acceptor.local_endpoint().port();
    auto clientTransport = std::make_shared<mcp::NetworkTransport>(
        io.get_executor(), fw::net::makeConnection(fw::net::Endpoint::tcp("127.0.0.1", port)));
    auto client = std::make_shared<mcp::Client>(io.get_executor(), "bench-client", "1.0.0");
    auto server = std::make_shared<mcp::Server>(io.get_executor(), "bench", "1.0.0");
    std::vector<double> latencies;
    latencies.reserve(std::size_t{1} << 20);
    double seconds = 1;
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            co_await clientTransport->connect();
            tcp::socket accepted = co_await acceptor.async_accept(asio::use_awaitable);
            auto serverTransport = std::make_shared<mcp::NetworkTransport>(
                io.get_executor(), fw::net::adoptConnectedSocket(accepted.release()));
            co_await server->start(serverTransport);
            co_await client->connect(clientTransport);
            const auto begin = Clock::now();
            for (auto _ : state) {
                const auto start = Clock::now();
                co_await client->ping();
                latencies.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            }
            seconds = std::chrono::duration<double>(Clock::now() - begin).count();
            co_await client->disconnect();
            co_await server->stop();
        },
        asio::detached);
    io.run();
    bench::report(state, latencies, seconds);
}

// The floor: a line of a ping request's size out, a line of its answer's size back.
void BM_RawLineEchoOverTcp(benchmark::State& state) {
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    tcp::socket client(io);
    std::vector<double> latencies;
    latencies.reserve(std::size_t{1} << 20);
    double seconds = 1;
    const std::string request =
        R"({"jsonrpc":"2.0","id":"0a1b2c3d-4e5f-6789-abcd-ef0123456789","method":"ping"})"
        "\n";
    const std::string answer =
        R"({"jsonrpc":"2.0","id":"0a1b2c3d-4e5f-6789-abcd-ef0123456789","result":{}})"
        "\n";
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            co_await client.async_connect(acceptor.local_endpoint(), asio::use_awaitable);
            client.set_option(tcp::no_delay(true));
            auto accepted =
                std::make_shared<tcp::socket>(co_await acceptor.async_accept(asio::use_awaitable));
            accepted->set_option(tcp::no_delay(true));
            asio::co_spawn(
                io,
                [accepted, &answer]() -> asio::awaitable<void> {
                    asio::streambuf buffer;
                    try {
                        while (true) {
                            const std::size_t n = co_await asio::async_read_until(
                                *accepted, buffer, '\n', asio::use_awaitable);
                            buffer.consume(n);
                            co_await asio::async_write(*accepted, asio::buffer(answer),
                                                       asio::use_awaitable);
                        }
                    } catch (...) {
                    }
                },
                asio::detached);
            asio::streambuf buffer;
            const auto begin = Clock::now();
            for (auto _ : state) {
                const auto start = Clock::now();
                co_await asio::async_write(client, asio::buffer(request), asio::use_awaitable);
                const std::size_t n =
                    co_await asio::async_read_until(client, buffer, '\n', asio::use_awaitable);
                buffer.consume(n);
                latencies.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            }
            seconds = std::chrono::duration<double>(Clock::now() - begin).count();
            client.close();
        },
        asio::detached);
    io.run();
    bench::report(state, latencies, seconds);
}

BENCHMARK(BM_NetworkPingOverTcp);
BENCHMARK(BM_RawLineEchoOverTcp);

}  // namespace

BENCHMARK_MAIN();
