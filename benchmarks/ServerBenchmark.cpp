// tools/call round trips through the MCP server over the in-memory pair and over a pipe pair of
// standard input/output transports, beside floors: a bare loop that parses the same request,
// looks its handler up and writes the same answer without the library's server or transports,
// once directly and once with the lines going through pipes (read as they come, and read after
// waiting for readiness as an event loop does).
//
// Over pipes the process ignores SIGPIPE, as a server program over standard input/output should;
// the "SigpipeDefault" run leaves the signal at its default, so that the transport blocks it around
// every write.
//
// Counters: round trips per second, p50 and p99 latency in microseconds, and (for the long run)
// the growth of the resident set over the run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/Messages/Tools.h"
#include "MCP/Server/Server.h"
#include "MCP/Transports/InMemoryTransport.h"
#include "MCP/Transports/StdioTransport.h"
#include "benchmarks/RoundTripCounters.h"

namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

const std::string kRequest =
    R"({"jsonrpc":"2.0","id":17,"method":"tools/call","params":{"name":"echo","arguments":{"text":"export the movie at /tmp/movie.mp4"}}})";

mcp::CallTool::Result echo(const mcp::CallTool::Parameters& parameters) {
    const mcp::Value* text = parameters.arguments ? parameters.arguments->find("text") : nullptr;
    return mcp::CallTool::Result{.content = {mcp::ToolContent::text(
                                     text && text->stringValue() ? *text->stringValue() : "")}};
}

using bench::report;
using bench::residentKilobytes;

std::shared_ptr<mcp::Server> makeServer(asio::io_context& io) {
    mcp::Server::Capabilities capabilities;
    capabilities.tools = mcp::Server::Capabilities::Tools{};
    auto server = std::make_shared<mcp::Server>(io.get_executor(), "bench", "1.0.0", std::nullopt,
                                                std::nullopt, capabilities);
    server->withMethodHandler<mcp::CallTool>(
        [](mcp::CallTool::Parameters parameters) -> asio::awaitable<mcp::CallTool::Result> {
            mcp::CallTool::Result result = echo(parameters);
            co_return result;
        });
    return server;
}

// The client side: round trips as long as the benchmark wants them.
asio::awaitable<void> drive(benchmark::State& state, std::shared_ptr<mcp::Transport> client,
                            std::vector<double>& latencies, double& seconds) {
    mcp::MessageStream answers = client->receive();
    const auto begin = Clock::now();
    for (auto _ : state) {
        const auto start = Clock::now();
        co_await client->send(kRequest);
        auto answer = co_await answers.next();
        benchmark::DoNotOptimize(answer);
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    seconds = std::chrono::duration<double>(Clock::now() - begin).count();
}

void runServerBenchmark(benchmark::State& state, bool overPipes, bool ignoreSigpipe = true) {
    struct sigaction previous = {};
    struct sigaction wanted = {};
    wanted.sa_handler = ignoreSigpipe ? SIG_IGN : SIG_DFL;
    sigemptyset(&wanted.sa_mask);
    ::sigaction(SIGPIPE, &wanted, &previous);
    // One thread runs everything, and Asio is told so: its queue then needs no lock for work
    // posted from that thread.
    asio::io_context io{1};
    auto server = makeServer(io);
    std::shared_ptr<mcp::Transport> serverSide;
    std::shared_ptr<mcp::Transport> clientSide;
    int toServer[2] = {-1, -1};
    int toClient[2] = {-1, -1};
    if (overPipes) {
        if (::pipe2(toServer, O_CLOEXEC) != 0 || ::pipe2(toClient, O_CLOEXEC) != 0) {
            state.SkipWithError("no pipes");
            return;
        }
        serverSide =
            std::make_shared<mcp::StdioTransport>(io.get_executor(), toServer[0], toClient[1]);
        clientSide =
            std::make_shared<mcp::StdioTransport>(io.get_executor(), toClient[0], toServer[1]);
    } else {
        auto [client, serverEnd] = mcp::InMemoryTransport::createConnectedPair();
        serverSide = serverEnd;
        clientSide = client;
    }
    // Touched in full before the run, so that its pages do not count as growth.
    std::vector<double> latencies(std::size_t{1} << 21);
    latencies.clear();
    double seconds = 1;
    const long rssBefore = residentKilobytes();
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            co_await server->start(serverSide);
            co_await clientSide->connect();
            co_await drive(state, clientSide, latencies, seconds);
            co_await clientSide->disconnect();
            co_await server->stop();
        },
        asio::detached);
    io.run();
    const long rssAfter = residentKilobytes();
    report(state, latencies, seconds);
    // The latencies vector is reserved up front; what remains is the server's own growth.
    state.counters["rss_growth_kb"] = static_cast<double>(rssAfter - rssBefore);
    for (int fd : {toServer[0], toServer[1], toClient[0], toClient[1]}) {
        if (fd != -1) {
            ::close(fd);
        }
    }
    ::sigaction(SIGPIPE, &previous, nullptr);
}

void BM_ToolCallInMemory(benchmark::State& state) {
    runServerBenchmark(state, false);
}
void BM_ToolCallOverPipes(benchmark::State& state) {
    runServerBenchmark(state, true);
}
void BM_ToolCallOverPipesSigpipeDefault(benchmark::State& state) {
    runServerBenchmark(state, true, false);
}

// The floor's work for one request: parse, look up, call, write; no server, no coroutine.
class BareServer {
public:
    BareServer() {
        handlers_.emplace("tools/call", [](const mcp::Value& params) {
            auto parameters = mcp::decodeValue<mcp::CallTool::Parameters>(params);
            return mcp::encodeValue(echo(parameters));
        });
    }

    void serve(std::string_view line, std::string& out) const {
        mcp::Value request = mcp::parseJson(line);
        const auto* method = request.find("method")->stringValue();
        mcp::Value result = handlers_.at(*method)(*request.find("params"));
        mcp::Value response = mcp::Value::object(
            {{"id", *request.find("id")}, {"jsonrpc", "2.0"}, {"result", std::move(result)}});
        mcp::appendJson(out, response);
    }

private:
    std::unordered_map<std::string, std::function<mcp::Value(const mcp::Value&)>> handlers_;
};

// The floor: the bare work, no transport.
void BM_ToolCallFloor(benchmark::State& state) {
    BareServer server;
    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    const auto begin = Clock::now();
    std::string out;
    for (auto _ : state) {
        const auto start = Clock::now();
        out.clear();
        server.serve(kRequest, out);
        benchmark::DoNotOptimize(out);
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    report(state, latencies, std::chrono::duration<double>(Clock::now() - begin).count());
}

// The floor over pipes: the bare work with each line written to a pipe and read back on the
// other side, one write and one read each way, all on one thread. The reads block: the thread
// knows which line comes next, so it never waits for readiness. Four system calls per round trip.
//
// With `waitForReadiness` each read first waits for its pipe in an edge-triggered epoll set, as a
// program that serves more than one descriptor (any event loop) has to: six system calls, the
// least an event-driven server and client can make.
void runFloorOverPipes(benchmark::State& state, bool waitForReadiness) {
    int toServer[2] = {-1, -1};
    int toClient[2] = {-1, -1};
    if (::pipe2(toServer, O_CLOEXEC) != 0 || ::pipe2(toClient, O_CLOEXEC) != 0) {
        state.SkipWithError("no pipes");
        return;
    }
    const int poller = waitForReadiness ? ::epoll_create1(EPOLL_CLOEXEC) : -1;
    for (int fd : {toServer[0], toClient[0]}) {
        if (waitForReadiness) {
            epoll_event interest = {};
            interest.events = EPOLLIN | EPOLLET;
            interest.data.fd = fd;
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &interest);
        }
    }
    bool failed = false;
    auto waitFor = [&](int fd) {
        if (waitForReadiness) {
            epoll_event ready = {};
            failed |= ::epoll_wait(poller, &ready, 1, -1) != 1 || ready.data.fd != fd;
        }
    };
    BareServer server;
    const std::string request = kRequest + "\n";
    std::vector<char> buffer(1 << 16);
    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    const auto begin = Clock::now();
    std::string out;
    for (auto _ : state) {
        const auto start = Clock::now();
        failed |= ::write(toServer[1], request.data(), request.size()) !=
                  static_cast<ssize_t>(request.size());
        waitFor(toServer[0]);
        const ssize_t got = ::read(toServer[0], buffer.data(), buffer.size());
        failed |= got <= 0;
        out.clear();
        server.serve(std::string_view(buffer.data(), got > 0 ? got - 1 : 0), out);
        out += '\n';
        failed |= ::write(toClient[1], out.data(), out.size()) != static_cast<ssize_t>(out.size());
        waitFor(toClient[0]);
        failed |= ::read(toClient[0], buffer.data(), buffer.size()) <= 0;
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    report(state, latencies, std::chrono::duration<double>(Clock::now() - begin).count());
    for (int fd : {toServer[0], toServer[1], toClient[0], toClient[1], poller}) {
        if (fd != -1) {
            ::close(fd);
        }
    }
    if (failed) {
        state.SkipWithError("a pipe read, write or wait fell short");
    }
}

void BM_ToolCallFloorOverPipes(benchmark::State& state) {
    runFloorOverPipes(state, false);
}
void BM_ToolCallFloorOverPipesWaitingForReadiness(benchmark::State& state) {
    runFloorOverPipes(state, true);
}

BENCHMARK(BM_ToolCallFloor);
BENCHMARK(BM_ToolCallInMemory);
BENCHMARK(BM_ToolCallFloorOverPipes);
BENCHMARK(BM_ToolCallFloorOverPipesWaitingForReadiness);
BENCHMARK(BM_ToolCallOverPipes);
BENCHMARK(BM_ToolCallOverPipesSigpipeDefault);
// A million requests: the resident set must stay flat.
BENCHMARK(BM_ToolCallInMemory)->Iterations(1000000)->Name("BM_ToolCallInMemory/million");

}  // namespace

BENCHMARK_MAIN();
