#include "MCP/Network/NetworkTransport.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>
#include <cerrno>
#include <cmath>

#include "Logging/NoOpLogHandler.h"
#include "MCP/Core/AsyncStream.h"
#include "MCP/Core/detail/ErrorText.h"
#include "MCP/Messages/MCPError.h"
#include "MCP/Network/NetworkLineFramer.h"

namespace mcp {

namespace asio = boost::asio;
using fw::net::ConnectionState;
using State = ConnectionState::Kind;
using namespace std::chrono_literals;

namespace {

// Reads never ask for more than this, whatever the line limit.
constexpr std::size_t kMaxReadSize = 64 * 1024;

// Reading pauses while this many received messages wait for the consumer, and goes on once it
// has taken half of them: a peer cannot make the transport hold unbounded memory.
constexpr std::size_t kMaxWaitingMessages = 256;

std::chrono::nanoseconds seconds(double value) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(value));
}

}  // namespace

double NetworkReconnectionConfiguration::backoffDelay(std::int64_t attempt) const {
    return 0.5 * std::pow(backoffMultiplier, static_cast<double>(attempt - 1));
}

NetworkTransport::NetworkTransport(asio::any_io_executor executor,
                                   std::shared_ptr<fw::net::Connection> connection,
                                   std::optional<logging::Logger> logger,
                                   HeartbeatConfiguration heartbeatConfig,
                                   ReconnectionConfiguration reconnectionConfig,
                                   BufferConfiguration bufferConfig, Timing timing)
    : logger_(logger ? std::move(*logger)
                     : logging::Logger("mcp.transport.network", logging::NoOpLogHandler())),
      strand_(asio::make_strand(executor)),
      connection_(std::move(connection)),
      heartbeatConfig_(heartbeatConfig),
      reconnectionConfig_(reconnectionConfig),
      bufferConfig_(bufferConfig),
      clock_(timing.clock ? std::move(timing.clock) : steadyClock()),
      connectTimeout_(timing.connectTimeout),
      writeTimeout_(timing.writeTimeout) {
    auto [stream, source] = MessageStream::make();
    messageStream_.emplace(std::move(stream));
    messageContinuation_.emplace(std::move(source));
}

NetworkTransport::~NetworkTransport() = default;

asio::awaitable<bool> NetworkTransport::isConnected() {
    return onStrand(strand_, [self = shared_from_this()]() -> asio::awaitable<bool> {
        co_return self->isConnected_;
    });
}

// --- Connecting ---

asio::awaitable<void> NetworkTransport::connect() {
    return onStrand(strand_, [self = shared_from_this()]() -> asio::awaitable<void> {
        co_await self->connectOnStrand();
    });
}

asio::awaitable<void> NetworkTransport::connectOnStrand() {
    if (isConnected_) {
        co_return;
    }
    isStopping_ = false;
    reconnectAttempt_ = 0;
    ++connectsRunning_;
    struct Running {
        int& count;
        ~Running() { --count; }
    } running{connectsRunning_};

    const std::int64_t maxAttempts = reconnectionConfig_.maxAttempts;
    while (!isConnected_ && reconnectAttempt_ <= maxAttempts) {
        std::exception_ptr failure;
        try {
            co_await attemptConnection();
            co_return;
        } catch (...) {
            failure = std::current_exception();
        }
        if (detail::isOperationAborted(failure) || isStopping_ || !reconnectionConfig_.enabled ||
            reconnectAttempt_ >= maxAttempts) {
            std::rethrow_exception(failure);
        }
        ++reconnectAttempt_;
        logger_.debug([&] {
            return "Attempting reconnection (" + std::to_string(reconnectAttempt_) + "/" +
                   std::to_string(maxAttempts) + ")...";
        });
        if (!co_await pause(seconds(reconnectionConfig_.backoffDelay(reconnectAttempt_)),
                            WaitOwner::connect)) {
            std::rethrow_exception(failure);  // disconnect() stopped the retries
        }
        connection_->cancel();
    }
    throw MCPError::internalError("Failed to connect after " + std::to_string(reconnectAttempt_) +
                                  " attempts");
}

asio::awaitable<void> NetworkTransport::attemptConnection() {
    auto [states, source] = AsyncStream<ConnectionState>::make();
    connection_->setStateUpdateHandler([source](ConnectionState state) {
        source.yield(state);
        if (state.kind == State::ready || state.kind == State::failed ||
            state.kind == State::cancelled) {
            source.finish();
        }
    });
    // A connection that never becomes ready fails at the timeout instead of keeping connect()
    // waiting for ever.
    auto timedOut = std::make_shared<bool>(false);
    const auto withdrawTimeout =
        clock_->schedule(strand_, connectTimeout_, [source = source, timedOut] {
            *timedOut = true;
            source.yield(
                ConnectionState::failed(std::error_code(ETIMEDOUT, std::system_category())));
            source.finish();
        });
    struct Cleanup {
        NetworkTransport& transport;
        const std::function<void()>& withdrawTimeout;
        ~Cleanup() {
            withdrawTimeout();
            transport.connection_->setStateUpdateHandler({});
        }
    } cleanup{*this, withdrawTimeout};
    {
        // Only the handler and the alarm produce states from now on.
        auto unused = std::move(source);
    }
    connection_->start(strand_);

    while (true) {
        std::optional<ConnectionState> state;
        std::exception_ptr failure;
        try {
            state = co_await states.next();
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            // The awaiting coroutine was cancelled: so is the attempt.
            connection_->cancel();
            std::rethrow_exception(failure);
        }
        if (!state) {
            co_return;
        }
        switch (state->kind) {
            case State::ready:
                handleConnectionReady();
                co_return;
            case State::failed:
                logger_.error([&] { return "Connection failed: " + state->error.message(); });
                if (*timedOut) {
                    connection_->cancel();
                }
                throw std::system_error(state->error);
            case State::cancelled:
                logger_.warning("Connection cancelled");
                throw MCPError::internalError("Connection cancelled");
            case State::waiting:
                logger_.debug([&] { return "Connection waiting: " + state->error.message(); });
                break;
            case State::preparing:
                logger_.debug("Connection preparing...");
                break;
            case State::setup:
                logger_.debug("Connection setup...");
                break;
            default:
                logger_.warning("Unknown connection state");
                break;
        }
    }
}

void NetworkTransport::handleConnectionReady() {
    isConnected_ = true;
    reconnectAttempt_ = 0;
    const std::uint64_t generation = ++connectionGeneration_;
    logger_.debug("Network transport connected successfully");
    asio::co_spawn(strand_, receiveLoop(shared_from_this(), generation), asio::detached);
    if (heartbeatConfig_.enabled) {
        startHeartbeat();
    }
    if (std::exchange(lossAnnounced_, false)) {
        announce(ConnectionChange::replaced);
    }
}

void NetworkTransport::setConnectionChangeHandler(ConnectionChangeHandler handler) {
    std::lock_guard lock(connectionChangeMutex_);
    connectionChangeHandler_ = std::move(handler);
}

void NetworkTransport::announce(ConnectionChange change) {
    ConnectionChangeHandler handler;
    {
        std::lock_guard lock(connectionChangeMutex_);
        handler = connectionChangeHandler_;
    }
    if (handler) {
        handler(change);
    }
}

asio::awaitable<void> NetworkTransport::disconnect() {
    return onStrand(strand_, [self = shared_from_this()]() -> asio::awaitable<void> {
        self->stop();
        co_return;
    });
}

void NetworkTransport::stop() {
    // Something to stop: a connection, a connect() under way, or a recovery.
    if (!isConnected_ && connectsRunning_ == 0 && recoveriesRunning_ == 0) {
        return;
    }
    isConnected_ = false;
    isStopping_ = true;
    lossAnnounced_ = false;
    ++heartbeatGeneration_;
    interruptWaits(std::nullopt);
    connection_->cancel();
    messageContinuation_->finish();
    logger_.debug("Network transport disconnected");
}

// --- Heartbeat ---

void NetworkTransport::startHeartbeat() {
    const std::uint64_t generation = ++heartbeatGeneration_;
    interruptWaits(WaitOwner::heartbeat);
    asio::co_spawn(strand_, heartbeatLoop(shared_from_this(), generation), asio::detached);
}

asio::awaitable<void> NetworkTransport::heartbeatLoop(std::shared_ptr<NetworkTransport> self,
                                                      std::uint64_t generation) {
    if (!co_await self->pause(1s, WaitOwner::heartbeat)) {
        co_return;
    }
    // Each wait is entered only while this task is the current one: a wait left behind would
    // hold the transport until its time came.
    const auto current = [&] {
        return generation == self->heartbeatGeneration_ && !self->isStopping_;
    };
    while (current() && self->isConnected_) {
        const std::error_code error = co_await self->sendHeartbeat();
        if (!current()) {
            co_return;
        }
        if (error) {
            self->logger_.warning([&] { return "Heartbeat failed: " + error.message(); });
        }
        if (error) {
            if (!co_await self->pause(2s, WaitOwner::heartbeat)) {
                co_return;
            }
        } else if (!co_await self->pause(seconds(self->heartbeatConfig_.interval),
                                         WaitOwner::heartbeat)) {
            // Cancelled between frames (a disconnect, or a newer heartbeat task): said as a
            // failed heartbeat, like any other interruption of the frame schedule.
            self->logger_.warning([] {
                return "Heartbeat failed: " +
                       std::make_error_code(std::errc::operation_canceled).message();
            });
            co_return;
        }
    }
}

asio::awaitable<std::error_code> NetworkTransport::sendHeartbeat() {
    if (!isConnected_ || isStopping_) {
        co_return std::error_code{};
    }
    const std::error_code error = co_await write(Heartbeat().data());
    if (!error) {
        logger_.trace("Heartbeat sent");
    }
    co_return error;
}

// --- Sending ---

// The line is handed to the connection on the strand, and the sender resumed on its own executor
// from the write's completion: no task of its own, one hop each way.
asio::awaitable<void> NetworkTransport::send(std::string message) {
    message.push_back('\n');
    // The sender's waiter, touched on the strand only once it is registered: whichever of the
    // write's completion and the sender's cancellation comes first takes it.
    using Held = std::optional<detail::Waiter<bool>>;
    auto held = std::make_shared<Held>();
    auto waiting = detail::suspend<bool>(
        0,
        [self = shared_from_this(), held,
         message = std::move(message)](detail::Waiter<bool>&& waiter) mutable {
            held->emplace(std::move(waiter));
            asio::dispatch(self->strand_, [self, held, message = std::move(message)]() mutable {
                if (!*held) {
                    return;  // cancelled before the line was handed over: nothing goes out
                }
                if (!self->isConnected_) {
                    Held waiter = std::exchange(*held, std::nullopt);
                    std::move(*waiter).complete(
                        std::make_exception_ptr(MCPError::internalError("Transport not connected")),
                        std::nullopt);
                    return;
                }
                self->handOver(std::move(message), [self, held](std::error_code error) {
                    std::exception_ptr failure = error ? self->sendFailed(error) : nullptr;
                    if (*held) {
                        Held waiter = std::exchange(*held, std::nullopt);
                        std::move(*waiter).complete(failure, true);
                    }
                });
            });
        },
        // A line handed over cannot be taken back (half a line would corrupt every later one),
        // but its sender need not wait for it.
        [strand = strand_, held](std::uint64_t) {
            asio::post(strand, [held] {
                if (!*held) {
                    return;
                }
                Held waiter = std::exchange(*held, std::nullopt);
                std::move(*waiter).complete(detail::operationAborted(), std::nullopt);
            });
        });
    co_await std::move(waiting);
}

void NetworkTransport::handOver(std::string bytes, std::function<void(std::error_code)> done) {
    if (writesInFlight_++ == 0) {
        writesDoneAtAlarm_ = writesDone_;
        armWriteDeadline();
    }
    connection_->send(std::move(bytes),
                      [self = shared_from_this(), done = std::move(done)](std::error_code error) {
                          ++self->writesDone_;
                          if (--self->writesInFlight_ == 0 && self->withdrawWriteAlarm_) {
                              ++self->writeAlarm_;
                              std::exchange(self->withdrawWriteAlarm_, nullptr)();
                          }
                          done(error);
                      });
}

void NetworkTransport::armWriteDeadline() {
    const std::uint64_t alarm = ++writeAlarm_;
    if (withdrawWriteAlarm_) {
        std::exchange(withdrawWriteAlarm_, nullptr)();
    }
    withdrawWriteAlarm_ =
        clock_->schedule(strand_, writeTimeout_, [weak = weak_from_this(), alarm] {
            if (auto self = weak.lock()) {
                self->writeDeadlinePassed(alarm);
            }
        });
}

void NetworkTransport::writeDeadlinePassed(std::uint64_t alarm) {
    if (alarm != writeAlarm_ || writesInFlight_ == 0) {
        return;  // withdrawn, or replaced by a later alarm
    }
    withdrawWriteAlarm_ = nullptr;
    if (writesDone_ != writesDoneAtAlarm_) {
        // Writes finish, only more keep coming: a new period from here.
        writesDoneAtAlarm_ = writesDone_;
        armWriteDeadline();
        return;
    }
    const std::string detail =
        "Write made no progress for " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(writeTimeout_).count()) +
        " seconds";
    logger_.error([&] { return "Send error: " + detail; });
    failConnection(std::make_exception_ptr(MCPError::internalError(detail)));
}

// The connection is found broken by this side: recovered like a failed read, or the end.
void NetworkTransport::failConnection(const std::exception_ptr& error) {
    if (!isConnected_ || isStopping_) {
        return;
    }
    isConnected_ = false;
    ++heartbeatGeneration_;
    interruptWaits(WaitOwner::heartbeat);
    // Fails the writes under way and queued; the receive loop of this connection ends quietly.
    connection_->cancel();
    const auto& reconnection = reconnectionConfig_;
    if (reconnection.enabled && reconnectAttempt_ < reconnection.maxAttempts) {
        ++reconnectAttempt_;
        startRecovery(seconds(reconnection.backoffDelay(reconnectAttempt_)));
    } else {
        messageContinuation_->finish(error);
    }
}

std::exception_ptr NetworkTransport::sendFailed(const std::error_code& error) {
    const std::string description = error.message();
    logger_.error([&] { return "Send error: " + description; });
    // The code alone decides, whatever its category.
    if (!isStopping_ && reconnectionConfig_.enabled && isConnected_ &&
        (error.value() == ECONNRESET || error.value() == ENOTCONN)) {
        logger_.warning("Connection appears broken, will attempt to reconnect...");
        isConnected_ = false;
        startRecovery(500ms);
    }
    return std::make_exception_ptr(MCPError::internalError("Send error: " + description));
}

asio::awaitable<std::error_code> NetworkTransport::write(std::string bytes) {
    // The bytes cannot be taken back once handed over: a half-written line would corrupt every
    // later one. So the wait is not cancellable; the write deadline ends one that hangs.
    auto waiting = detail::suspend<std::error_code>(
        ++lastWaitId_,
        [this, bytes = std::move(bytes)](detail::Waiter<std::error_code>&& waiter) mutable {
            auto held =
                std::make_shared<std::optional<detail::Waiter<std::error_code>>>(std::move(waiter));
            handOver(std::move(bytes), [held](std::error_code error) {
                std::move(**held).completeHere(nullptr, error);
            });
        },
        [](std::uint64_t) {});
    co_return (co_await std::move(waiting)).value_or(std::error_code{});
}

// --- Receiving ---

MessageStream NetworkTransport::receive() {
    return MessageStream::takeOnce(messageStream_);
}

asio::awaitable<std::string> NetworkTransport::receiveData() {
    const std::size_t maximum =
        bufferConfig_.maxReceiveBufferSize
            ? std::min<std::size_t>(kMaxReadSize, static_cast<std::size_t>(std::max<std::int64_t>(
                                                      *bufferConfig_.maxReceiveBufferSize, 1)))
            : kMaxReadSize;
    auto waiting = detail::suspend<std::string>(
        ++lastWaitId_,
        [this, maximum](detail::Waiter<std::string>&& waiter) {
            auto held =
                std::make_shared<std::optional<detail::Waiter<std::string>>>(std::move(waiter));
            connection_->receive(
                1, maximum,
                [this, held](std::optional<std::string> content, bool isComplete,
                             std::error_code error) {
                    std::exception_ptr failure;
                    if (error) {
                        failure = std::make_exception_ptr(MCPError::transportError(error));
                    } else if (!content && isComplete) {
                        logger_.trace("Connection completed by peer");
                        failure = std::make_exception_ptr(MCPError::connectionClosed());
                    }
                    // The receive loop waits on this strand: it goes on at once.
                    std::move(**held).completeHere(
                        failure, failure ? std::nullopt
                                         : std::optional<std::string>(content ? std::move(*content)
                                                                              : std::string()));
                });
        },
        [](std::uint64_t) {});
    co_return (co_await std::move(waiting)).value_or(std::string());
}

asio::awaitable<void> NetworkTransport::waitForConsumer(std::size_t below) {
    auto waiting = detail::suspend<bool>(
        0,
        [this, below](detail::Waiter<bool>&& waiter) {
            auto held = std::make_shared<std::optional<detail::Waiter<bool>>>(std::move(waiter));
            // Also called when the stream finishes or its consumer goes.
            messageContinuation_->whenFewerThan(
                below, [held] { std::move(**held).complete(nullptr, true); });
        },
        [](std::uint64_t) {});
    co_await std::move(waiting);
}

asio::awaitable<void> NetworkTransport::receiveLoop(std::shared_ptr<NetworkTransport> self,
                                                    std::uint64_t generation) {
    auto& transport = *self;
    const auto& logger = transport.logger_;
    std::optional<std::size_t> lineLimit;
    if (transport.bufferConfig_.maxReceiveBufferSize) {
        lineLimit = static_cast<std::size_t>(
            std::max<std::int64_t>(*transport.bufferConfig_.maxReceiveBufferSize, 0));
    }
    NetworkLineFramer framer(lineLimit);
    int emptyReads = 0;
    const auto current = [&] {
        return generation == transport.connectionGeneration_ && transport.isConnected_ &&
               !transport.isStopping_;
    };
    while (current()) {
        std::string chunk;
        std::exception_ptr failure;
        try {
            chunk = co_await transport.receiveData();
        } catch (...) {
            failure = std::current_exception();
        }
        if (generation != transport.connectionGeneration_) {
            co_return;  // a later connection has its own loop
        }
        if (!transport.isConnected_ && !transport.isStopping_) {
            co_return;  // a send found the connection broken: its recovery is under way
        }
        if (!failure && chunk.empty()) {
            ++emptyReads;
            if (emptyReads >= 5) {
                logger.warning([&] {
                    return "Multiple consecutive empty reads (" + std::to_string(emptyReads) +
                           "), possible connection issue";
                });
                if (transport.connection_->state().kind != State::ready) {
                    logger.warning("Connection no longer ready, exiting receive loop");
                    break;
                }
            }
            if (!co_await transport.pause(100ms, WaitOwner::connect)) {
                break;
            }
            continue;
        }
        if (!failure) {
            emptyReads = 0;
            const bool fits = framer.feed(
                std::move(chunk),
                [&](std::string&& line) {
                    logger.debug("Message received", [&] {
                        return logging::Metadata{{"size", std::to_string(line.size())}};
                    });
                    transport.messageContinuation_->yieldHere(std::move(line));
                },
                [&](const Heartbeat::Frame& frame) {
                    logger.trace("Received heartbeat from peer");
                    if (logger.isEnabled(logging::Level::trace)) {
                        if (auto heartbeat = Heartbeat::fromRawValue(frame)) {
                            logger.trace("Heartbeat timestamp: " + heartbeat->timestampText());
                        }
                    }
                });
            if (!fits) {
                const std::string detail = "Message exceeds the line length limit of " +
                                           std::to_string(*lineLimit) + " bytes";
                logger.error([&] { return "Receive error: " + detail; });
                transport.isConnected_ = false;
                transport.connection_->cancel();
                transport.messageContinuation_->finish(
                    std::make_exception_ptr(MCPError::internalError(detail)));
                co_return;
            }
            if (transport.messageContinuation_->buffered() >= kMaxWaitingMessages) {
                co_await transport.waitForConsumer(kMaxWaitingMessages / 2);
            }
            continue;
        }
        if (transport.isStopping_) {
            break;
        }
        logger.error([&] { return "Receive error: " + detail::describeError(failure); });
        const auto& reconnection = transport.reconnectionConfig_;
        if (reconnection.enabled && transport.reconnectAttempt_ < reconnection.maxAttempts) {
            ++transport.reconnectAttempt_;
            logger.warning([&] {
                return "Error during receive, attempting reconnection (" +
                       std::to_string(transport.reconnectAttempt_) + "/" +
                       std::to_string(reconnection.maxAttempts) + ")...";
            });
            transport.isConnected_ = false;
            transport.startRecovery(
                seconds(reconnection.backoffDelay(transport.reconnectAttempt_)));
        } else {
            transport.messageContinuation_->finish(failure);
        }
        break;
    }
    if (transport.isStopping_) {
        logger.debug("Receive loop stopping normally");
        transport.messageContinuation_->finish();
    }
}

void NetworkTransport::startRecovery(std::chrono::nanoseconds delay) {
    isConnected_ = false;
    ++recoveriesRunning_;
    if (!std::exchange(lossAnnounced_, true)) {
        // Whatever was in flight on the broken connection will never be answered.
        announce(ConnectionChange::lost);
    }
    asio::co_spawn(strand_, recover(shared_from_this(), delay), asio::detached);
}

// A recovery: after `delay`, the connection is started again through connect(). When that gives
// up, the stream fails with its error: the consumer learns that nothing more will come.
asio::awaitable<void> NetworkTransport::recover(std::shared_ptr<NetworkTransport> self,
                                                std::chrono::nanoseconds delay) {
    // Counted from startRecovery() on, so that a disconnect() before this task runs stops it.
    struct Running {
        int& count;
        ~Running() { --count; }
    } running{self->recoveriesRunning_};
    if (self->isStopping_ || !co_await self->pause(delay, WaitOwner::recovery) ||
        self->isStopping_) {
        co_return;
    }
    self->connection_->cancel();
    std::exception_ptr failure;
    try {
        co_await self->connectOnStrand();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure && !self->isStopping_) {
        self->logger_.error(
            [&] { return "Reconnection failed: " + detail::describeError(failure); });
        self->messageContinuation_->finish(failure);
    }
}

// --- Waits ---

asio::awaitable<bool> NetworkTransport::pause(std::chrono::nanoseconds delay, WaitOwner owner) {
    const std::uint64_t id = ++lastWaitId_;
    auto waiting = detail::suspend<bool>(
        id,
        [this, delay, owner, id](detail::Waiter<bool>&& waiter) {
            auto withdraw = clock_->schedule(strand_, delay, [weak = weak_from_this(), id] {
                if (auto self = weak.lock()) {
                    self->endWait(id, true);
                }
            });
            waits_.emplace(id, Wait{owner, std::move(waiter), std::move(withdraw)});
        },
        [weak = weak_from_this(), strand = strand_](std::uint64_t cancelled) {
            asio::post(strand, [weak, cancelled] {
                if (auto self = weak.lock()) {
                    self->abortWait(cancelled);
                }
            });
        });
    co_return (co_await std::move(waiting)).value_or(false);
}

void NetworkTransport::endWait(std::uint64_t id, bool elapsed) {
    auto found = waits_.find(id);
    if (found == waits_.end()) {
        return;
    }
    Wait wait = std::move(found->second);
    waits_.erase(found);
    if (!elapsed) {
        wait.withdrawAlarm();
    }
    std::move(wait.waiter).complete(nullptr, elapsed);
}

void NetworkTransport::abortWait(std::uint64_t id) {
    auto found = waits_.find(id);
    if (found == waits_.end()) {
        return;
    }
    Wait wait = std::move(found->second);
    waits_.erase(found);
    wait.withdrawAlarm();
    std::move(wait.waiter).complete(detail::operationAborted(), std::nullopt);
}

void NetworkTransport::interruptWaits(std::optional<WaitOwner> owner) {
    std::vector<std::uint64_t> ids;
    for (const auto& [id, wait] : waits_) {
        if (!owner || wait.owner == *owner) {
            ids.push_back(id);
        }
    }
    for (std::uint64_t id : ids) {
        endWait(id, false);
    }
}

}  // namespace mcp
