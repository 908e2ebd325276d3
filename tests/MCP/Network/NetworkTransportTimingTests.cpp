// The network transport over a scripted connection on a clock the test moves by hand: retries
// and back-off, connect timeout, cancellation, heartbeat schedule, sends, reads and recovery,
// all without real waits.
#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <cerrno>
#include <deque>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "MCP/Messages/MCPError.h"
#include "MCP/Network/NetworkTransport.h"
#include "tests/MCP/LogLineRecorder.h"
#include "tests/MCP/Network/ManualClock.h"
#include "tests/MCP/Network/ScriptedConnection.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing::LogLineRecorder;
using testing::ManualClock;
using testing::ScriptedConnection;
using State = fw::net::ConnectionState;
using Heartbeat = NetworkTransport::HeartbeatConfiguration;
using Reconnection = NetworkTransport::ReconnectionConfiguration;
using Buffer = NetworkTransport::BufferConfiguration;

std::error_code systemError(int number) {
    return {number, std::system_category()};
}

std::string textOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& caught) {
        return caught.what();
    }
}

int errnoOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& caught) {
        return caught.code().value();
    } catch (...) {
        return 0;
    }
}

// What a spawned operation ended with.
struct Outcome {
    bool done = false;
    std::exception_ptr error;
    asio::cancellation_signal cancel;
};

class NetworkTransportTiming : public ::testing::Test {
protected:
    std::shared_ptr<NetworkTransport> make(Heartbeat heartbeat = Heartbeat::disabled(),
                                           Reconnection reconnection = {}, Buffer buffer = {}) {
        auto transport = std::make_shared<NetworkTransport>(
            io.get_executor(), connection, logging::Logger("test", LogLineRecorder(lines)),
            heartbeat, reconnection, buffer, NetworkTransport::Timing{clock, 30s});
        made_.push_back(transport);
        return transport;
    }

    // A connected transport lives as long as its receive loop: each is disconnected at the end.
    void TearDown() override {
        for (const auto& transport : made_) {
            spawn(transport->disconnect());
        }
        settle();
    }

    // Runs the work that is ready.
    void settle() {
        io.restart();
        while (io.poll() > 0) {
        }
    }

    std::shared_ptr<Outcome> spawn(asio::awaitable<void> operation) {
        // Kept by the fixture: the signal holds the completion, which must not hold it back.
        auto outcome = outcomes_.emplace_back(std::make_shared<Outcome>());
        asio::co_spawn(io, std::move(operation),
                       asio::bind_cancellation_slot(outcome->cancel.slot(),
                                                    [raw = outcome.get()](std::exception_ptr e) {
                                                        raw->done = true;
                                                        raw->error = e;
                                                    }));
        settle();
        return outcome;
    }

    // Moves the clock from alarm to alarm until `outcome` is done or nothing waits.
    void driveUntilDone(const Outcome& outcome) {
        settle();
        while (!outcome.done && clock->advanceToNext()) {
            settle();
        }
    }

    void connectNow(const std::shared_ptr<NetworkTransport>& transport) {
        auto outcome = spawn(transport->connect());
        driveUntilDone(*outcome);
        ASSERT_TRUE(outcome->done);
        ASSERT_FALSE(outcome->error) << textOf(outcome->error);
    }

    bool runIsConnected(const std::shared_ptr<NetworkTransport>& transport) {
        bool connected = false;
        asio::co_spawn(io, transport->isConnected(),
                       [&connected](std::exception_ptr, bool value) { connected = value; });
        settle();
        return connected;
    }

    // The delays asked of the clock other than the connect timeouts.
    std::vector<double> waits() const {
        std::vector<double> seconds;
        for (auto delay : clock->delays()) {
            if (delay != 30s) {
                seconds.push_back(std::chrono::duration<double>(delay).count());
            }
        }
        return seconds;
    }

    std::vector<std::string> linesStartingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const std::string& line : *lines) {
            if (line.rfind(prefix, 0) == 0) {
                found.push_back(line);
            }
        }
        return found;
    }

    // The messages the transport's stream hands out, and how it ended: gathered in the
    // background, into a record the fixture keeps until the io_context is gone.
    struct Received {
        MessageStream stream;
        std::vector<std::string> messages;
        bool ended = false;
        std::exception_ptr error;
    };
    Received& collect(const std::shared_ptr<NetworkTransport>& transport) {
        Received& received = received_.emplace_back(Received{transport->receive(), {}, false, {}});
        asio::co_spawn(
            io,
            [&received]() -> asio::awaitable<void> {
                try {
                    while (auto message = co_await received.stream.next()) {
                        received.messages.push_back(*message);
                    }
                } catch (...) {
                    received.error = std::current_exception();
                }
                received.ended = true;
            },
            asio::detached);
        settle();
        return received;
    }

    // Before the io_context: operations still pending when it goes may refer to their signals.
    std::vector<std::shared_ptr<Outcome>> outcomes_;
    std::deque<Received> received_;
    asio::io_context io;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ScriptedConnection> connection = std::make_shared<ScriptedConnection>();
    std::shared_ptr<std::vector<std::string>> lines = std::make_shared<std::vector<std::string>>();

private:
    std::vector<std::shared_ptr<NetworkTransport>> made_;
};

TEST(NetworkTransportConfiguration, BackoffDelaysAndPresets) {
    Reconnection reconnection;
    std::vector<double> delays;
    for (int attempt = 1; attempt <= 5; ++attempt) {
        delays.push_back(reconnection.backoffDelay(attempt));
    }
    EXPECT_EQ(delays, (std::vector<double>{0.5, 0.75, 1.125, 1.6875, 2.53125}));
    EXPECT_EQ(Reconnection::defaultConfiguration(), (Reconnection{true, 5, 1.5}));
    EXPECT_EQ(Reconnection::disabled(), (Reconnection{false, 5, 1.5}));
    EXPECT_EQ(Heartbeat::defaultConfiguration(), (Heartbeat{true, 15.0}));
    EXPECT_EQ(Heartbeat::disabled(), (Heartbeat{false, 15.0}));
    EXPECT_EQ(Buffer::defaultConfiguration().maxReceiveBufferSize, 10485760);
    EXPECT_FALSE(Buffer::unlimited().maxReceiveBufferSize);
}

TEST(NetworkTransportConfiguration, EqualConfigurationsHashAlike) {
    EXPECT_EQ(std::hash<Heartbeat>{}(Heartbeat{true, 0.0}),
              std::hash<Heartbeat>{}(Heartbeat{true, -0.0}));
    EXPECT_NE(std::hash<Heartbeat>{}(Heartbeat::defaultConfiguration()),
              std::hash<Heartbeat>{}(Heartbeat::disabled()));
    EXPECT_EQ(std::hash<Reconnection>{}(Reconnection{}),
              std::hash<Reconnection>{}(Reconnection::defaultConfiguration()));
    EXPECT_NE(std::hash<Reconnection>{}(Reconnection{true, 5, 1.5}),
              std::hash<Reconnection>{}(Reconnection{true, 6, 1.5}));
    // No limit is not the same as a limit of 0.
    EXPECT_NE(std::hash<Buffer>{}(Buffer::unlimited()), std::hash<Buffer>{}(Buffer{0}));
}

TEST_F(NetworkTransportTiming, AFailingPeerIsTriedSixTimesWithTheBackoffThenItsErrorIsThrown) {
    for (int attempt = 0; attempt < 6; ++attempt) {
        connection->scripts.push_back(
            {State::preparing(), State::failed(systemError(ECONNREFUSED))});
    }
    auto transport = make();
    auto outcome = spawn(transport->connect());
    driveUntilDone(*outcome);
    ASSERT_TRUE(outcome->done);
    EXPECT_EQ(errnoOf(outcome->error), ECONNREFUSED);
    EXPECT_EQ(connection->starts, 6);
    EXPECT_EQ(connection->cancels, 5);
    EXPECT_EQ(waits(), (std::vector<double>{0.5, 0.75, 1.125, 1.6875, 2.53125}));
    EXPECT_EQ(clock->now(), std::chrono::nanoseconds(6593750000));
    EXPECT_EQ(
        linesStartingWith("debug Attempting"),
        (std::vector<std::string>{
            "debug Attempting reconnection (1/5)...", "debug Attempting reconnection (2/5)...",
            "debug Attempting reconnection (3/5)...", "debug Attempting reconnection (4/5)...",
            "debug Attempting reconnection (5/5)..."}));
    EXPECT_EQ(linesStartingWith("error Connection failed: ").size(), 6u);
}

TEST_F(NetworkTransportTiming, RetryLimitsDecideHowOftenItIsTried) {
    struct Case {
        const char* name;
        Reconnection reconnection;
        int starts;
        std::string error;
    };
    const std::string refused = std::error_code(systemError(ECONNREFUSED)).message();
    const std::vector<Case> cases = {
        {"disabled", Reconnection::disabled(), 1, refused},
        {"no retries", Reconnection{true, 0, 1.5}, 1, refused},
        {"negative", Reconnection{true, -1, 1.5}, 0,
         "Internal error: Failed to connect after 0 attempts"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        connection = std::make_shared<ScriptedConnection>();
        clock = std::make_shared<ManualClock>();
        for (int attempt = 0; attempt < 3; ++attempt) {
            connection->scripts.push_back({State::failed(systemError(ECONNREFUSED))});
        }
        auto transport = make(Heartbeat::disabled(), test.reconnection);
        auto outcome = spawn(transport->connect());
        driveUntilDone(*outcome);
        ASSERT_TRUE(outcome->done);
        EXPECT_EQ(textOf(outcome->error), test.error);
        EXPECT_EQ(connection->starts, test.starts);
        EXPECT_TRUE(waits().empty());
    }
}

TEST_F(NetworkTransportTiming, StatesBeforeReadyAreLoggedThenItIsConnected) {
    connection->scripts.push_back({State::setup(), State::preparing(),
                                   State::waiting(systemError(ENETUNREACH)), State::ready()});
    auto transport = make();
    connectNow(transport);
    const std::string unreachable = systemError(ENETUNREACH).message();
    EXPECT_EQ(*lines, (std::vector<std::string>{"debug Connection setup...",
                                                "debug Connection preparing...",
                                                "debug Connection waiting: " + unreachable,
                                                "debug Network transport connected successfully"}));
    // A second connect() returns at once: no second start, loop or heartbeat.
    connectNow(transport);
    EXPECT_EQ(connection->starts, 1);
    EXPECT_EQ(connection->readMaximums.size(), 1u);
}

TEST_F(NetworkTransportTiming, ACancelledStateFailsTheAttemptAndTheNextFollowsAfterTheBackoff) {
    connection->scripts.push_back({State::preparing(), State::cancelled()});
    auto transport = make();
    connectNow(transport);
    EXPECT_EQ(connection->starts, 2);
    EXPECT_EQ(waits(), (std::vector<double>{0.5}));
    EXPECT_EQ(linesStartingWith("warning"),
              (std::vector<std::string>{"warning Connection cancelled"}));
}

TEST_F(NetworkTransportTiming, AConnectionThatNeverBecomesReadyFailsAtTheConnectTimeout) {
    connection->scripts.push_back({State::preparing(), State::waiting(systemError(ENETUNREACH))});
    auto transport = make(Heartbeat::disabled(), Reconnection::disabled());
    auto outcome = spawn(transport->connect());
    driveUntilDone(*outcome);
    ASSERT_TRUE(outcome->done);
    EXPECT_EQ(errnoOf(outcome->error), ETIMEDOUT);
    EXPECT_EQ(clock->now(), 30s);
    EXPECT_EQ(connection->cancels, 1);  // the attempt does not go on behind the caller's back
}

TEST_F(NetworkTransportTiming, ACancelledConnectFailsAndCancelsTheAttempt) {
    connection->scripts.push_back({State::preparing()});
    auto transport = make();
    auto outcome = spawn(transport->connect());
    EXPECT_FALSE(outcome->done);
    outcome->cancel.emit(asio::cancellation_type::all);
    settle();
    ASSERT_TRUE(outcome->done);
    EXPECT_EQ(textOf(outcome->error),
              boost::system::system_error(asio::error::operation_aborted).what());
    EXPECT_EQ(connection->cancels, 1);
    EXPECT_FALSE(runIsConnected(transport));
}

TEST_F(NetworkTransportTiming, DisconnectStopsAConnectInProgress) {
    struct Case {
        const char* name;
        std::vector<State> firstAttempt;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"waiting for states", {State::preparing()}, "Internal error: Connection cancelled"},
        {"in the back-off",
         {State::failed(systemError(ECONNREFUSED))},
         systemError(ECONNREFUSED).message()},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        connection = std::make_shared<ScriptedConnection>();
        connection->scripts.push_back(test.firstAttempt);
        auto transport = make();
        Received& received = collect(transport);
        auto outcome = spawn(transport->connect());
        EXPECT_FALSE(outcome->done);
        spawn(transport->disconnect());
        settle();
        ASSERT_TRUE(outcome->done);
        EXPECT_EQ(textOf(outcome->error), test.error);
        EXPECT_EQ(connection->starts, 1);
        EXPECT_TRUE(received.ended);
        EXPECT_FALSE(received.error);
        EXPECT_EQ(clock->waiting(), 0u);
    }
}

TEST_F(NetworkTransportTiming, DisconnectWhileConnectedEndsTheStreamOnce) {
    auto transport = make(Heartbeat::defaultConfiguration());
    Received& received = collect(transport);
    connectNow(transport);
    lines->clear();
    spawn(transport->disconnect());
    spawn(transport->disconnect());
    EXPECT_TRUE(received.ended);
    EXPECT_FALSE(received.error);
    EXPECT_EQ(connection->cancels, 1);
    EXPECT_EQ(clock->waiting(), 0u);  // the heartbeat's wait ended too
    EXPECT_EQ(*lines, (std::vector<std::string>{"debug Network transport disconnected",
                                                "debug Receive loop stopping normally"}));
}

TEST_F(NetworkTransportTiming, DisconnectBetweenFramesIsSaidAsAFailedHeartbeat) {
    auto transport = make(Heartbeat{true, 15.0});
    connectNow(transport);
    clock->advanceToNext();  // 1 s: the first frame
    settle();
    ASSERT_EQ(connection->sent.size(), 1u);
    spawn(transport->disconnect());
    settle();
    EXPECT_EQ(
        linesStartingWith("warning Heartbeat failed: "),
        (std::vector<std::string>{"warning Heartbeat failed: " +
                                  std::make_error_code(std::errc::operation_canceled).message()}));
    EXPECT_EQ(clock->waiting(), 0u);
}

TEST_F(NetworkTransportTiming, HeartbeatsLeaveOneSecondAfterReadyThenEachInterval) {
    auto transport = make(Heartbeat{true, 15.0});
    connectNow(transport);
    std::vector<double> sentAt;
    for (int step = 0; step < 4; ++step) {
        ASSERT_TRUE(clock->advanceToNext());
        settle();
        sentAt.push_back(std::chrono::duration<double>(clock->now()).count());
    }
    EXPECT_EQ(sentAt, (std::vector<double>{1, 16, 31, 46}));
    ASSERT_EQ(connection->sent.size(), 4u);
    for (const std::string& frame : connection->sent) {
        EXPECT_EQ(frame.size(), 12u);
        EXPECT_TRUE(NetworkHeartbeat::from(frame));
    }
    EXPECT_EQ(linesStartingWith("trace Heartbeat sent").size(), 4u);
}

TEST_F(NetworkTransportTiming, WithHeartbeatsDisabledNoFrameIsSent) {
    auto transport = make(Heartbeat::disabled());
    connectNow(transport);
    clock->advance(120s);
    settle();
    EXPECT_TRUE(connection->sent.empty());
    EXPECT_EQ(clock->waiting(), 0u);
}

TEST_F(NetworkTransportTiming, AFailedHeartbeatIsLoggedAndTriedAgainTwoSecondsLater) {
    int frames = 0;
    connection->sendOutcome = [&](const std::string&) {
        return ++frames == 1 ? systemError(EPIPE) : std::error_code{};
    };
    auto transport = make(Heartbeat{true, 15.0});
    connectNow(transport);
    clock->advanceToNext();  // 1 s: fails
    settle();
    clock->advanceToNext();  // 3 s: goes out
    settle();
    EXPECT_EQ(clock->now(), 3s);
    EXPECT_EQ(frames, 2);
    EXPECT_EQ(connection->sent.size(), 1u);
    EXPECT_EQ(
        linesStartingWith("warning Heartbeat failed: "),
        (std::vector<std::string>{"warning Heartbeat failed: " + systemError(EPIPE).message()}));
    EXPECT_TRUE(runIsConnected(transport));
}

TEST_F(NetworkTransportTiming, SendsWriteOneLineEachAndNeedAConnection) {
    auto transport = make();
    auto early = spawn(transport->send("{}"));
    EXPECT_EQ(textOf(early->error), "Internal error: Transport not connected");
    connectNow(transport);
    spawn(transport->send(R"({"a":1})"));
    spawn(transport->send(""));
    EXPECT_EQ(connection->sentBytes(), "{\"a\":1}\n\n");
}

TEST_F(NetworkTransportTiming, SendErrorsFailTheSendAndABrokenConnectionIsRecovered) {
    struct Case {
        const char* name;
        int error;
        bool recovers;
    };
    for (const Case& test : {Case{"reset", ECONNRESET, true}, Case{"not connected", ENOTCONN, true},
                             Case{"broken pipe", EPIPE, false}}) {
        SCOPED_TRACE(test.name);
        connection = std::make_shared<ScriptedConnection>();
        clock = std::make_shared<ManualClock>();
        bool failing = true;
        connection->sendOutcome = [&](const std::string&) {
            return failing ? systemError(test.error) : std::error_code{};
        };
        auto transport = make();
        connectNow(transport);
        auto send = spawn(transport->send("{}"));
        failing = false;
        ASSERT_TRUE(send->done);
        EXPECT_EQ(textOf(send->error),
                  "Internal error: Send error: " + systemError(test.error).message());
        EXPECT_EQ(runIsConnected(transport), !test.recovers);
        if (test.recovers) {
            clock->advanceToNext();
            settle();
            EXPECT_EQ(clock->now(), 500ms);
            EXPECT_EQ(connection->starts, 2);
            EXPECT_TRUE(runIsConnected(transport));
        }
    }
}

TEST_F(NetworkTransportTiming, ReadsAreBoundedAndSplitIntoLines) {
    auto transport = make(Heartbeat::disabled(), Reconnection::disabled());
    Received& received = collect(transport);
    connectNow(transport);
    const std::string frame = NetworkHeartbeat().data();
    connection->pushBytes("a\nb");
    connection->pushBytes("c\r\n\n" + frame.substr(0, 5));
    connection->pushBytes(frame.substr(5) + "d\n" + frame);
    connection->pushBytes("e\n");
    settle();
    EXPECT_EQ(received.messages, (std::vector<std::string>{"a", "bc\r", "d", "e"}));
    EXPECT_EQ(connection->readMaximums.front(), 65536u);
    // The peer's end, without reconnection, ends the stream with connectionClosed.
    connection->pushEnd();
    settle();
    EXPECT_TRUE(received.ended);
    EXPECT_EQ(textOf(received.error), "Connection closed");
    EXPECT_EQ(linesStartingWith("error Receive error: "),
              (std::vector<std::string>{"error Receive error: Connection closed"}));
}

TEST_F(NetworkTransportTiming, ALineLongerThanTheLimitEndsTheStream) {
    auto transport = make(Heartbeat::disabled(), Reconnection::defaultConfiguration(), Buffer{16});
    Received& received = collect(transport);
    connectNow(transport);
    connection->pushBytes("0123456789\n");
    connection->pushBytes("0123456789");
    connection->pushBytes("0123456789");
    settle();
    EXPECT_EQ(connection->readMaximums.front(), 16u);
    EXPECT_EQ(received.messages, (std::vector<std::string>{"0123456789"}));
    EXPECT_TRUE(received.ended);
    EXPECT_EQ(textOf(received.error),
              "Internal error: Message exceeds the line length limit of 16 bytes");
    EXPECT_EQ(connection->starts, 1);  // no recovery: the peer broke the framing
}

TEST_F(NetworkTransportTiming, ThePeersEndIsRecoveredAndTheSameStreamGoesOn) {
    auto transport = make();
    Received& received = collect(transport);
    connectNow(transport);
    connection->pushBytes("one\n");
    connection->pushEnd();
    settle();
    EXPECT_FALSE(runIsConnected(transport));
    clock->advanceToNext();  // the recovery's 0.5 s
    settle();
    EXPECT_EQ(connection->starts, 2);
    connection->pushBytes("two\n");
    settle();
    EXPECT_EQ(received.messages, (std::vector<std::string>{"one", "two"}));
    EXPECT_FALSE(received.ended);
    EXPECT_EQ(linesStartingWith("warning Error during receive"),
              (std::vector<std::string>{
                  "warning Error during receive, attempting reconnection (1/5)..."}));
}

TEST_F(NetworkTransportTiming, WhenRecoveryGivesUpTheStreamFailsWithTheLastError) {
    auto transport = make();
    Received& received = collect(transport);
    connectNow(transport);
    for (int attempt = 0; attempt < 6; ++attempt) {
        connection->scripts.push_back({State::failed(systemError(ECONNREFUSED))});
    }
    connection->pushEnd();
    settle();
    while (!received.ended && clock->advanceToNext()) {
        settle();
    }
    ASSERT_TRUE(received.ended);
    EXPECT_EQ(errnoOf(received.error), ECONNREFUSED);
    EXPECT_EQ(connection->starts, 7);
}

TEST_F(NetworkTransportTiming, DisconnectStopsARecovery) {
    for (const bool recoveryWaits : {true, false}) {
        SCOPED_TRACE(recoveryWaits ? "while it waits" : "before it has begun");
        connection = std::make_shared<ScriptedConnection>();
        clock = std::make_shared<ManualClock>();
        auto transport = make();
        Received& received = collect(transport);
        connectNow(transport);
        connection->pushEnd();
        if (recoveryWaits) {
            settle();
        }
        spawn(transport->disconnect());
        EXPECT_TRUE(received.ended);
        EXPECT_FALSE(received.error);
        clock->advance(10s);
        settle();
        EXPECT_EQ(connection->starts, 1);
        EXPECT_EQ(clock->waiting(), 0u);
        EXPECT_FALSE(runIsConnected(transport));
    }
}

TEST_F(NetworkTransportTiming, DisconnectStopsAHeartbeatWhoseFrameIsUnderWay) {
    auto transport = make(Heartbeat{true, 15.0});
    connectNow(transport);
    connection->sendOutcome = [](const std::string&) { return systemError(EPIPE); };
    clock->advanceToNext();  // the first frame leaves and fails
    spawn(transport->disconnect());
    settle();
    EXPECT_EQ(clock->waiting(), 0u);  // no 2 s wait left behind to hold the transport
}

}  // namespace
}  // namespace mcp
