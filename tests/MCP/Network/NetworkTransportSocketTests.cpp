// The network transport over real loopback TCP and Unix sockets: a scripted peer writing
// heartbeat frames in chosen pieces, resetting, closing and ceasing to listen; the client against
// our own server over the network, and against the example server bridged onto TCP by socat.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <cstring>
#include <future>
#include <thread>

#include "MCP/Client/Client.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/Network/NetworkTransport.h"
#include "tests/MCP/ClientTestSupport.h"
#include "tests/platform/net/ScriptedPeer.h"
#include "tests/platform/net/SpawnedProgram.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using fw::net::testing::ScriptedPeer;
using Heartbeat = NetworkTransport::HeartbeatConfiguration;
using Reconnection = NetworkTransport::ReconnectionConfiguration;

// The transports run on an io_context of their own thread; the test thread plays the peer with
// blocking socket calls and waits for the transport's operations through futures.
class NetworkTransportOverSockets : public ::testing::TestWithParam<ScriptedPeer::Kind> {
protected:
    NetworkTransportOverSockets()
        : work_(asio::make_work_guard(io)), thread_([this] { io.run(); }) {}
    ~NetworkTransportOverSockets() override {
        work_.reset();
        thread_.join();
    }

    template <class T>
    std::future<T> start(asio::awaitable<T> operation) {
        return asio::co_spawn(io, std::move(operation), asio::use_future);
    }
    template <class T>
    T await(asio::awaitable<T> operation) {
        auto future = start(std::move(operation));
        if (future.wait_for(30s) != std::future_status::ready) {
            throw std::runtime_error("The operation did not end in time.");
        }
        return future.get();
    }

    std::shared_ptr<NetworkTransport> transportTo(const ScriptedPeer& peer, Heartbeat heartbeat,
                                                  Reconnection reconnection) {
        return std::make_shared<NetworkTransport>(io.get_executor(),
                                                  fw::net::makeConnection(peer.endpoint()),
                                                  std::nullopt, heartbeat, reconnection);
    }

    asio::io_context io;

private:
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
};

INSTANTIATE_TEST_SUITE_P(Kinds, NetworkTransportOverSockets,
                         ::testing::Values(ScriptedPeer::Kind::tcp, ScriptedPeer::Kind::unixSocket),
                         [](const auto& info) {
                             return info.param == ScriptedPeer::Kind::tcp ? "TCP" : "Unix";
                         });

TEST_P(NetworkTransportOverSockets, HeartbeatFramesAreDroppedHoweverTheyArriveAndSendsStayWhole) {
    ScriptedPeer peer(GetParam());
    auto transport = transportTo(peer, Heartbeat::defaultConfiguration(), Reconnection::disabled());
    MessageStream stream = transport->receive();
    await(transport->connect());
    const int end = peer.accept();
    const std::string frame = NetworkHeartbeat().data();
    for (const std::string& piece :
         {frame, std::string("{\"a\":1}\n"), frame.substr(0, 3),
          frame.substr(3) + "{\"b\":2}\n" + frame.substr(0, 6), frame.substr(6),
          "{\"c\":3}\n" + frame, std::string("{\"d\":4}\n")}) {
        ScriptedPeer::writeAll(end, piece);
        std::this_thread::sleep_for(2ms);  // most pieces then arrive in reads of their own
    }
    for (const char* expected : {"{\"a\":1}", "{\"b\":2}", "{\"c\":3}", "{\"d\":4}"}) {
        EXPECT_EQ(await(stream.next()), std::optional<std::string>(expected));
    }
    // The transport's own first frame, one second after it connected, then a line, whole.
    const std::string sent = ScriptedPeer::readBytes(end, 12);
    EXPECT_TRUE(NetworkHeartbeat::from(sent));
    await(transport->send("{\"e\":5}"));
    EXPECT_EQ(ScriptedPeer::readLine(end), "{\"e\":5}");
    // Without reconnection the peer's end ends the stream with connectionClosed.
    ::close(end);
    EXPECT_THROW(
        {
            try {
                await(stream.next());
            } catch (const MCPError& error) {
                EXPECT_EQ(error.kind(), MCPError::Kind::connectionClosed);
                throw;
            }
        },
        MCPError);
    await(transport->disconnect());
}

TEST_P(NetworkTransportOverSockets, AResetConnectionIsRecoveredOnTheSameStream) {
    ScriptedPeer peer(GetParam());
    auto transport = transportTo(peer, Heartbeat::disabled(), Reconnection::defaultConfiguration());
    MessageStream stream = transport->receive();
    await(transport->connect());
    const int first = peer.accept();
    ScriptedPeer::writeAll(first, "one\n");
    EXPECT_EQ(await(stream.next()), std::optional<std::string>("one"));
    ScriptedPeer::reset(first);
    // The transport starts its connection again on a new socket.
    const int second = peer.accept();
    ScriptedPeer::writeAll(second, "two\n");
    EXPECT_EQ(await(stream.next()), std::optional<std::string>("two"));
    await(transport->send("three"));
    EXPECT_EQ(ScriptedPeer::readLine(second), "three");
    await(transport->disconnect());
    EXPECT_EQ(await(stream.next()), std::nullopt);
    ::close(second);
}

TEST_P(NetworkTransportOverSockets, WhenThePeerStopsListeningTheStreamFailsWithTheLastError) {
    ScriptedPeer peer(GetParam());
    auto transport = transportTo(peer, Heartbeat::disabled(), Reconnection{true, 1, 1.0});
    MessageStream stream = transport->receive();
    await(transport->connect());
    const int end = peer.accept();
    peer.stopListening();
    ::close(end);
    try {
        await(stream.next());
        ADD_FAILURE() << "the stream went on";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(),
                  GetParam() == ScriptedPeer::Kind::tcp ? ECONNREFUSED : ENOENT);
    }
    await(transport->disconnect());
}

TEST_P(NetworkTransportOverSockets, TheClientTalksToOurServerOverTheNetwork) {
    ScriptedPeer peer(GetParam());
    auto clientTransport =
        transportTo(peer, Heartbeat{true, 0.2}, Reconnection::defaultConfiguration());
    auto client = std::make_shared<Client>(io.get_executor(), "network-client", "1.0");
    auto connected = start(client->connect(clientTransport));
    auto serverTransport = std::make_shared<NetworkTransport>(
        io.get_executor(), fw::net::adoptConnectedSocket(peer.accept()), std::nullopt,
        Heartbeat{true, 0.2}, Reconnection::disabled());
    auto server = testing::makeFullServer(io.get_executor(), testing::everyCapability());
    await(server->start(serverTransport));
    ASSERT_EQ(connected.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(connected.get().serverInfo.name, "full");
    // Long enough for heartbeats both ways between the requests.
    std::this_thread::sleep_for(1500ms);
    auto [tools, next] = await(client->listTools());
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0].name, "echo");
    auto [content, isError] =
        await(client->callTool("echo", Object::fromEntries({{"text", Value("é/\n")}})));
    ASSERT_EQ(content.size(), 1u);
    EXPECT_EQ(content[0].get<ToolContent::Text>()->text, "é/\n");
    await(client->ping());
    await(client->disconnect());
    await(server->stop());
}

// The peer's side of the handshake, played by hand: answers "initialize" and takes
// "notifications/initialized".
void answerHandshake(int end) {
    const Value initialize = parseJson(ScriptedPeer::readLine(end));
    ScriptedPeer::writeAll(
        end, R"({"jsonrpc":"2.0","id":)" + toJson(*initialize.find("id")) +
                 R"(,"result":{"protocolVersion":"2025-11-25","capabilities":{"tools":{}},)"
                 R"("serverInfo":{"name":"by-hand","version":"1"}}})"
                 "\n");
    ScriptedPeer::readLine(end);
}

// The error text an operation ended with, or "ok".
template <class T>
asio::awaitable<std::string> outcomeText(asio::awaitable<T> operation) {
    try {
        co_await std::move(operation);
        co_return "ok";
    } catch (const std::exception& error) {
        co_return error.what();
    }
}

TEST_P(NetworkTransportOverSockets, ARequestInFlightFailsAtAResetAndTheNextFollowsANewHandshake) {
    ScriptedPeer peer(GetParam());
    auto transport = transportTo(peer, Heartbeat::disabled(), Reconnection::defaultConfiguration());
    auto client = std::make_shared<Client>(io.get_executor(), "network-client", "1.0");
    auto connected = start(client->connect(transport));
    const int first = peer.accept();
    answerHandshake(first);
    ASSERT_EQ(connected.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(connected.get().serverInfo.name, "by-hand");
    auto call = start(outcomeText(client->callTool("echo")));
    EXPECT_NE(ScriptedPeer::readLine(first).find("tools/call"), std::string::npos);
    ScriptedPeer::reset(first);
    // Its answer went with the connection: the caller learns so at once.
    ASSERT_EQ(call.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(call.get(), MCPError::connectionClosed().what());
    // The transport connects again; our strict server there answers nothing before a handshake.
    auto server = testing::makeFullServer(io.get_executor(), testing::everyCapability());
    server->setConfiguration(Server::Configuration::strictMode());
    auto listed = start(client->listTools());
    auto serverTransport = std::make_shared<NetworkTransport>(
        io.get_executor(), fw::net::adoptConnectedSocket(peer.accept()), std::nullopt,
        Heartbeat::disabled(), Reconnection::disabled());
    await(server->start(serverTransport));
    ASSERT_EQ(listed.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(listed.get().first.size(), 1u);
    EXPECT_TRUE(await(server->clientState()).isInitialized);
    await(client->disconnect());
    await(server->stop());
}

// A peer that takes the handshake and then stops reading: a large request sticks in the
// connection's writer. Each way out must release the caller although the bytes never leave.
TEST_P(NetworkTransportOverSockets, ACallerStuckBehindAPeerThatStoppedReadingIsReleased) {
    struct Case {
        const char* name;
        std::optional<std::chrono::milliseconds> requestTimeout;
        bool cancel;
        std::chrono::nanoseconds writeTimeout;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"request timeout", 300ms, false, 600s, "Internal error: Request timed out"},
        {"cancelled caller", std::nullopt, true, 600s, "Operation canceled"},
        {"write deadline", std::nullopt, false, 1s,
         "Internal error: Write made no progress for 1 seconds"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        ScriptedPeer peer(GetParam());
        auto transport = std::make_shared<NetworkTransport>(
            io.get_executor(), fw::net::makeConnection(peer.endpoint()), std::nullopt,
            Heartbeat::disabled(), Reconnection::disabled(), NetworkBufferConfiguration{},
            NetworkTransportTiming{.clock = nullptr, .writeTimeout = test.writeTimeout});
        auto client = std::make_shared<Client>(
            io.get_executor(), "network-client", "1.0", std::nullopt, std::nullopt, std::nullopt,
            std::nullopt, Client::Capabilities{},
            Client::Configuration{.requestTimeout = test.requestTimeout});
        auto connected = start(client->connect(transport));
        const int end = peer.accept();
        answerHandshake(end);
        ASSERT_EQ(connected.wait_for(30s), std::future_status::ready);
        connected.get();
        // Far more than the socket buffers of both ends hold.
        Object arguments;
        arguments.insertOrAssign("text", Value(std::string(32 * 1024 * 1024, 'x')));
        auto signal = std::make_shared<asio::cancellation_signal>();
        std::promise<std::string> outcome;
        auto ended = outcome.get_future();
        asio::post(io, [&, signal] {
            asio::co_spawn(io, outcomeText(client->callTool("echo", std::move(arguments))),
                           asio::bind_cancellation_slot(
                               signal->slot(), [&outcome](std::exception_ptr, std::string text) {
                                   outcome.set_value(std::move(text));
                               }));
        });
        if (test.cancel) {
            // Once the writer is stuck: the peer has a good part of the line.
            ScriptedPeer::readBytes(end, 1024);
            asio::post(io, [signal] { signal->emit(asio::cancellation_type::terminal); });
        }
        ASSERT_EQ(ended.wait_for(30s), std::future_status::ready);
        const std::string text = ended.get();
        EXPECT_NE(text.find(test.outcome), std::string::npos) << text;
        auto disconnected = start(client->disconnect());
        EXPECT_EQ(disconnected.wait_for(30s), std::future_status::ready);
        ::close(end);
    }
}

TEST_P(NetworkTransportOverSockets, ReadingPausesWhileTheConsumerDoesNotTakeTheMessages) {
    ScriptedPeer peer(GetParam());
    auto transport = transportTo(peer, Heartbeat::disabled(), Reconnection::disabled());
    MessageStream stream = transport->receive();
    await(transport->connect());
    const int end = peer.accept();
    ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
    // Lines until the peer stays blocked: the transport holds only a bounded number of them.
    const std::string line = std::string(32 * 1024, 'x') + "\n";
    constexpr std::size_t kCap = 2048;  // 64 MB: far more than a bounded reader takes
    std::size_t started = 0;
    std::size_t doneOfLast = line.size();
    while (started < kCap) {
        if (doneOfLast == line.size()) {
            ++started;
            doneOfLast = 0;
        }
        const ssize_t count =
            ::send(end, line.data() + doneOfLast, line.size() - doneOfLast, MSG_NOSIGNAL);
        if (count > 0) {
            doneOfLast += static_cast<std::size_t>(count);
            continue;
        }
        ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
        pollfd entry{end, POLLOUT, 0};
        if (::poll(&entry, 1, 1000) == 0) {
            break;  // nobody reads any more
        }
    }
    EXPECT_LT(started, kCap) << "the transport read everything the peer wrote";
    // Once the consumer takes the messages, the rest comes, in order and whole.
    ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) & ~O_NONBLOCK);
    std::thread writer([&] { ScriptedPeer::writeAll(end, line.substr(doneOfLast)); });
    for (std::size_t index = 0; index < started; ++index) {
        auto message = await(stream.next());
        ASSERT_TRUE(message) << "message " << index;
        ASSERT_EQ(message->size(), line.size() - 1) << "message " << index;
    }
    writer.join();
    await(transport->disconnect());
    ::close(end);
}

TEST(NetworkTransportToSocat, TheClientTalksToTheExampleServerBridgedOntoTcp) {
    asio::io_context io;
    auto work = asio::make_work_guard(io);
    std::thread thread([&] { io.run(); });
    const std::uint16_t port = fw::net::testing::freeLoopbackPort();
    {
        fw::net::testing::SpawnedProgram socat(
            {"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr",
             std::string("EXEC:") + FW_EXAMPLE_TOOL_SERVER});
        // The example server reads lines only: no heartbeat. Retries cover socat's start.
        auto transport = std::make_shared<NetworkTransport>(
            io.get_executor(), fw::net::makeConnection(fw::net::Endpoint::tcp("127.0.0.1", port)),
            std::nullopt, Heartbeat::disabled(), Reconnection::defaultConfiguration());
        auto client = std::make_shared<Client>(io.get_executor(), "socat-client", "1.0");
        auto run = [&](auto operation) {
            auto future = asio::co_spawn(io, std::move(operation), asio::use_future);
            if (future.wait_for(30s) != std::future_status::ready) {
                throw std::runtime_error("The operation did not end in time.");
            }
            return future.get();
        };
        EXPECT_EQ(run(client->connect(transport)).serverInfo.name, "example-tools");
        auto [tools, next] = run(client->listTools());
        EXPECT_EQ(tools.size(), 4u);
        auto [content, isError] =
            run(client->callTool("add", Object::fromEntries({{"a", Value(2)}, {"b", Value(3.5)}})));
        ASSERT_EQ(content.size(), 1u);
        EXPECT_EQ(content[0].get<ToolContent::Text>()->text, "5.5");
        auto ended = asio::co_spawn(io, client->disconnect(), asio::use_future);
        EXPECT_EQ(ended.wait_for(30s), std::future_status::ready);
    }
    work.reset();
    thread.join();
}

}  // namespace
}  // namespace mcp
