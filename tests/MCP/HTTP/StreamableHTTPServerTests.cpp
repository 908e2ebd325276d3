// The streamable-HTTP host end to end: a real HTTP server on loopback, curl as the client, and
// raw sockets for what curl would never send.
#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <numeric>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MCP/HTTP/StreamableHTTPServer.h"
#include "tests/MCP/HTTP/ExampleHTTPHost.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
    R"("capabilities":{},"clientInfo":{"name":"curl","version":"1"}}})";

// Runs a command and gives its standard output.
std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return output;
    }
    std::array<char, 4096> buffer{};
    while (std::size_t count = fread(buffer.data(), 1, buffer.size(), pipe)) {
        output.append(buffer.data(), count);
    }
    pclose(pipe);
    return output;
}

// Single quotes for the shell.
std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

struct Reply {
    int status = 0;
    std::string headers;  // the head as received, lower-cased names kept as sent
    std::string body;

    std::string header(const std::string& name) const {
        std::regex pattern("(^|\n)" + name + ": ([^\r\n]*)", std::regex::icase);
        std::smatch match;
        return std::regex_search(headers, match, pattern) ? match[2].str() : "";
    }
};

class StreamableHTTPServerTest : public ::testing::Test, protected testing::ExampleHTTPHost {
protected:
    void TearDown() override { stopHost(); }

    // curl with the transport's usual headers; `extra` goes on the command line as it is.
    Reply curl(const std::string& method, const std::string& body, const std::string& extra = "",
               const std::string& accept = "application/json, text/event-stream") {
        std::string command = "curl -sS -N --max-time 30 -D - -X " + method + " -H " +
                              quoted("Accept: " + accept) + " " + extra;
        if (!body.empty()) {
            command += " -H 'Content-Type: application/json' --data-binary " + quoted(body);
        }
        command += " " + quoted(url()) + " 2>&1";
        std::string output = run(command);
        Reply reply;
        std::size_t end = output.find("\r\n\r\n");
        reply.headers = output.substr(0, end);
        reply.body = end == std::string::npos ? "" : output.substr(end + 4);
        std::sscanf(reply.headers.c_str(), "HTTP/1.1 %d", &reply.status);
        return reply;
    }

    std::string initializeSession() {
        Reply reply = curl("POST", kInitialize);
        EXPECT_EQ(reply.status, 200) << reply.headers << reply.body;
        EXPECT_NE(reply.body.find(R"("serverInfo")"), std::string::npos) << reply.body;
        return reply.header("MCP-Session-Id");
    }

    // A raw exchange: writes `bytes`, reads until the server closes or `until` is seen.
    std::string raw(std::string bytes, const std::string& until = "",
                    std::chrono::seconds limit = 20s) {
        // The default origin rules want the port in Host.
        const std::string hostLine = "Host: 127.0.0.1\r\n";
        if (auto at = bytes.find(hostLine); at != std::string::npos) {
            bytes.replace(at, hostLine.size(),
                          "Host: 127.0.0.1:" + std::to_string(host->port()) + "\r\n");
        }
        asio::io_context client;
        asio::ip::tcp::socket socket(client);
        socket.connect({asio::ip::make_address("127.0.0.1"), host->port()});
        asio::write(socket, asio::buffer(bytes));
        std::string received;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        socket.non_blocking(true);
        while (std::chrono::steady_clock::now() < deadline) {
            std::array<char, 4096> buffer{};
            boost::system::error_code error;
            std::size_t count = socket.read_some(asio::buffer(buffer), error);
            if (error == asio::error::would_block) {
                std::this_thread::sleep_for(5ms);  // polling a socket, not waiting for a state
                continue;
            }
            if (error) {
                break;
            }
            received.append(buffer.data(), count);
            if (!until.empty() && received.find(until) != std::string::npos) {
                break;
            }
        }
        return received;
    }

};

TEST_F(StreamableHTTPServerTest, StatefulSessionWithCurl) {
    startHost({});
    const std::string session = initializeSession();
    ASSERT_EQ(session.size(), 36u);
    const std::string sessionHeader = "-H " + quoted("MCP-Session-Id: " + session) + " -H " +
                                      quoted("MCP-Protocol-Version: 2025-06-18");

    Reply initialized = curl(
        "POST", R"({"jsonrpc":"2.0","method":"notifications/initialized"})", sessionHeader);
    EXPECT_EQ(initialized.status, 202);
    EXPECT_EQ(initialized.header("MCP-Session-Id"), session);

    Reply call = curl("POST",
                      R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"add",)"
                      R"("arguments":{"a":2,"b":3}}})",
                      sessionHeader);
    EXPECT_EQ(call.status, 200);
    EXPECT_EQ(call.header("Content-Type"), "text/event-stream");
    EXPECT_EQ(call.header("Cache-Control"), "no-cache, no-transform");
    EXPECT_EQ(call.header("Connection"), "keep-alive");
    EXPECT_NE(call.body.find("id: 2_"), std::string::npos);
    EXPECT_NE(call.body.find(R"("text":"5.0")"), std::string::npos) << call.body;

    // Everything a session-less or foreign request gets.
    EXPECT_EQ(curl("POST", R"({"jsonrpc":"2.0","id":3,"method":"ping"})").status, 400);
    Reply unknown = curl("POST", R"({"jsonrpc":"2.0","id":3,"method":"ping"})",
                         "-H 'MCP-Session-Id: 00000000-0000-4000-8000-000000000000'");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_NE(unknown.body.find("Not Found: Invalid or expired session ID"), std::string::npos);
    EXPECT_EQ(curl("POST", R"({"jsonrpc":"2.0","id":3,"method":"ping"})", sessionHeader,
                   "application/json")
                  .status,
              406);
    EXPECT_EQ(curl("POST", R"({"jsonrpc":"2.0","id":3,"method":"ping"})",
                   sessionHeader + " -H 'Origin: null'")
                  .status,
              403);
    EXPECT_EQ(curl("POST", R"({"jsonrpc":"2.0","id":3,"method":"ping"})",
                   sessionHeader + " -H 'Content-Type: text/plain'")
                  .status,
              415);
    EXPECT_EQ(curl("POST", R"({"jsonrpc":"2.0","id":3,"method":"ping"})",
                   "-H " + quoted("MCP-Session-Id: " + session) +
                       " -H 'MCP-Protocol-Version: 1999-01-01'")
                  .status,
              400);

    Reply removed = curl("DELETE", "", sessionHeader);
    EXPECT_EQ(removed.status, 200);
    EXPECT_EQ(host->sessionCount(), 0u);
    EXPECT_EQ(curl("POST", R"({"jsonrpc":"2.0","id":4,"method":"ping"})", sessionHeader).status,
              404);
}

// The event ids in a body of events, in order.
std::vector<std::string> eventIDs(const std::string& body) {
    std::vector<std::string> ids;
    std::istringstream lines(body);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("id: ", 0) == 0) {
            ids.push_back(line.substr(4));
        }
    }
    return ids;
}

std::vector<int> notificationNumbers(const std::string& body) {
    std::vector<int> numbers;
    std::regex pattern(R"re("data":(\d+))re");
    for (std::sregex_iterator it(body.begin(), body.end(), pattern), end; it != end; ++it) {
        numbers.push_back(std::stoi((*it)[1].str()));
    }
    return numbers;
}

TEST_F(StreamableHTTPServerTest, DroppedStreamResumesWithoutLossOrDuplicates) {
    startHost({});
    const std::string session = initializeSession();
    const std::string headers = "-H " + quoted("MCP-Session-Id: " + session) +
                                " -H 'MCP-Protocol-Version: 2025-06-18'";
    std::shared_ptr<Server> server;
    {
        std::lock_guard lock(mutex);
        server = servers.back();
    }
    auto notify = [&](int number) {
        std::promise<void> sent;
        asio::co_spawn(hostIO, server->log(LogLevel::info, std::nullopt, Value(number)),
                       [&](std::exception_ptr) { sent.set_value(); });
        sent.get_future().wait();
    };

    // A GET stream that curl gives up after two seconds, while notifications flow.
    const auto file = std::filesystem::temp_directory_path() /
                      ("fw-sse-" + std::to_string(::getpid()) + ".txt");
    std::thread reader([&] {
        run("curl -sS -N --max-time 2 -H 'Accept: text/event-stream' " + headers + " -o " +
            quoted(file.string()) + " " + quoted(url()));
    });
    auto fileText = [&] {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (eventIDs(fileText()).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    for (int i = 1; i <= 3; ++i) {
        notify(i);
    }
    while (notificationNumbers(fileText()).size() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    reader.join();  // dropped by --max-time
    for (int i = 4; i <= 6; ++i) {
        notify(i);  // no reader: stored
    }
    const std::string first = fileText();
    std::filesystem::remove(file);
    ASSERT_EQ(notificationNumbers(first), (std::vector<int>{1, 2, 3}));
    const std::string last = eventIDs(first).back();

    Reply resumed = [&] {
        // The dropped stream may still count as open for a moment; the replay replaces it anyway.
        std::string command = "curl -sS -N --max-time 2 -D - -H 'Accept: text/event-stream' " +
                              headers + " -H " + quoted("Last-Event-ID: " + last) + " " +
                              quoted(url());
        std::string output = run(command);
        Reply reply;
        reply.body = output;
        return reply;
    }();
    EXPECT_EQ(notificationNumbers(resumed.body), (std::vector<int>{4, 5, 6})) << resumed.body;
}

TEST_F(StreamableHTTPServerTest, AStandaloneStreamQuietBeyondTheAgeLimitIsResumed) {
    StreamableHTTPServer::Options options;
    options.eventStore.maxAge = 200ms;
    startHost(options);
    const std::string session = initializeSession();
    const std::string get = "GET /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
                            "MCP-Session-Id: " + session + "\r\n";
    const auto ids = eventIDs(raw(get + "\r\n", "data: \n\n"));
    ASSERT_EQ(ids.size(), 1u);
    std::this_thread::sleep_for(500ms);  // the stream stays quiet for longer than the age limit

    std::promise<void> sent;
    asio::co_spawn(hostIO, latestServer()->log(LogLevel::info, std::nullopt, Value(1)),
                   [&](std::exception_ptr) { sent.set_value(); });
    sent.get_future().wait();
    std::string resumed = raw(get + "Last-Event-ID: " + ids[0] + "\r\n\r\n", "\"data\":1");
    EXPECT_EQ(resumed.substr(0, 12), "HTTP/1.1 200") << resumed;
    EXPECT_EQ(notificationNumbers(resumed), std::vector<int>{1}) << resumed;
}

TEST_F(StreamableHTTPServerTest, RefusedRequestsDoNotKeepASessionAlive) {
    StreamableHTTPServer::Options options;
    options.idleTimeout = 300ms;
    startHost(options);
    const std::string session = initializeSession();
    const std::string badResume =
        "GET /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\nMCP-Session-Id: " +
        session + "\r\nLast-Event-ID: _GET_stream_999\r\nConnection: close\r\n\r\n";
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (host->sessionCount() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::string refused = raw(badResume);
        EXPECT_TRUE(refused.rfind("HTTP/1.1 400", 0) == 0 || refused.rfind("HTTP/1.1 404", 0) == 0)
            << refused;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(host->sessionCount(), 0u);
}

TEST_F(StreamableHTTPServerTest, TheFirstGetReceivesWhatTheServerSentBeforeIt) {
    startHost({});
    const std::string session = initializeSession();
    std::promise<void> sent;
    asio::co_spawn(hostIO, latestServer()->log(LogLevel::info, std::nullopt, Value(7)),
                   [&](std::exception_ptr) { sent.set_value(); });
    sent.get_future().wait();
    const std::string get = "GET /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
                            "MCP-Session-Id: " + session + "\r\n\r\n";
    std::string first = raw(get, "\"data\":7");
    EXPECT_EQ(notificationNumbers(first), std::vector<int>{7}) << first;
}

TEST_F(StreamableHTTPServerTest, StatelessPingAndConcurrency) {
    startHost({.mode = StreamableHTTPServer::Mode::stateless});
    // A slow call on one connection does not hold up a ping on another.
    std::atomic<bool> slowDone = false;
    std::thread slow([&] {
        Reply reply = curl("POST",
                           R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"sleep",)"
                           R"("arguments":{"milliseconds":3000}}})",
                           "", "application/json");
        EXPECT_NE(reply.body.find("Done."), std::string::npos) << reply.body;
        slowDone = true;
    });
    Reply ping = curl("POST", R"({"jsonrpc":"2.0","id":1,"method":"ping"})", "", "application/json");
    EXPECT_FALSE(slowDone);
    EXPECT_EQ(ping.status, 200);
    EXPECT_EQ(ping.header("Content-Type"), "application/json");
    EXPECT_EQ(ping.body, R"({"id":1,"jsonrpc":"2.0","result":{}})");
    slow.join();
    EXPECT_EQ(curl("GET", "", "", "application/json").status, 405);
}

TEST_F(StreamableHTTPServerTest, MalformedHTTP) {
    StreamableHTTPServer::Options options;
    options.http.maxHeaderBytes = 2048;
    options.http.maxBodyBytes = 4096;
    options.http.headerTimeout = 1s;
    startHost(options);
    const std::string post = "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\n";

    EXPECT_EQ(raw("POST /mcp HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}").substr(0, 12),
              "HTTP/1.1 400");
    EXPECT_EQ(raw(post + "X-Big: " + std::string(4000, 'a') + "\r\n\r\n").substr(0, 12),
              "HTTP/1.1 431");
    EXPECT_EQ(raw(post + "Content-Length: 100000\r\n\r\n").substr(0, 12), "HTTP/1.1 413");
    EXPECT_EQ(raw("GARBAGE\r\n\r\n").substr(0, 12), "HTTP/1.1 400");
    EXPECT_EQ(raw("GET /mcp HTTP/9.9\r\nHost: x\r\n\r\n").substr(0, 12), "HTTP/1.1 400");
    // A head that trickles in is cut off when the header timeout runs out.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(raw("GET /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: a"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
    // Another path: nobody answers it.
    EXPECT_EQ(raw("GET /other HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
                  "Connection: close\r\n\r\n")
                  .substr(0, 12),
              "HTTP/1.1 404");
    // Duplicate header names are folded: two Accept lines make one that names both.
    std::string folded = raw(post +
                             "Accept: application/json\r\nAccept: text/event-stream\r\n"
                             "Content-Type: application/json\r\nContent-Length: " +
                                 std::to_string(kInitialize.size()) + "\r\n\r\n" + kInitialize,
                             "serverInfo");
    EXPECT_EQ(folded.substr(0, 12), "HTTP/1.1 200") << folded;
}

TEST_F(StreamableHTTPServerTest, DroppedStandaloneStreamFreesTheSlot) {
    StreamableHTTPServer::Options options;
    startHost(options);
    const std::string session = initializeSession();
    const std::string get = "GET /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
                            "MCP-Session-Id: " + session + "\r\n\r\n";
    EXPECT_NE(raw(get, "data: \n\n").find("id: _GET_stream_"), std::string::npos);
    // The first connection is closed; the server notices and the next GET is served.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::string second;
    do {
        second = raw(get, "\r\n\r\n");
    } while (second.find("HTTP/1.1 409") == 0 && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(second.substr(0, 12), "HTTP/1.1 200") << second;
}

TEST_F(StreamableHTTPServerTest, QuietEventStreamsGetKeepAliveComments) {
    StreamableHTTPServer::Options options;
    options.http.eventStreamKeepAlive = 100ms;
    startHost(options);
    const std::string session = initializeSession();
    std::string stream = raw("GET /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
                             "MCP-Session-Id: " + session + "\r\n\r\n",
                             ": keep-alive\n\n");
    EXPECT_NE(stream.find(": keep-alive\n\n"), std::string::npos) << stream;
}

TEST_F(StreamableHTTPServerTest, KeepAliveCommentsLoseNoEvent) {
    StreamableHTTPServer::Options options;
    options.http.eventStreamKeepAlive = 1ms;  // ticks all the time, racing every event
    options.eventStore.maxEventsPerStream = 10000;
    startHost(options);
    const std::string session = initializeSession();
    asio::io_context client;
    asio::ip::tcp::socket socket(client);
    socket.connect({asio::ip::make_address("127.0.0.1"), host->port()});
    asio::write(socket, asio::buffer("GET /mcp HTTP/1.1\r\nHost: 127.0.0.1:" +
                                     std::to_string(host->port()) +
                                     "\r\nAccept: text/event-stream\r\nMCP-Session-Id: " +
                                     session + "\r\n\r\n"));
    std::string received;
    socket.non_blocking(true);
    const auto deadline = std::chrono::steady_clock::now() + 60s;  // only against a hang
    auto readUntil = [&](const std::string& text) {
        while (received.find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::array<char, 65536> buffer{};
            boost::system::error_code error;
            std::size_t count = socket.read_some(asio::buffer(buffer), error);
            if (error == asio::error::would_block) {
                std::this_thread::sleep_for(1ms);  // polling a socket, not waiting for a state
                continue;
            }
            if (error) {
                return;
            }
            received.append(buffer.data(), count);
        }
    };
    readUntil("data: \n\n");  // the stream is open

    constexpr int kCount = 2000;
    std::shared_ptr<Server> server = latestServer();
    std::thread sender([&] {
        for (int i = 1; i <= kCount; ++i) {
            std::promise<void> sent;
            asio::co_spawn(hostIO, server->log(LogLevel::info, std::nullopt, Value(i)),
                           [&](std::exception_ptr) { sent.set_value(); });
            sent.get_future().wait();
        }
        // A last one the reader waits for, whatever came before it.
        std::promise<void> sent;
        asio::co_spawn(hostIO, server->log(LogLevel::info, std::nullopt, Value("end")),
                       [&](std::exception_ptr) { sent.set_value(); });
        sent.get_future().wait();
    });
    readUntil(R"("data":"end")");
    sender.join();
    std::vector<int> expected(kCount);
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(notificationNumbers(received), expected);
    EXPECT_NE(received.find(": keep-alive\n\n"), std::string::npos);
}

TEST_F(StreamableHTTPServerTest, ASlowReaderIsCutOffAndResumesFromTheStore) {
    StreamableHTTPServer::Options options;
    options.maxQueuedBytesPerStream = 2 << 20;
    startHost(options);
    const std::string session = initializeSession();
    const std::string get = "GET /mcp HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(host->port()) +
                            "\r\nAccept: text/event-stream\r\nMCP-Session-Id: " + session + "\r\n";
    asio::io_context client;
    asio::ip::tcp::socket socket(client);
    socket.connect({asio::ip::make_address("127.0.0.1"), host->port()});
    // A small window, so that the server cannot push the whole feed into the socket.
    socket.set_option(asio::socket_base::receive_buffer_size(64 * 1024));
    asio::write(socket, asio::buffer(get + "\r\n"));
    std::string received;
    socket.non_blocking(true);
    const auto deadline = std::chrono::steady_clock::now() + 120s;  // only against a hang
    auto readUntil = [&](const std::string& text) {
        while (received.find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::array<char, 65536> buffer{};
            boost::system::error_code error;
            std::size_t count = socket.read_some(asio::buffer(buffer), error);
            if (error == asio::error::would_block) {
                std::this_thread::sleep_for(1ms);  // polling a socket, not waiting for a state
                continue;
            }
            if (error) {
                return;
            }
            received.append(buffer.data(), count);
        }
    };
    readUntil("data: \n\n");  // the stream is open; from now on the reader does not read

    // 100 MiB of notifications, 256 KiB each, while nobody reads.
    constexpr int kCount = 400;
    const std::string pad(256 * 1024, 'x');
    std::shared_ptr<Server> server = latestServer();
    for (int i = 1; i <= kCount; ++i) {
        std::promise<void> sent;
        asio::co_spawn(hostIO,
                       server->log(LogLevel::info, std::nullopt,
                                   Value::object({{"n", Value(i)}, {"pad", Value(pad)}})),
                       [&](std::exception_ptr) { sent.set_value(); });
        sent.get_future().wait();
    }
    auto numbers = [](const std::string& body) {
        std::vector<int> found;
        const std::string key = "\"n\":";
        for (auto at = body.find(key); at != std::string::npos; at = body.find(key, at + 1)) {
            found.push_back(std::atoi(body.c_str() + at + key.size()));
        }
        return found;
    };
    // The stream was ended long before the feed did: the server held only so much for it.
    readUntil("\r\n0\r\n\r\n");
    ASSERT_NE(received.find("\r\n0\r\n\r\n"), std::string::npos) << "the stream never ended";
    const std::vector<int> first = numbers(received);
    ASSERT_FALSE(first.empty());
    EXPECT_LT(first.size(), std::size_t(kCount / 4));
    const std::vector<std::string> ids = eventIDs(received);

    // Resumption gives what the store still holds, up to the newest event, in order.
    std::string resumed = raw(get + "Last-Event-ID: " + ids.back() + "\r\n\r\n",
                              "\"n\":" + std::to_string(kCount) + ",", 60s);
    EXPECT_EQ(resumed.substr(0, 12), "HTTP/1.1 200") << resumed.substr(0, 300);
    const std::vector<int> rest = numbers(resumed);
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(rest.back(), kCount);
    EXPECT_GT(rest.front(), first.back());
    EXPECT_TRUE(std::is_sorted(rest.begin(), rest.end()));
}

TEST_F(StreamableHTTPServerTest, AbandonedInitializesNeverLockNewcomersOut) {
    StreamableHTTPServer::Options options;
    options.maxSessions = 100;
    startHost(options);
    asio::io_context client;
    asio::ip::tcp::socket socket(client);
    socket.connect({asio::ip::make_address("127.0.0.1"), host->port()});
    const std::string post = "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1:" +
                             std::to_string(host->port()) +
                             "\r\nAccept: application/json, text/event-stream\r\n"
                             "Content-Type: application/json\r\nContent-Length: " +
                             std::to_string(kInitialize.size()) + "\r\n\r\n" + kInitialize;
    std::string buffer;
    int refused = 0;
    // Clients that initialize and go away without a word, one after another.
    for (int cycle = 0; cycle < 20000; ++cycle) {
        asio::write(socket, asio::buffer(post));
        std::size_t end;
        while ((end = buffer.find("\r\n0\r\n\r\n")) == std::string::npos) {
            std::array<char, 16384> chunk{};
            boost::system::error_code error;
            std::size_t count = socket.read_some(asio::buffer(chunk), error);
            ASSERT_FALSE(error) << error.message() << " at cycle " << cycle;
            buffer.append(chunk.data(), count);
        }
        if (buffer.rfind("HTTP/1.1 200", 0) != 0) {
            ++refused;
        }
        buffer.erase(0, end + 7);
    }
    EXPECT_EQ(refused, 0);
    EXPECT_LE(host->sessionCount(), 100u);
}

TEST_F(StreamableHTTPServerTest, AStreamWhosePeerVanishedDoesNotKeepItsSessionAlive) {
    StreamableHTTPServer::Options options;
    options.idleTimeout = 3s;
    startHost(options);
    const std::string vanishing = initializeSession();

    // The session's standalone stream, open for longer than the idle limit.
    asio::io_context client;
    asio::ip::tcp::socket stream(client);
    stream.connect({asio::ip::make_address("127.0.0.1"), host->port()});
    asio::write(stream, asio::buffer("GET /mcp HTTP/1.1\r\nHost: 127.0.0.1:" +
                                     std::to_string(host->port()) +
                                     "\r\nAccept: text/event-stream\r\nMCP-Session-Id: " +
                                     vanishing + "\r\n\r\n"));
    std::string primed;
    while (primed.find("data: \n\n") == std::string::npos) {
        std::array<char, 4096> buffer{};
        boost::system::error_code error;
        std::size_t count = stream.read_some(asio::buffer(buffer), error);
        ASSERT_FALSE(error) << error.message() << primed;
        primed.append(buffer.data(), count);
    }
    std::this_thread::sleep_for(options.idleTimeout + 500ms);

    // A fresh session, then the stream's peer goes away without a clean close: the connection
    // is reset, as when the far host has lost it.
    const std::string fresh = initializeSession();
    stream.set_option(asio::socket_base::linger(true, 0));
    stream.close();

    // The broken stream is no sign of life: its session is the one that expires first, while
    // the fresh one is still within its limit.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (host->sessionCount() == 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    const std::string ping = R"({"jsonrpc":"2.0","id":2,"method":"ping"})";
    EXPECT_EQ(curl("POST", ping, "-H " + quoted("MCP-Session-Id: " + vanishing)).status, 404);
    EXPECT_EQ(curl("POST", ping, "-H " + quoted("MCP-Session-Id: " + fresh)).status, 200);
}

TEST_F(StreamableHTTPServerTest, IdleSessionsExpire) {
    StreamableHTTPServer::Options options;
    options.idleTimeout = 200ms;
    startHost(options);
    const std::string session = initializeSession();
    EXPECT_FALSE(session.empty());
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (host->sessionCount() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(host->sessionCount(), 0u);
    EXPECT_EQ(curl("POST", R"({"jsonrpc":"2.0","id":2,"method":"ping"})",
                   "-H " + quoted("MCP-Session-Id: " + session))
                  .status,
              404);
}

}  // namespace
}  // namespace mcp
