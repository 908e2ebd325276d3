// The standard input/output transport over real pipes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "MCP/MCPError.h"
#include "MCP/StdioTransport.h"
#include "tests/MCP/ServerTestSupport.h"

namespace mcp {
namespace {

using namespace mcp::testing;

struct Pipe {
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("Could not make a pipe.");
        }
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (read != -1) {
            ::close(read);
            read = -1;
        }
    }
    void closeWrite() {
        if (write != -1) {
            ::close(write);
            write = -1;
        }
    }
    void put(const std::string& bytes) const {
        ASSERT_EQ(::write(write, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads into `received` on a thread of its own until the write end is closed.
    std::thread readAll(std::string& received) const {
        return std::thread([fd = read, &received] {
            char chunk[8192];
            ssize_t n = 0;
            while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
                received.append(chunk, static_cast<std::size_t>(n));
            }
        });
    }
    int read = -1;
    int write = -1;
};

TEST(StdioTransport, SplitsLinesAndKeepsWhatIsNotTheLineFeed) {
    asio::io_context io;
    Pipe input;
    Pipe output;
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write);
    runFor(io, transport->connect());
    input.put("a\n\nb");
    input.put("\r\nsplit ");
    input.put("line\n{\"x\":1}\n{\"y\":2}\nunterminated");
    input.closeWrite();
    Drained drained = runFor(io, drain(transport->receive()));
    EXPECT_EQ(drained.messages,
              (std::vector<std::string>{"a", "b\r", "split line", "{\"x\":1}", "{\"y\":2}"}));
    EXPECT_EQ(drained.error, "");
    // End of input leaves sending possible.
    runFor(io, transport->send("still writing"));
    char buffer[64] = {};
    EXPECT_EQ(::read(output.read, buffer, sizeof buffer), 14);
    EXPECT_EQ(std::string(buffer), "still writing\n");
}

TEST(StdioTransport, SendsOnlyWhileConnected) {
    asio::io_context io;
    Pipe input;
    Pipe output;
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write);
    auto expectNotConnected = [&] {
        try {
            runFor(io, transport->send("x"));
            ADD_FAILURE() << "sent while not connected";
        } catch (const MCPError& error) {
            EXPECT_EQ(error.kind(), MCPError::Kind::transportError);
        }
    };
    expectNotConnected();
    runFor(io, transport->connect());
    runFor(io, transport->connect());  // a second connect does nothing
    runFor(io, transport->send(""));
    char buffer[4] = {};
    EXPECT_EQ(::read(output.read, buffer, sizeof buffer), 1);
    EXPECT_EQ(buffer[0], '\n');
    runFor(io, transport->disconnect());
    expectNotConnected();
    EXPECT_TRUE(runFor(io, drain(transport->receive())).messages.empty());
}

// A send still waiting for another line's write when the transport disconnects writes nothing.
TEST(StdioTransport, ASendWaitingAtDisconnectWritesNothing) {
    asio::io_context io;
    Pipe input;
    Pipe output;
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write);
    runFor(io, transport->connect());
    const std::string big(200 * 1024, 'a');  // more than the pipe holds: the write waits
    std::optional<std::exception_ptr> first;
    std::optional<std::exception_ptr> second;
    asio::co_spawn(io, transport->send(big), [&](std::exception_ptr error) { first = error; });
    asio::co_spawn(io, transport->send("b"), [&](std::exception_ptr error) { second = error; });
    runIdle(io, 20ms);
    ASSERT_FALSE(first);
    ASSERT_FALSE(second);
    runFor(io, transport->disconnect());
    std::string received;
    std::thread reader = output.readAll(received);
    while (!first || !second) {
        io.run_one_for(std::chrono::milliseconds(10));
    }
    output.closeWrite();
    reader.join();
    EXPECT_FALSE(*first);
    ASSERT_TRUE(*second);
    try {
        std::rethrow_exception(*second);
    } catch (const MCPError& error) {
        EXPECT_EQ(error.kind(), MCPError::Kind::transportError);
    }
    EXPECT_EQ(received, big + "\n");
}

TEST(StdioTransport, OverlongLineEndsTheStreamWithAnError) {
    asio::io_context io;
    Pipe input;
    Pipe output;
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write,
                                                      std::nullopt, 16);
    runFor(io, transport->connect());
    input.put("short\n" + std::string(40, 'x'));
    Drained drained = runFor(io, drain(transport->receive()));
    EXPECT_EQ(drained.messages, (std::vector<std::string>{"short"}));
    EXPECT_EQ(drained.error, "Internal error: Message exceeds the line length limit of 16 bytes");
}

// Senders on one thread and on several: lines far larger than the pipe's buffer (every write is
// partial and the others have to wait) mixed with short ones (written at once when the way is
// free).
class StdioTransportConcurrentSends : public ::testing::TestWithParam<int> {};

TEST_P(StdioTransportConcurrentSends, NeverInterleave) {
    const int threads = GetParam();
    asio::io_context io(threads);
    Pipe input;
    Pipe output;
    auto transport = std::make_shared<StdioTransport>(io.get_executor(), input.read, output.write);
    runFor(io, transport->connect());
    constexpr int kSenders = 12;
    auto lengthOf = [](int sender) -> std::size_t { return sender % 2 == 0 ? 200 * 1024 : 100; };
    std::string received;
    std::thread reader = output.readAll(received);
    std::atomic<int> finished = 0;
    std::atomic<int> failures = 0;
    for (int sender = 0; sender < kSenders; ++sender) {
        asio::co_spawn(
            io, transport->send(std::string(lengthOf(sender), static_cast<char>('a' + sender))),
            [&](std::exception_ptr error) {
                failures += error ? 1 : 0;
                ++finished;
            });
    }
    std::vector<std::thread> runners;
    for (int i = 0; i < threads; ++i) {
        runners.emplace_back([&] {
            while (finished < kSenders) {
                io.run_one_for(std::chrono::milliseconds(10));
            }
        });
    }
    for (auto& runner : runners) {
        runner.join();
    }
    EXPECT_EQ(failures, 0);
    output.closeWrite();
    reader.join();
    std::size_t total = 0;
    for (int sender = 0; sender < kSenders; ++sender) {
        total += lengthOf(sender) + 1;
    }
    ASSERT_EQ(received.size(), total);
    std::vector<bool> seen(kSenders, false);
    for (std::size_t start = 0; start < received.size();) {
        const char letter = received[start];
        ASSERT_GE(letter, 'a');
        ASSERT_LT(letter, 'a' + kSenders);
        const std::size_t length = lengthOf(letter - 'a');
        EXPECT_EQ(received.find_first_not_of(letter, start), start + length);
        EXPECT_EQ(received[start + length], '\n');
        seen[static_cast<std::size_t>(letter - 'a')] = true;
        start += length + 1;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), kSenders);
}

INSTANTIATE_TEST_SUITE_P(Threads, StdioTransportConcurrentSends, ::testing::Values(1, 4));

}  // namespace
}  // namespace mcp
