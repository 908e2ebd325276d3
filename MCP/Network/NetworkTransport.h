// NetworkTransport: MCP over one network byte-stream connection (fw::net::Connection: TCP, TLS or
// a Unix socket), one message per line, with a heartbeat frame at a fixed interval, connection
// retries with exponential back-off, and recovery of a connection that breaks while in use.
//
//   auto connection = fw::net::makeConnection(fw::net::Endpoint::tcp("127.0.0.1", 9000));
//   auto transport = std::make_shared<mcp::NetworkTransport>(io.get_executor(), connection);
//   co_await client->connect(transport);
//
// connect() starts the connection and waits for it to become ready. A failed attempt (its
// state `failed`, `cancelled`, or no `ready` within the connect timeout: ETIMEDOUT) is retried
// up to maxAttempts times after back-off waits of backoffDelay(1), backoffDelay(2), ... (0.5 s
// times backoffMultiplier^(n-1)); the last attempt's error is thrown: the connection's
// std::system_error, or MCPError internalError "Connection cancelled". Cancelling the awaiting
// coroutine ends connect() with operation_aborted and cancels the attempt. disconnect() stops a
// connect() in progress (which then throws its attempt's error) and any recovery; it stops the
// heartbeat, cancels the connection and finishes the message stream normally.
//
// Once ready, a receive loop reads the connection (at most 64 KiB a read), drops heartbeat frames
// found at line boundaries (NetworkLineFramer) and yields each non-empty line. A line longer than
// maxReceiveBufferSize ends the stream with MCPError internalError "Message exceeds the line
// length limit of N bytes" and cancels the connection. While 256 received messages wait unread,
// reading pauses (the peer's writes then back up) until the consumer has taken half of them. A read
// error, or the peer's end (connectionClosed), starts a recovery while attempts remain: after a
// back-off wait the connection is started again through connect(), and the same stream goes on. A
// send that fails with ECONNRESET or ENOTCONN starts a recovery too, after 0.5 s. When a recovery
// gives up, the stream fails with its last error; without reconnection a read failure ends the
// stream with it. The connection-change handler (Transport) hears `lost` when a recovery begins and
// `replaced` when it has made the new connection ready: what was in flight on the old one is gone.
//
// send() writes the message and an LF, and throws MCPError internalError "Transport not
// connected" or "Send error: <description>". Sends and heartbeat frames go through the
// connection's one ordered writer, so each line arrives whole and a frame only between lines.
// Cancelling a waiting send releases its caller at once with operation_aborted; its line stays
// queued and may still go out. When writes are under way and none finishes within
// writeTimeout, the connection is taken for broken: its queued writes fail, and a recovery
// starts as after a read error (without one, the stream fails with MCPError internalError
// "Write made no progress for N seconds").
// The heartbeat writes its first frame 1 s after the connection became ready, then one each
// `interval` seconds after the previous one went out; a failed frame is logged ("Heartbeat
// failed: ...") and tried again 2 s later. receive() gives the one stream; later calls give a
// stream that has ended.
//
// Thread-safety: an actor on its own strand; every operation may be awaited from any executor.
// The connection's callbacks run on the strand too. Create it with std::make_shared: its tasks
// (receive loop, heartbeat, recoveries) keep it alive while they run.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

#include "Logging/Logger.h"
#include "MCP/Core/Actor.h"
#include "MCP/Core/Clock.h"
#include "MCP/Core/Transport.h"
#include "MCP/Core/detail/AsyncWaiter.h"
#include "MCP/JSON/Hasher.h"
#include "MCP/Network/NetworkHeartbeat.h"
#include "platform/net/Connection.h"

namespace mcp {

// The configurations of NetworkTransport, compared and hashed field by field; none checks its
// values.
struct NetworkHeartbeatConfiguration {
    bool enabled = true;
    double interval = 15.0;  // seconds between frames

    static NetworkHeartbeatConfiguration defaultConfiguration() { return {true, 15.0}; }
    static NetworkHeartbeatConfiguration disabled() { return {false, 15.0}; }
    bool operator==(const NetworkHeartbeatConfiguration&) const = default;
};

struct NetworkReconnectionConfiguration {
    bool enabled = true;
    std::int64_t maxAttempts = 5;
    double backoffMultiplier = 1.5;

    static NetworkReconnectionConfiguration defaultConfiguration() { return {true, 5, 1.5}; }
    static NetworkReconnectionConfiguration disabled() { return {false, 5, 1.5}; }
    // Seconds to wait before attempt `attempt`: 0.5 * backoffMultiplier^(attempt - 1).
    double backoffDelay(std::int64_t attempt) const;
    bool operator==(const NetworkReconnectionConfiguration&) const = default;
};

struct NetworkBufferConfiguration {
    // The longest line taken; none: no limit.
    std::optional<std::int64_t> maxReceiveBufferSize = 10 * 1024 * 1024;

    static NetworkBufferConfiguration defaultConfiguration() { return {10 * 1024 * 1024}; }
    static NetworkBufferConfiguration unlimited() { return {std::nullopt}; }
    bool operator==(const NetworkBufferConfiguration&) const = default;
};

struct NetworkTransportTiming {
    std::shared_ptr<Clock> clock;  // none: the steady clock
    // How long one attempt may wait for the connection to become ready.
    std::chrono::nanoseconds connectTimeout = std::chrono::seconds(30);
    // How long writes may be under way without one of them finishing before the connection is
    // taken for broken (a peer that stopped reading).
    std::chrono::nanoseconds writeTimeout = std::chrono::seconds(30);
};

class NetworkTransport final : public Transport,
                               public std::enable_shared_from_this<NetworkTransport> {
public:
    using Heartbeat = NetworkHeartbeat;
    using HeartbeatConfiguration = NetworkHeartbeatConfiguration;
    using ReconnectionConfiguration = NetworkReconnectionConfiguration;
    using BufferConfiguration = NetworkBufferConfiguration;
    using Timing = NetworkTransportTiming;

    // Does no I/O. With no logger it logs nothing ("mcp.transport.network").
    NetworkTransport(boost::asio::any_io_executor executor,
                     std::shared_ptr<fw::net::Connection> connection,
                     std::optional<logging::Logger> logger = std::nullopt,
                     HeartbeatConfiguration heartbeatConfig = {},
                     ReconnectionConfiguration reconnectionConfig = {},
                     BufferConfiguration bufferConfig = {}, Timing timing = {});
    ~NetworkTransport() override;
    NetworkTransport(const NetworkTransport&) = delete;
    NetworkTransport& operator=(const NetworkTransport&) = delete;

    const logging::Logger& logger() const override { return logger_; }
    boost::asio::awaitable<void> connect() override;
    boost::asio::awaitable<void> disconnect() override;
    boost::asio::awaitable<void> send(std::string message) override;
    MessageStream receive() override;
    // Hears `lost` when a recovery begins and `replaced` when it has made a new connection ready.
    void setConnectionChangeHandler(ConnectionChangeHandler handler) override;

    // Whether a connection is ready and not found broken.
    boost::asio::awaitable<bool> isConnected();

private:
    // Who a wait belongs to, so that disconnect() or a new heartbeat can end it early.
    enum class WaitOwner { connect, heartbeat, recovery };
    struct Wait {
        WaitOwner owner;
        detail::Waiter<bool> waiter;
        std::function<void()> withdrawAlarm;
    };

    boost::asio::awaitable<void> connectOnStrand();
    boost::asio::awaitable<void> attemptConnection();
    void handleConnectionReady();
    void stop();

    void startHeartbeat();
    static boost::asio::awaitable<void> heartbeatLoop(std::shared_ptr<NetworkTransport> self,
                                                      std::uint64_t generation);
    boost::asio::awaitable<std::error_code> sendHeartbeat();

    std::exception_ptr sendFailed(const std::error_code& error);
    boost::asio::awaitable<std::error_code> write(std::string bytes);
    // Every write goes through here, so that the write deadline sees it.
    void handOver(std::string bytes, std::function<void(std::error_code)> done);
    void armWriteDeadline();
    void writeDeadlinePassed(std::uint64_t alarm);
    void failConnection(const std::exception_ptr& error);
    static boost::asio::awaitable<void> receiveLoop(std::shared_ptr<NetworkTransport> self,
                                                    std::uint64_t generation);
    boost::asio::awaitable<std::string> receiveData();
    // Until fewer than `below` received messages wait for the consumer.
    boost::asio::awaitable<void> waitForConsumer(std::size_t below);
    void startRecovery(std::chrono::nanoseconds delay);
    void announce(ConnectionChange change);
    static boost::asio::awaitable<void> recover(std::shared_ptr<NetworkTransport> self,
                                                std::chrono::nanoseconds delay);

    // Waits `delay` on the clock: true when it passed, false when ended early by
    // interruptWaits(); operation_aborted when the awaiting coroutine is cancelled.
    boost::asio::awaitable<bool> pause(std::chrono::nanoseconds delay, WaitOwner owner);
    void endWait(std::uint64_t id, bool elapsed);
    void abortWait(std::uint64_t id);
    void interruptWaits(std::optional<WaitOwner> owner);

    const logging::Logger logger_;
    const Strand strand_;
    const std::shared_ptr<fw::net::Connection> connection_;
    const HeartbeatConfiguration heartbeatConfig_;
    const ReconnectionConfiguration reconnectionConfig_;
    const BufferConfiguration bufferConfig_;
    const std::shared_ptr<Clock> clock_;
    const std::chrono::nanoseconds connectTimeout_;
    const std::chrono::nanoseconds writeTimeout_;

    // On the strand.
    bool isConnected_ = false;
    bool isStopping_ = false;
    std::int64_t reconnectAttempt_ = 0;
    int connectsRunning_ = 0;
    int recoveriesRunning_ = 0;
    // Counts successful attempts: a receive loop of an earlier connection ends quietly.
    std::uint64_t connectionGeneration_ = 0;
    // Counts heartbeat tasks: an earlier one ends at its next check.
    std::uint64_t heartbeatGeneration_ = 0;
    std::map<std::uint64_t, Wait> waits_;
    std::uint64_t lastWaitId_ = 0;

    // The write deadline: writes handed over and not finished, writes finished, and the alarm.
    std::size_t writesInFlight_ = 0;
    std::uint64_t writesDone_ = 0;
    std::uint64_t writesDoneAtAlarm_ = 0;
    std::uint64_t writeAlarm_ = 0;
    std::function<void()> withdrawWriteAlarm_;
    // Whether `lost` was announced and `replaced` is still to come.
    bool lossAnnounced_ = false;

    // Behind its own lock: set from any thread.
    std::mutex connectionChangeMutex_;
    ConnectionChangeHandler connectionChangeHandler_;

    std::optional<MessageStream> messageStream_;
    std::optional<MessageStream::Source> messageContinuation_;
};

}  // namespace mcp

template <>
struct std::hash<mcp::NetworkHeartbeatConfiguration> {
    std::size_t operator()(const mcp::NetworkHeartbeatConfiguration& value) const noexcept {
        mcp::Hasher hasher;
        hasher.combine(value.enabled);
        hasher.combineDouble(value.interval);
        return hasher.finish();
    }
};

template <>
struct std::hash<mcp::NetworkReconnectionConfiguration> {
    std::size_t operator()(const mcp::NetworkReconnectionConfiguration& value) const noexcept {
        mcp::Hasher hasher;
        hasher.combine(value.enabled);
        hasher.combine(value.maxAttempts);
        hasher.combineDouble(value.backoffMultiplier);
        return hasher.finish();
    }
};

template <>
struct std::hash<mcp::NetworkBufferConfiguration> {
    std::size_t operator()(const mcp::NetworkBufferConfiguration& value) const noexcept {
        mcp::Hasher hasher;
        hasher.combine(value.maxReceiveBufferSize.has_value());
        hasher.combine(value.maxReceiveBufferSize.value_or(0));
        return hasher.finish();
    }
};
