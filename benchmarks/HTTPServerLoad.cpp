// Load on the streamable-HTTP host, on loopback:
//   1. stateless POST "ping" through the MCP host with 64 keep-alive connections, beside the
//      same HTTP server answering the same bytes without the MCP layers: requests per second,
//      p50 and p99 latency;
//   2. 1,000 stateful sessions, each with an open GET stream, receiving one notification each:
//      the time until every stream has it, and the memory per idle session;
//   3. the event store: memory per stored event, and the time of a replay after 1,000 and
//      100,000 stored events.
//
//   HTTPServerLoad [seconds per load run, default 5]
// Build in the Release configuration (scripts/bench); numbers of a Debug build mean little.
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MCP/HTTP/StatefulHTTPServerTransport.h"
#include "MCP/HTTP/StreamableHTTPServer.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

const std::string kPingBody = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
const std::string kPingAnswer = R"({"id":1,"jsonrpc":"2.0","result":{}})";

long residentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// A pool of threads running one io_context.
struct Threads {
    explicit Threads(int count) : work(asio::make_work_guard(io)) {
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([this] { io.run(); });
        }
    }
    ~Threads() {
        work.reset();
        io.stop();
        for (auto& thread : threads) {
            thread.join();
        }
    }
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work;
    std::vector<std::thread> threads;
};

// Reads one HTTP response with a Content-Length body; false on failure.
asio::awaitable<bool> readResponse(tcp::socket& socket, std::string& buffer) {
    auto [error, headEnd] = co_await asio::async_read_until(socket, asio::dynamic_buffer(buffer),
                                                            "\r\n\r\n", kTuple);
    if (error) {
        co_return false;
    }
    std::size_t length = 0;
    auto field = buffer.find("Content-Length: ");
    if (field == std::string::npos || field > headEnd) {
        field = buffer.find("content-length: ");
    }
    if (field != std::string::npos && field < headEnd) {
        length = std::stoul(buffer.substr(field + 16));
    }
    const std::size_t total = headEnd + length;
    if (buffer.size() < total) {
        auto [readError, count] = co_await asio::async_read(
            socket, asio::dynamic_buffer(buffer), asio::transfer_exactly(total - buffer.size()),
            kTuple);
        if (readError) {
            co_return false;
        }
    }
    buffer.erase(0, total);
    co_return true;
}

struct LoadResult {
    double requestsPerSecond = 0;
    double p50Microseconds = 0;
    double p99Microseconds = 0;
    std::size_t errors = 0;
};

LoadResult load(std::uint16_t port, int connections, std::chrono::seconds duration) {
    Threads clients(2);
    const std::string request = "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nAccept: application/json\r\nContent-Type: application/json"
                                "\r\nContent-Length: " +
                                std::to_string(kPingBody.size()) + "\r\n\r\n" + kPingBody;
    std::mutex mutex;
    std::vector<std::int64_t> latencies;
    std::atomic<std::size_t> errors = 0;
    std::atomic<int> finished = 0;
    const auto warmEnd = Clock::now() + std::chrono::seconds(1);
    const auto end = warmEnd + duration;
    for (int c = 0; c < connections; ++c) {
        asio::co_spawn(
            clients.io,
            [&]() -> asio::awaitable<void> {
                tcp::socket socket(co_await asio::this_coro::executor);
                auto [connectError] = co_await socket.async_connect(
                    {asio::ip::make_address("127.0.0.1"), port}, kTuple);
                std::vector<std::int64_t> mine;
                std::string buffer;
                while (!connectError && Clock::now() < end) {
                    const auto start = Clock::now();
                    auto [writeError, written] =
                        co_await asio::async_write(socket, asio::buffer(request), kTuple);
                    if (writeError || !co_await readResponse(socket, buffer)) {
                        ++errors;
                        break;
                    }
                    if (start >= warmEnd) {
                        mine.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           Clock::now() - start)
                                           .count());
                    }
                }
                {
                    std::lock_guard lock(mutex);
                    latencies.insert(latencies.end(), mine.begin(), mine.end());
                }
                ++finished;
            },
            asio::detached);
    }
    while (finished < connections) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    LoadResult result;
    result.errors = errors;
    if (latencies.empty()) {
        return result;
    }
    std::sort(latencies.begin(), latencies.end());
    result.requestsPerSecond = double(latencies.size()) / double(duration.count());
    result.p50Microseconds = double(latencies[latencies.size() / 2]) / 1000.0;
    result.p99Microseconds = double(latencies[latencies.size() * 99 / 100]) / 1000.0;
    return result;
}

void print(const char* name, const LoadResult& result) {
    std::printf("%-34s %10.0f req/s   p50 %8.1f us   p99 %8.1f us   errors %zu\n", name,
                result.requestsPerSecond, result.p50Microseconds, result.p99Microseconds,
                result.errors);
}

// The HTTP server alone, answering the bytes the MCP host answers.
class BareHandler : public fw::http::ServerHandler {
public:
    asio::awaitable<fw::http::ServerResponse> handle(fw::http::ServerRequest) override {
        fw::http::ServerResponse response;
        response.headers.set("Content-Type", "application/json");
        response.body = kPingAnswer;
        co_return response;
    }
};

std::shared_ptr<mcp::Server> plainServer(asio::any_io_executor executor) {
    return std::make_shared<mcp::Server>(std::move(executor), "load", "1.0.0");
}

void statelessLoad(std::chrono::seconds duration) {
    constexpr int kConnections = 64;
    {
        Threads servers(2);
        mcp::StreamableHTTPServer host(servers.io.get_executor(),
                                       {.mode = mcp::StreamableHTTPServer::Mode::stateless},
                                       plainServer);
        host.start();
        print("MCP host, stateless ping", load(host.port(), kConnections, duration));
        host.stop();
    }
    {
        Threads servers(2);
        fw::http::Server bare(servers.io.get_executor(), {}, std::make_shared<BareHandler>());
        bare.start();
        print("same HTTP server, no MCP layers", load(bare.port(), kConnections, duration));
        bare.stop();
    }
}

// Reads from a socket until `marker` has arrived; false on failure.
bool readUntil(tcp::socket& socket, std::string& buffer, const std::string& marker) {
    boost::system::error_code error;
    asio::read_until(socket, asio::dynamic_buffer(buffer), marker, error);
    return !error;
}

void sessions() {
    constexpr int kSessions = 1000;
    Threads servers(2);
    std::mutex mutex;
    std::vector<std::shared_ptr<mcp::Server>> made;
    mcp::StreamableHTTPServer::Options options;
    options.http.maxConnections = 4 * kSessions;
    mcp::StreamableHTTPServer host(servers.io.get_executor(), options,
                                   [&](asio::any_io_executor executor) {
                                       auto server = plainServer(std::move(executor));
                                       std::lock_guard lock(mutex);
                                       made.push_back(server);
                                       return server;
                                   });
    host.start();
    const std::string initialize =
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
        R"("capabilities":{},"clientInfo":{"name":"load","version":"1"}}})";
    const std::uint16_t hostPort = host.port();
    asio::io_context client;
    std::vector<std::unique_ptr<tcp::socket>> streams;
    std::vector<std::string> buffers(kSessions);
    const long before = residentKiB();
    for (int i = 0; i < kSessions; ++i) {
        tcp::socket post(client);
        post.connect({asio::ip::make_address("127.0.0.1"), host.port()});
        const std::string hostLine = "Host: 127.0.0.1:" + std::to_string(hostPort) + "\r\n";
        asio::write(post, asio::buffer("POST /mcp HTTP/1.1\r\n" + hostLine + "Accept: "
                                       "application/json, text/event-stream\r\nContent-Type: "
                                       "application/json\r\nConnection: close\r\nContent-Length: " +
                                       std::to_string(initialize.size()) + "\r\n\r\n" + initialize));
        std::string answer;
        readUntil(post, answer, "\r\n0\r\n\r\n");
        auto at = answer.find("MCP-Session-Id: ");
        if (at == std::string::npos) {
            at = answer.find("mcp-session-id: ");
        }
        const std::string id = answer.substr(at + 16, 36);
        auto stream = std::make_unique<tcp::socket>(client);
        stream->connect({asio::ip::make_address("127.0.0.1"), host.port()});
        asio::write(*stream, asio::buffer("GET /mcp HTTP/1.1\r\n" + hostLine + "Accept: "
                                          "text/event-stream\r\nMCP-Protocol-Version: 2025-06-18\r\n"
                                          "MCP-Session-Id: " + id + "\r\n\r\n"));
        readUntil(*stream, buffers[i], "data: \n\n");
        buffers[i].clear();
        streams.push_back(std::move(stream));
    }
    const long after = residentKiB();
    std::printf("%d sessions with an open GET stream: %.1f KiB per session (client and server "
                "in one process)\n",
                kSessions, double(after - before) / kSessions);

    const auto start = Clock::now();
    for (auto& server : made) {
        asio::co_spawn(servers.io, server->log(mcp::LogLevel::info, std::nullopt, mcp::Value("tick")),
                       asio::detached);
    }
    int received = 0;
    for (int i = 0; i < kSessions; ++i) {
        received += readUntil(*streams[i], buffers[i], "tick") ? 1 : 0;
    }
    std::printf("one notification to each of %d GET streams: %d received in %.1f ms\n", kSessions,
                received, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    streams.clear();
    host.stop();
}

void eventStore() {
    const std::string message =
        R"({"jsonrpc":"2.0","method":"notifications/message","params":{"level":"info","data":"a line of log text"}})";
    for (int count : {1000, 100000}) {
        mcp::StatefulHTTPServerTransport::Options options;
        options.eventStore.maxEventsPerStream = std::size_t(count) + 10;
        options.eventStore.maxBytesPerStream = std::size_t(1) << 30;
        auto transport = std::make_shared<mcp::StatefulHTTPServerTransport>(options);
        asio::io_context io;
        auto init = transport->handle(mcp::HTTPRequest{
            "POST",
            {{"Accept", "application/json, text/event-stream"}, {"Content-Type", "application/json"}},
            R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})",
            "/mcp"});
        const std::string session = *transport->sessionID();
        mcp::HTTPRequest get{"GET",
                             {{"Accept", "text/event-stream"}, {"MCP-Session-Id", session},
                              {"MCP-Protocol-Version", "2025-06-18"}},
                             std::nullopt,
                             "/mcp"};
        std::string anchor;
        {
            auto stream = transport->handle(get);  // dropped at once: later events are stored
        }
        anchor = "_GET_stream_2";
        const long before = residentKiB();
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                for (int i = 0; i < count; ++i) {
                    co_await transport->send(message);
                }
            },
            asio::detached);
        io.run();
        const long after = residentKiB();
        get.headers["Last-Event-ID"] = anchor;
        const auto start = Clock::now();
        auto replay = transport->handle(get);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::printf("replay of %6d stored events: %8.2f ms (status %d); %.0f bytes per stored "
                    "event of %zu message bytes\n",
                    count, ms, replay.statusCode(), double(after - before) * 1024.0 / count,
                    message.size());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::chrono::seconds duration(argc > 1 ? std::stoi(argv[1]) : 5);
    statelessLoad(duration);
    sessions();
    eventStore();
    return 0;
}
