// Round trips through the application's local automation socket server, beside a raw line echo
// over the same kind of socket.
//
//   BM_ToolCallThroughSocketServer  one tools/call of "get_capabilities" after the handshake and
//                                   "initialize", answered by the connection's MCP server with the
//                                   application's own tool set, so each call makes the hop to the
//                                   Qt main thread and back
//   BM_LineEchoOverUnixSocket       the same request line written to a Unix stream socket and
//                                   echoed back by a thread with the line reader: no JSON, no
//                                   server
//   BM_MainThreadHop                the hop of a tool call alone: strand to Qt main thread and
//                                   back
//
// Counters: calls per second, p50 and p99 latency in microseconds. The program is signed as the
// companion and names itself the companion of a bundle in a temporary directory, so its
// connection passes the server's real peer check. The main thread runs the Qt event loop; the
// benchmarks run on a thread of their own.
#include <benchmark/benchmark.h>
#include <QCoreApplication>
#include <QMetaObject>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "LocalAutomation/MCPPeerIdentity.h"
#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/MCPUnixSocketLineReader.h"
#include "MCP/Server/Server.h"
#include "app/automation/MCPUnixSocketServer.h"
#include "app/coordinator/MainThreadBridge.h"
#include "app/tools/MovieMCPTools.h"

namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace fw::automation;
using Clock = std::chrono::steady_clock;

const std::string kRequest =
    R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"get_capabilities","arguments":{}}})";

// A fresh directory, removed at the end.
struct TemporaryDirectory {
    TemporaryDirectory() {
        std::string pattern = (fs::temp_directory_path() / "fw-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path = pattern;
        }
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    fs::path path;
};

int connectTo(const fs::path& socket) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int result = MCPUnixSocket::withSocketAddress(
        socket.native(),
        [&](const sockaddr* address, socklen_t length) { return ::connect(fd, address, length); });
    if (result != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sets the counters from the latencies (in microseconds) of `seconds` of work.
void report(benchmark::State& state, std::vector<double>& latencies, double seconds) {
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double fraction) {
        return latencies.empty()
                   ? 0.0
                   : latencies[static_cast<std::size_t>(fraction * (latencies.size() - 1))];
    };
    state.counters["calls_per_s"] = static_cast<double>(latencies.size()) / seconds;
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
}

double microsecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Times write-a-line, read-a-line round trips for as long as the benchmark wants them.
void measure(benchmark::State& state, int fd, MCPUnixSocketLineReader& reader) {
    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    const std::string line = kRequest + "\n";
    const auto begin = Clock::now();
    for (auto _ : state) {
        const auto start = Clock::now();
        MCPUnixSocket::writeAll(line, fd);
        benchmark::DoNotOptimize(reader.nextLine(MCPUnixSocket::kOutgoingMessageMaximum));
        latencies.push_back(microsecondsSince(start));
    }
    report(state, latencies, std::chrono::duration<double>(Clock::now() - begin).count());
}

void BM_ToolCallThroughSocketServer(benchmark::State& state) {
    TemporaryDirectory directory;
    const fs::path bundle = directory.path / "Frameweaver.app";
    const fs::path container = directory.path / "group";
    fs::create_directories(bundle / "Contents/MacOS");
    fs::create_directories(container);
    fs::create_symlink(fs::canonical("/proc/self/exe"),
                       MCPPeerIdentity::bridgeExecutableURL(bundle));

    asio::thread_pool pool(1);  // as the application's automation pool
    MCPUnixSocketServer server(
        pool.get_executor(), [](std::uint64_t, int) {}, [](std::uint64_t, const SocketError&) {},
        [](mcp::Server& session, MCPUnixSocketServer::OpenTest isOpen) {
            fw::MovieMCPTools::registerOn(session, std::move(isOpen));
        },
        MCPUnixSocketServer::Location{.appBundleURL = bundle, .container = container});
    asio::co_spawn(pool, server.start(), asio::use_future).get();

    const int fd = connectTo(MCPPeerIdentity::socketURL(bundle, container));
    MCPUnixSocketLineReader reader(fd);
    if (fd < 0 || MCPUnixSocket::readLine(fd, MCPUnixSocket::kHandshakeLineMaximum) !=
                      MCPUnixSocket::handshakeText) {
        state.SkipWithError("no handshake");
    } else {
        MCPUnixSocket::writeAll(MCPUnixSocket::helloLine, fd);
        MCPUnixSocket::writeAll(
            R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"bench","version":"1"}}})"
            "\n",
            fd);
        reader.nextLine(MCPUnixSocket::kOutgoingMessageMaximum);
        MCPUnixSocket::writeAll(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                                "\n",
                                fd);
        measure(state, fd, reader);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    asio::co_spawn(pool, server.stop(), asio::use_future).get();
}
BENCHMARK(BM_ToolCallThroughSocketServer)->UseRealTime();

void BM_LineEchoOverUnixSocket(benchmark::State& state) {
    TemporaryDirectory directory;
    const fs::path socket = directory.path / "echo.sock";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    MCPUnixSocket::withSocketAddress(socket.native(), [&](const sockaddr* a, socklen_t l) {
        return ::bind(listener, a, l);
    });
    ::listen(listener, 1);
    std::thread echo([listener] {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        MCPUnixSocketLineReader lines(fd);
        try {
            while (true) {
                std::string line = lines.nextLine(MCPUnixSocket::kIncomingLineMaximum);
                line.push_back('\n');
                MCPUnixSocket::writeAll(line, fd);
            }
        } catch (const SocketError&) {
        }
        ::close(fd);
    });
    const int fd = connectTo(socket);
    MCPUnixSocketLineReader reader(fd);
    measure(state, fd, reader);
    MCPUnixSocket::close(fd);
    echo.join();
    ::close(listener);
}
BENCHMARK(BM_LineEchoOverUnixSocket)->UseRealTime();

// The hop a tool call makes: from a strand of the server's kind of pool (one thread) to the Qt
// main thread and back, timed on the strand (calls per second include starting each hop from this thread).
void BM_MainThreadHop(benchmark::State& state) {
    asio::thread_pool pool(1);  // as the application's automation pool
    auto strand = asio::make_strand(pool);
    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    const auto begin = Clock::now();
    for (auto _ : state) {
        auto hop = []() -> asio::awaitable<double> {
            const auto start = Clock::now();
            co_await fw::asyncRunOnMainThread([] { return 1; }, asio::use_awaitable);
            co_return microsecondsSince(start);
        };
        latencies.push_back(asio::co_spawn(strand, hop(), asio::use_future).get());
    }
    report(state, latencies, std::chrono::duration<double>(Clock::now() - begin).count());
}
BENCHMARK(BM_MainThreadHop)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    std::thread runner([&application] {
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        QMetaObject::invokeMethod(&application, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    const int status = application.exec();
    runner.join();
    return status;
}
