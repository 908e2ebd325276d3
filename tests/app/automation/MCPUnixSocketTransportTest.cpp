#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "../../LocalAutomation/SocketTestSupport.h"
#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/MCPUnixSocketLineReader.h"
#include "LocalAutomation/SocketError.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/Server/Server.h"
#include "app/automation/MCPUnixSocketTransport.h"

namespace fw::automation {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing::SocketPair;

template <class T>
T await(asio::io_context& io, asio::awaitable<T> operation) {
    auto future = asio::co_spawn(io, std::move(operation), asio::use_future);
    if (future.wait_for(10s) != std::future_status::ready) {
        throw std::runtime_error("the operation did not complete");
    }
    return future.get();
}

// Waits until `counter` reaches `expected` (onClose runs just after the stream ends).
bool reaches(const std::atomic<int>& counter, int expected) {
    for (int i = 0; i < 400 && counter.load() < expected; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    return counter.load() == expected;
}

void await(asio::io_context& io, asio::awaitable<void> operation) {
    auto future = asio::co_spawn(io, std::move(operation), asio::use_future);
    if (future.wait_for(10s) != std::future_status::ready) {
        throw std::runtime_error("the operation did not complete");
    }
    future.get();
}

// One transport over one end of a socket pair; the test plays the companion on the other end.
// A consumer on the io_context collects what the transport receives.
class TransportTest : public ::testing::Test {
protected:
    explicit TransportTest(
        std::chrono::milliseconds stallLimit = MCPUnixSocketTransport::kWriteStallLimit) {
        auto handle = std::make_shared<MCPUnixSocketHandle>(pair.releaseNear());
        transport = std::make_shared<MCPUnixSocketTransport>(
            io.get_executor(), handle, [this] { ++closes; }, stallLimit);
        companion.emplace(pair.far());
        MCPUnixSocket::configure(pair.far(), true, 2000ms);  // reads on the companion's end
        runner = std::thread([this] { io.run(); });
    }
    ~TransportTest() override {
        transport.reset();
        work.reset();
        runner.join();
    }

    void connectAndCollect() {
        await(io, transport->connect());
        asio::co_spawn(io, collect(transport->receive()), asio::detached);
    }

    asio::awaitable<void> collect(mcp::MessageStream stream) {
        while (auto message = co_await stream.next()) {
            std::lock_guard guard(mutex);
            received.push_back(std::move(*message));
            changed.notify_all();
        }
        std::lock_guard guard(mutex);
        ended = true;
        changed.notify_all();
    }

    // The next received message, or none when the stream ends or nothing comes within a while.
    std::optional<std::string> nextReceived(std::chrono::milliseconds limit = 2000ms) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, limit, [&] { return !received.empty() || ended; });
        if (received.empty()) {
            return std::nullopt;
        }
        std::string message = std::move(received.front());
        received.pop_front();
        return message;
    }
    bool streamEnded(std::chrono::milliseconds limit = 2000ms) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return ended; });
    }
    bool nothingReceivedFor(std::chrono::milliseconds wait) {
        std::unique_lock lock(mutex);
        return !changed.wait_for(lock, wait, [&] { return !received.empty(); });
    }

    void send(const std::string& message) { await(io, transport->send(message)); }
    void answer(const std::string& message, std::optional<mcp::ID> request, bool isError = false) {
        await(io, transport->sendAnswer(message, {std::move(request), isError}));
    }
    SocketError sendFailure(const std::string& message) {
        try {
            send(message);
        } catch (const SocketError& error) {
            return error;
        }
        ADD_FAILURE() << "send did not fail";
        return SocketError::io(-1);
    }

    // The connection was closed silently: the stream ended and the companion reads the end of
    // the stream with nothing written before it.
    void expectClosedSilently() {
        EXPECT_TRUE(streamEnded());
        EXPECT_FALSE(transport->isOpen());
        char byte = 0;
        EXPECT_EQ(::read(pair.far(), &byte, 1), 0);
        EXPECT_TRUE(reaches(closes, 1));
    }

    SocketPair pair;
    asio::io_context io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work{
        asio::make_work_guard(io)};
    std::thread runner;
    std::shared_ptr<MCPUnixSocketTransport> transport;
    std::optional<MCPUnixSocketLineReader> companion;
    std::atomic<int> closes{0};

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> received;
    bool ended = false;
};

TEST_F(TransportTest, LoggerIsLabelledForTheUnixTransport) {
    EXPECT_EQ(transport->logger().label(), "frameweaver.mcp.unix");
}

TEST_F(TransportTest, RequestsAndResponsesTravelAsLines) {
    connectAndCollect();
    const std::string request = R"({"jsonrpc":"2.0", "id":"7","method":"ping"})";
    ASSERT_TRUE(pair.sendFar(request + "\n"));
    EXPECT_EQ(nextReceived(), request);
    send(R"({"jsonrpc":"2.0","id":"7","result":{}})");
    EXPECT_EQ(companion->nextLine(1 << 20), R"({"jsonrpc":"2.0","id":"7","result":{}})");
}

TEST_F(TransportTest, BrokenRulesCloseTheConnectionSilently) {
    const std::string lines[] = {
        "\n",
        "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}\n",
        "{\"method\":\"ping\",\"id\":true}\n",
        "{\"method\":\"ping\",\"id\":null}\n",
        // Taken for an answer by the server, which would leave the reader waiting for ever.
        "{\"jsonrpc\":\"2.0\",\"method\":\"ping\",\"id\":1,\"result\":{}}\n",
        "{\"method\":\"ping\"}\n",
        std::string(MCPUnixSocket::kIncomingLineMaximum + 1, ' ') + "\n",
    };
    for (const auto& line : lines) {
        SCOPED_TRACE(line.substr(0, 40));
        SocketPair fresh;
        auto handle = std::make_shared<MCPUnixSocketHandle>(fresh.releaseNear());
        std::atomic<int> freshCloses{0};
        auto freshTransport =
            std::make_shared<MCPUnixSocketTransport>(io.get_executor(), handle,
                                                     [&] { ++freshCloses; });
        handle.reset();
        await(io, freshTransport->connect());
        std::promise<bool> endedCleanly;
        asio::co_spawn(
            io,
            [stream = freshTransport->receive()]() mutable -> asio::awaitable<bool> {
                auto message = co_await stream.next();
                co_return !message.has_value();
            },
            [&](std::exception_ptr error, bool clean) { endedCleanly.set_value(!error && clean); });
        std::thread writer([&] { fresh.sendFar(line); });
        EXPECT_TRUE(endedCleanly.get_future().get());
        char byte = 0;
        MCPUnixSocket::configure(fresh.far(), true, 2000ms);
        EXPECT_EQ(::read(fresh.far(), &byte, 1), 0);
        EXPECT_TRUE(reaches(freshCloses, 1));
        EXPECT_FALSE(freshTransport->isOpen());
        fresh.closeFar();
        writer.join();
    }
}

TEST_F(TransportTest, LineOfExactlyTheMaximumIsAccepted) {
    connectAndCollect();
    std::string line = R"({"method":"notifications/x","params":{"p":")";
    line.append(MCPUnixSocket::kIncomingLineMaximum - line.size() - 3, 'p');
    line += "\"}}";
    ASSERT_EQ(line.size(), MCPUnixSocket::kIncomingLineMaximum);
    std::thread writer([&] { pair.sendFar(line + "\n"); });
    EXPECT_EQ(nextReceived(), line);
    writer.join();
    EXPECT_TRUE(transport->isOpen());
}

TEST_F(TransportTest, OneRequestInFlightHoldsBackPipelinedInput) {
    connectAndCollect();
    ASSERT_TRUE(pair.sendFar("{\"id\":\"7\",\"method\":\"a\"}\n{\"id\":2,\"method\":\"b\"}\n"));
    EXPECT_EQ(nextReceived(), "{\"id\":\"7\",\"method\":\"a\"}");
    EXPECT_TRUE(nothingReceivedFor(100ms));
    // The number 7 is not the string 7, and what is not an answer releases nothing: the
    // server's own notification, nor a text that reads as the answer but is sent as none.
    answer(R"({"id":7,"result":{}})", mcp::ID(7));
    send(R"({"method":"notifications/message","params":{}})");
    send(R"({"id":"7","result":{}})");
    EXPECT_TRUE(nothingReceivedFor(100ms));
    answer(R"({"id":"7","result":{}})", mcp::ID("7"));
    EXPECT_EQ(nextReceived(), "{\"id\":2,\"method\":\"b\"}");
}

// The reader waits for the socket whenever a read has emptied it, also with part of a line read
// and behind a request in flight: every piece that comes later is still read.
TEST_F(TransportTest, LinesArrivingInPiecesComeWhole) {
    connectAndCollect();
    const std::string request = R"({"jsonrpc":"2.0","id":3,"method":"ping"})";
    ASSERT_TRUE(pair.sendFar(request.substr(0, 10)));
    EXPECT_TRUE(nothingReceivedFor(50ms));
    ASSERT_TRUE(pair.sendFar(request.substr(10) + "\n{\"method\":\"notifications/x\""));
    EXPECT_EQ(nextReceived(), request);
    answer(R"({"id":3,"result":{}})", mcp::ID(3));
    EXPECT_TRUE(nothingReceivedFor(50ms));
    ASSERT_TRUE(pair.sendFar("}\n"));
    EXPECT_EQ(nextReceived(), "{\"method\":\"notifications/x\"}");
    EXPECT_TRUE(transport->isOpen());
}

TEST_F(TransportTest, ErrorAnswerWithoutTheRequestsIdReleasesIt) {
    connectAndCollect();
    ASSERT_TRUE(pair.sendFar("{\"id\":1,\"method\":\"a\"}\n{\"id\":2,\"method\":\"b\"}\n"));
    EXPECT_EQ(nextReceived(), "{\"id\":1,\"method\":\"a\"}");
    answer(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"Invalid Request"}})",
           std::nullopt, true);
    EXPECT_EQ(nextReceived(), "{\"id\":2,\"method\":\"b\"}");
}

TEST_F(TransportTest, NotificationRunLimit) {
    connectAndCollect();
    const std::string notification = "{\"method\":\"notifications/progress\"}\n";
    std::string input;
    for (int i = 0; i < 32; ++i) {
        input += notification;
    }
    input += "{\"id\":1,\"method\":\"ping\"}\n";
    ASSERT_TRUE(pair.sendFar(input));
    for (int i = 0; i < 32; ++i) {
        ASSERT_TRUE(nextReceived()) << i;
    }
    EXPECT_EQ(nextReceived(), "{\"id\":1,\"method\":\"ping\"}");
    answer(R"({"id":1,"result":{}})", mcp::ID(1));
    (void)companion->nextLine(1 << 20);

    // The request started a new run: 32 more pass, the 33rd closes.
    input.clear();
    for (int i = 0; i < 33; ++i) {
        input += notification;
    }
    ASSERT_TRUE(pair.sendFar(input));
    for (int i = 0; i < 32; ++i) {
        ASSERT_TRUE(nextReceived()) << i;
    }
    expectClosedSilently();
}

TEST_F(TransportTest, OutgoingSizeLimit) {
    connectAndCollect();
    std::string exact = R"({"method":"notifications/x","params":{"p":")";
    exact.append(MCPUnixSocket::kOutgoingMessageMaximum - exact.size() - 3, 'p');
    exact += "\"}}";
    ASSERT_EQ(exact.size(), MCPUnixSocket::kOutgoingMessageMaximum);
    std::string line;
    std::thread reader([&] { line = companion->nextLine(1 << 20); });
    send(exact);
    reader.join();
    EXPECT_EQ(line, exact);

    // A valid notification one byte longer.
    std::string over = exact;
    over.insert(over.size() - 3, "p");
    ASSERT_EQ(over.size(), MCPUnixSocket::kOutgoingMessageMaximum + 1);
    ASSERT_TRUE(mcp::tryParseJson(over));
    EXPECT_EQ(sendFailure(over), SocketError::messageTooLarge());
    expectClosedSilently();
    EXPECT_EQ(sendFailure("{}"), SocketError::io(ENOBUFS));
}

TEST_F(TransportTest, EmptyOrMultiLineMessagesAreRefused) {
    connectAndCollect();
    EXPECT_EQ(sendFailure("{\n}"), SocketError::messageTooLarge());
    EXPECT_FALSE(transport->isOpen());

    // A fresh transport for the empty message.
    SocketPair other;
    MCPUnixSocketTransport second(io.get_executor(),
                                  std::make_shared<MCPUnixSocketHandle>(other.releaseNear()), {});
    try {
        await(io, second.send(""));
        ADD_FAILURE() << "empty message sent";
    } catch (const SocketError& error) {
        EXPECT_EQ(error, SocketError::messageTooLarge());
    }
    EXPECT_FALSE(second.isOpen());
}

TEST_F(TransportTest, ClosingEndsTheStreamAndLaterCallsFail) {
    connectAndCollect();
    EXPECT_TRUE(nothingReceivedFor(20ms));
    await(io, transport->disconnect());
    await(io, transport->disconnect());
    expectClosedSilently();
    EXPECT_EQ(sendFailure(R"({"id":1,"result":{}})"), SocketError::io(ENOBUFS));
    try {
        await(io, transport->connect());
        ADD_FAILURE() << "connected";
    } catch (const SocketError& error) {
        EXPECT_EQ(error, SocketError::io(ENOTCONN));
    }
}

TEST_F(TransportTest, CompanionClosingEndsTheStream) {
    connectAndCollect();
    pair.closeFar();
    EXPECT_TRUE(streamEnded());
    EXPECT_TRUE(reaches(closes, 1));
}

// The companion stops reading: large messages fill the socket. Two sends may wait; a third
// closes the connection, and the waiting ones fail too, as sends on a closed connection.
TEST_F(TransportTest, WriteQueueHoldsTwoSends) {
    connectAndCollect();
    const std::string large =
        "{\"method\":\"notifications/x\",\"params\":\"" + std::string(250'000, 'x') + "\"}";
    std::vector<std::future<void>> sends;
    for (int i = 0; i < 8; ++i) {
        sends.push_back(asio::co_spawn(io, transport->send(large), asio::use_future));
    }
    int refused = 0;
    int waitedInVain = 0;
    int cutOff = 0;  // the write under way when the connection closed
    for (auto& sent : sends) {
        ASSERT_EQ(sent.wait_for(10s), std::future_status::ready);
        try {
            sent.get();
        } catch (const SocketError& error) {
            if (error == SocketError::io(ENOBUFS)) {
                ++refused;
            } else if (error == SocketError::io(ENOTCONN)) {
                ++waitedInVain;
            } else {
                EXPECT_EQ(error, SocketError::io(EPIPE));
                ++cutOff;
            }
        }
    }
    EXPECT_GE(refused, 1);
    EXPECT_GE(waitedInVain, 1);
    EXPECT_LE(cutOff, 1);
    EXPECT_FALSE(transport->isOpen());
    EXPECT_TRUE(reaches(closes, 1));
}

class StalledTransportTest : public TransportTest {
protected:
    StalledTransportTest() : TransportTest(100ms) {}
};

TEST_F(StalledTransportTest, WriteThatCannotProceedClosesTheConnection) {
    connectAndCollect();
    const std::string large =
        "{\"method\":\"notifications/x\",\"params\":\"" + std::string(250'000, 'x') + "\"}";
    std::optional<SocketError> failure;
    for (int i = 0; i < 40 && !failure; ++i) {
        try {
            send(large);
        } catch (const SocketError& error) {
            failure = error;
        }
    }
    EXPECT_EQ(failure, SocketError::io(EAGAIN));
    EXPECT_FALSE(transport->isOpen());
    EXPECT_TRUE(streamEnded());
}

// The MCP server runs over the transport unchanged.
TEST_F(TransportTest, ServerAnswersOverTheSocket) {
    mcp::Server::Capabilities capabilities;
    capabilities.tools = mcp::Server::Capabilities::Tools{};
    auto server = std::make_shared<mcp::Server>(io.get_executor(), "Frameweaver", "1.0.0",
                                                std::nullopt, std::nullopt, capabilities);
    await(io, server->start(transport));
    ASSERT_TRUE(pair.sendFar(
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{"experimental":{"x":{}}},"clientInfo":{"name":"c","version":"1"}}})"
        "\n"));
    const std::string answer = companion->nextLine(1 << 20);
    EXPECT_NE(answer.find(R"("id":1)"), std::string::npos) << answer;
    EXPECT_NE(answer.find(R"("serverInfo":{"name":"Frameweaver","version":"1.0.0"})"),
              std::string::npos)
        << answer;
    ASSERT_TRUE(
        pair.sendFar("{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n"
                     "{\"jsonrpc\":\"2.0\",\"id\":\"p\",\"method\":\"ping\"}\n"));
    EXPECT_EQ(companion->nextLine(1 << 20), R"({"id":"p","jsonrpc":"2.0","result":{}})");

    // An unknown method whose name alone nearly fills the incoming limit is answered within the
    // outgoing one (the name is echoed cut), and the connection stays open.
    std::string unknown = R"({"jsonrpc":"2.0","id":"u","method":")";
    unknown.append(MCPUnixSocket::kIncomingLineMaximum - unknown.size() - 2, 'm');
    unknown += "\"}";
    ASSERT_EQ(unknown.size(), MCPUnixSocket::kIncomingLineMaximum);
    ASSERT_TRUE(pair.sendFar(unknown + "\n"));
    const std::string refusal = companion->nextLine(1 << 20);
    EXPECT_LT(refusal.size(), 2048u);
    EXPECT_NE(refusal.find(R"("code":-32601)"), std::string::npos) << refusal.substr(0, 200);
    EXPECT_NE(refusal.find(R"("id":"u")"), std::string::npos) << refusal.substr(0, 200);
    ASSERT_TRUE(pair.sendFar("{\"jsonrpc\":\"2.0\",\"id\":\"q\",\"method\":\"ping\"}\n"));
    EXPECT_EQ(companion->nextLine(1 << 20), R"({"id":"q","jsonrpc":"2.0","result":{}})");
    await(io, server->stop());
    EXPECT_FALSE(transport->isOpen());
}

}  // namespace
}  // namespace fw::automation
