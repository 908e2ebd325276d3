// Round trips from the MCP client through the MCP server, with the library on both ends: ping and
// tools/call over the in-memory pair and over a pipe pair of standard input/output transports.
// Compare with ServerBenchmark, whose raw-JSON driver and bare floor do the same work without the
// client.
//
// Counters: round trips per second, p50 and p99 latency in microseconds, and the growth of the
// resident set over the run ("million" runs a million calls: it must stay flat). The in-flight
// run sends 10,000 requests that no one answers yet and reports the memory each one holds while
// it waits: the heap's bytes in use (exact whatever ran before) and the resident set's growth
// (which only a fresh process shows: a heap grown before is reused).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "MCP/Client/Client.h"
#include "MCP/Server/Server.h"
#include "MCP/Transports/InMemoryTransport.h"
#include "MCP/Transports/StdioTransport.h"
#include "benchmarks/RoundTripCounters.h"

namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

using bench::report;
using bench::residentKilobytes;

std::shared_ptr<mcp::Server> makeServer(asio::io_context& io) {
    mcp::Server::Capabilities capabilities;
    capabilities.tools = mcp::Server::Capabilities::Tools{};
    auto server = std::make_shared<mcp::Server>(io.get_executor(), "bench", "1.0.0", std::nullopt,
                                                std::nullopt, capabilities);
    server->withMethodHandler<mcp::CallTool>(
        [](mcp::CallTool::Parameters parameters) -> asio::awaitable<mcp::CallTool::Result> {
            const mcp::Value* text =
                parameters.arguments ? parameters.arguments->find("text") : nullptr;
            mcp::CallTool::Result result{
                .content = {mcp::ToolContent::text(
                    text && text->stringValue() ? *text->stringValue() : "")}};
            co_return result;
        });
    return server;
}

// The two ends of a connection, in memory or over pipes.
struct Link {
    std::shared_ptr<mcp::Transport> clientSide;
    std::shared_ptr<mcp::Transport> serverSide;
    int fds[4] = {-1, -1, -1, -1};

    Link(asio::io_context& io, bool overPipes) {
        if (!overPipes) {
            auto [client, server] = mcp::InMemoryTransport::createConnectedPair();
            clientSide = client;
            serverSide = server;
            return;
        }
        if (::pipe2(fds, O_CLOEXEC) != 0 || ::pipe2(fds + 2, O_CLOEXEC) != 0) {
            return;
        }
        serverSide = std::make_shared<mcp::StdioTransport>(io.get_executor(), fds[0], fds[3]);
        clientSide = std::make_shared<mcp::StdioTransport>(io.get_executor(), fds[2], fds[1]);
    }
    ~Link() {
        for (int fd : fds) {
            if (fd != -1) {
                ::close(fd);
            }
        }
    }
};

enum class Call { ping, toolCall };

void runClientBenchmark(benchmark::State& state, bool overPipes, Call call) {
    ::signal(SIGPIPE, SIG_IGN);
    // One thread runs everything, and Asio is told so: its queue then needs no lock for work
    // posted from that thread.
    asio::io_context io{1};
    auto server = makeServer(io);
    auto client = std::make_shared<mcp::Client>(io.get_executor(), "bench-client", "1.0.0");
    Link link(io, overPipes);
    if (!link.clientSide) {
        state.SkipWithError("no pipes");
        return;
    }
    // Touched in full before the run, so that its pages do not count as growth.
    std::vector<double> latencies(std::size_t{1} << 21);
    latencies.clear();
    double seconds = 1;
    long rssBefore = 0;
    const mcp::Object arguments =
        mcp::Object::fromEntries({{"text", mcp::Value("export the movie at /tmp/movie.mp4")}});
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            co_await server->start(link.serverSide);
            co_await client->connect(link.clientSide);
            rssBefore = residentKilobytes();
            const auto begin = Clock::now();
            for (auto _ : state) {
                const auto start = Clock::now();
                if (call == Call::ping) {
                    co_await client->ping();
                } else {
                    auto result = co_await client->callTool("echo", arguments);
                    benchmark::DoNotOptimize(result);
                }
                latencies.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            }
            seconds = std::chrono::duration<double>(Clock::now() - begin).count();
            co_await client->disconnect();
            co_await server->stop();
        },
        asio::detached);
    io.run();
    const long rssAfter = residentKilobytes();
    report(state, latencies, seconds);
    state.counters["rss_growth_kb"] = static_cast<double>(rssAfter - rssBefore);
}

void BM_ClientPingInMemory(benchmark::State& state) {
    runClientBenchmark(state, false, Call::ping);
}
void BM_ClientToolCallInMemory(benchmark::State& state) {
    runClientBenchmark(state, false, Call::toolCall);
}
void BM_ClientPingOverPipes(benchmark::State& state) {
    runClientBenchmark(state, true, Call::ping);
}
void BM_ClientToolCallOverPipes(benchmark::State& state) {
    runClientBenchmark(state, true, Call::toolCall);
}

// 10,000 tools/call requests waiting at once: the server is attached but not started, so the
// requests stay in the client's pending table (and the in-memory pair's queue) until the client
// disconnects.
void BM_ClientRequestsInFlight(benchmark::State& state) {
    constexpr int kInFlight = 10000;
    double bytesPerRequest = 0;
    double heapBytesPerRequest = 0;
    for (auto _ : state) {
        asio::io_context io;
        auto client = std::make_shared<mcp::Client>(io.get_executor(), "bench-client", "1.0.0");
        auto [clientSide, serverSide] = mcp::InMemoryTransport::createConnectedPair();
        long rssBefore = 0;
        long rssAfter = 0;
        std::size_t heapBefore = 0;
        std::size_t heapAfter = 0;
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                co_await serverSide->connect();
                // Attached without the handshake: connect() would wait for the answer.
                asio::co_spawn(io, client->connect(clientSide), asio::detached);
                std::vector<mcp::RequestContext<mcp::CallTool::Result>> contexts;
                contexts.reserve(kInFlight);
                rssBefore = residentKilobytes();
                heapBefore = ::mallinfo2().uordblks;
                for (int i = 0; i < kInFlight; ++i) {
                    mcp::Object arguments;
                    arguments.insertOrAssign("text", mcp::Value("waiting"));
                    contexts.push_back(co_await client->sendToolCall("echo", std::move(arguments)));
                }
                rssAfter = residentKilobytes();
                heapAfter = ::mallinfo2().uordblks;
                co_await client->disconnect();
            },
            asio::detached);
        io.run();
        // The first run counts: later ones reuse the heap the first one grew, and their growth
        // is near nothing.
        bytesPerRequest = std::max(bytesPerRequest,
                                   static_cast<double>(rssAfter - rssBefore) * 1024.0 / kInFlight);
        heapBytesPerRequest =
            (static_cast<double>(heapAfter) - static_cast<double>(heapBefore)) / kInFlight;
    }
    state.counters["rss_bytes_per_pending_request"] = bytesPerRequest;
    state.counters["heap_bytes_per_pending_request"] = heapBytesPerRequest;
}

// The same with typed calls, as most callers make them: 10,000 callTool() coroutines, each
// waiting for its answer (its coroutine frames count too).
void BM_ClientToolCallsInFlight(benchmark::State& state) {
    constexpr int kInFlight = 10000;
    double heapBytesPerRequest = 0;
    for (auto _ : state) {
        asio::io_context io;
        auto client = std::make_shared<mcp::Client>(io.get_executor(), "bench-client", "1.0.0");
        auto [clientSide, serverSide] = mcp::InMemoryTransport::createConnectedPair();
        std::size_t heapBefore = 0;
        std::size_t heapAfter = 0;
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                co_await serverSide->connect();
                asio::co_spawn(io, client->connect(clientSide), asio::detached);
                heapBefore = ::mallinfo2().uordblks;
                for (int i = 0; i < kInFlight; ++i) {
                    mcp::Object arguments;
                    arguments.insertOrAssign("text", mcp::Value("waiting"));
                    asio::co_spawn(io, client->callTool("echo", std::move(arguments)),
                                   [](std::exception_ptr, auto&&...) {});
                }
                // The handshake's request waits too.
                while (co_await client->pendingRequestCount() < kInFlight + 1) {
                }
                heapAfter = ::mallinfo2().uordblks;
                co_await client->disconnect();
            },
            asio::detached);
        io.run();
        heapBytesPerRequest =
            (static_cast<double>(heapAfter) - static_cast<double>(heapBefore)) / kInFlight;
    }
    state.counters["heap_bytes_per_pending_request"] = heapBytesPerRequest;
}

BENCHMARK(BM_ClientPingInMemory);
BENCHMARK(BM_ClientToolCallInMemory);
BENCHMARK(BM_ClientPingOverPipes);
BENCHMARK(BM_ClientToolCallOverPipes);
BENCHMARK(BM_ClientRequestsInFlight)->Iterations(3);
BENCHMARK(BM_ClientToolCallsInFlight)->Iterations(3);
// A million calls: the resident set must stay flat.
BENCHMARK(BM_ClientToolCallInMemory)
    ->Iterations(1000000)
    ->Name("BM_ClientToolCallInMemory/million");

}  // namespace

BENCHMARK_MAIN();
