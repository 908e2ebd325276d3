#include "MCP/Transports/StdioTransport.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstdint>
#include <list>
#include <mutex>
#include <string_view>
#include <system_error>
#include <vector>

#include "Logging/NoOpLogHandler.h"
#include "MCP/Core/detail/AsyncWaiter.h"
#include "MCP/Core/detail/ReactorDescriptor.h"
#include "MCP/Messages/MCPError.h"

namespace mcp {

namespace asio = boost::asio;

namespace {

constexpr std::size_t kReadSize = 64 * 1024;

std::error_code systemError(int number) {
    return {number, std::system_category()};
}

std::error_code systemError(const boost::system::error_code& error) {
    return error.category() == boost::system::system_category() ? systemError(error.value())
                                                                : std::error_code(error);
}

std::exception_ptr notConnected() {
    return std::make_exception_ptr(MCPError::transportError(systemError(ENOTCONN)));
}

// How a line reaches the output without SIGPIPE ever ending the process.
enum class WriteMode {
    socket,         // send() with MSG_NOSIGNAL
    signalIgnored,  // the process ignores SIGPIPE: a plain write()
    signalBlocked,  // write() with SIGPIPE blocked on this thread around it
};

// Blocks SIGPIPE on the calling thread for one write, and takes back a SIGPIPE that the write
// raised, so that it is never delivered when the mask is restored.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipeOnly_);
        sigaddset(&pipeOnly_, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previous_);
        wasBlocked_ = sigismember(&previous_, SIGPIPE) == 1;
        if (wasBlocked_) {
            // The caller blocks it: one pending already is the caller's, not ours to take.
            sigset_t pending;
            sigemptyset(&pending);
            ::sigpending(&pending);
            wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        }
    }
    ~SigpipeBlock() {
        if (!wasBlocked_) {
            ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        }
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

    void takeBackRaisedSignal() {
        if (!wasPending_) {
            const timespec now = {};
            while (::sigtimedwait(&pipeOnly_, nullptr, &now) == -1 && errno == EINTR) {
            }
        }
    }

private:
    sigset_t pipeOnly_;
    sigset_t previous_;
    bool wasBlocked_ = false;
    bool wasPending_ = false;
};

// Writes what the non-blocking descriptor takes now: the count written; `error` is set for a
// failure other than a full pipe.
std::size_t writeSome(int descriptor, WriteMode mode, std::string_view bytes, int& error) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count =
            mode == WriteMode::socket
                ? ::send(descriptor, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                : ::write(descriptor, bytes.data() + done, bytes.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (count == -1 && errno == EINTR) {
            continue;
        }
        if (count == -1 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = errno;
        }
        break;
    }
    return done;
}

std::size_t writeNow(int descriptor, WriteMode mode, std::string_view bytes, int& error) {
    if (mode != WriteMode::signalBlocked) {
        return writeSome(descriptor, mode, bytes, error);
    }
    SigpipeBlock block;
    const std::size_t done = writeSome(descriptor, mode, bytes, error);
    if (error == EPIPE) {
        block.takeBackRaisedSignal();
    }
    return done;
}

WriteMode writeModeOf(int descriptor) {
    struct stat status = {};
    if (::fstat(descriptor, &status) == 0 && S_ISSOCK(status.st_mode)) {
        return WriteMode::socket;
    }
    struct sigaction action = {};
    if (::sigaction(SIGPIPE, nullptr, &action) == 0 && !(action.sa_flags & SA_SIGINFO) &&
        action.sa_handler == SIG_IGN) {
        return WriteMode::signalIgnored;
    }
    return WriteMode::signalBlocked;
}

// The O_NONBLOCK bit of a descriptor as connect() found it, given back by restore().
struct SavedMode {
    int descriptor = -1;
    bool wasNonBlocking = true;

    void restore() {
        if (descriptor == -1) {
            return;
        }
        if (!wasNonBlocking) {
            const int flags = ::fcntl(descriptor, F_GETFL);
            if (flags != -1) {
                ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
            }
        }
        descriptor = -1;
    }
};

// Notes the mode of `descriptor` in `saved` and makes it non-blocking; throws transportError.
void makeNonBlocking(int descriptor, SavedMode& saved) {
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags == -1) {
        throw MCPError::transportError(systemError(errno));
    }
    if ((flags & O_NONBLOCK) == 0 && ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == -1) {
        throw MCPError::transportError(systemError(errno));
    }
    saved = SavedMode{descriptor, (flags & O_NONBLOCK) != 0};
}

struct Done {};

}  // namespace

// Everything the transport shares with its pending operations, which hold it alive. `mutex`
// guards the connection, the descriptors' Asio objects and the send queue; the read state is
// touched only by the one read operation under way.
struct StdioTransport::State : std::enable_shared_from_this<State> {
    State(asio::any_io_executor executor, int input, int output, logging::Logger logger,
          std::size_t maxLineLength, std::size_t maxPendingMessages)
        : executor(executor),
          inputFd(input),
          outputFd(output),
          logger(std::move(logger)),
          maxLineLength(maxLineLength),
          maxPendingMessages(maxPendingMessages == 0 ? 1 : maxPendingMessages),
          input(executor),
          output(executor) {
        auto [madeStream, madeSource] = MessageStream::make();
        stream.emplace(std::move(madeStream));
        source.emplace(std::move(madeSource));
    }

    ~State() {
        // The descriptors belong to the caller: never closed here.
        releaseDescriptors();
        inputMode.restore();
        outputMode.restore();
    }

    // A line that could not go out at once, and the send waiting for it.
    struct QueuedLine {
        std::string bytes;
        std::size_t done = 0;
        std::uint64_t id = 0;
        std::optional<detail::Waiter<Done>> waiter;
    };

    void connect();
    void shutDown(bool finishStream);
    void releaseDescriptors();
    detail::ReactorDescriptor& writeDescriptor() { return outputFd == inputFd ? input : output; }

    // Reading, one operation at a time.
    void startRead(std::uint64_t generation);
    void onRead(std::uint64_t generation, const boost::system::error_code& error,
                std::size_t count);
    void parse(std::uint64_t generation);
    void resumeReading(std::uint64_t generation);
    void endStream(std::uint64_t generation, std::exception_ptr failure);

    // Writing.
    bool tryWriteNow(std::string& line, std::exception_ptr& failure, std::uint64_t& remainder);
    asio::awaitable<void> waitForLine(std::string line, std::uint64_t remainder);
    void registerLine(std::string line, std::size_t done, detail::Waiter<Done>&& waiter);
    void cancelLine(std::uint64_t id);
    void waitWritable();
    void onWritable(const boost::system::error_code& error);
    void failQueued(const std::exception_ptr& failure);

    const asio::any_io_executor executor;
    const int inputFd;
    const int outputFd;
    const logging::Logger logger;
    const std::size_t maxLineLength;
    const std::size_t maxPendingMessages;

    std::mutex mutex;
    detail::ReactorDescriptor input;
    detail::ReactorDescriptor output;
    std::atomic<bool> isConnected = false;
    // Counts connections: a read operation of an earlier one does nothing more.
    std::atomic<std::uint64_t> generation = 0;
    SavedMode inputMode;
    SavedMode outputMode;
    WriteMode writeMode = WriteMode::signalBlocked;
    bool writing = false;         // a line is under way: later lines queue behind it
    std::list<QueuedLine> queue;  // a list: entries move only whole
    std::uint64_t lastLineId = 0;
    // The outcome of a line finished before its send suspended to wait for it.
    std::uint64_t unclaimedId = 0;
    std::exception_ptr unclaimedFailure;

    std::optional<MessageStream> stream;
    std::optional<MessageStream::Source> source;

    // Read state.
    std::vector<char> readBuffer;
    std::size_t parsed = 0;    // bytes of readBuffer already split into lines
    std::size_t received = 0;  // bytes of readBuffer filled by the last read
    std::string partialLine;
};

StdioTransport::StdioTransport(asio::any_io_executor executor, int input, int output,
                               std::optional<logging::Logger> logger, std::size_t maxLineLength,
                               std::size_t maxPendingMessages)
    : logger_(logger ? std::move(*logger)
                     : logging::Logger("mcp.transport.stdio", logging::NoOpLogHandler())),
      state_(std::make_shared<State>(std::move(executor), input, output, logger_, maxLineLength,
                                     maxPendingMessages)) {}

StdioTransport::~StdioTransport() {
    // Operations still under way hold the state; the descriptors are given back now.
    state_->shutDown(true);
}

asio::awaitable<void> StdioTransport::connect() {
    state_->connect();
    co_return;
}

void StdioTransport::State::connect() {
    std::unique_lock lock(mutex);
    if (isConnected) {
        return;
    }
    SavedMode savedInput;
    SavedMode savedOutput;
    try {
        makeNonBlocking(inputFd, savedInput);
        if (outputFd != inputFd) {
            makeNonBlocking(outputFd, savedOutput);
        }
        boost::system::error_code error;
        if (!input.isOpen()) {
            error = input.assign(inputFd);
        }
        if (!error && outputFd != inputFd && !output.isOpen()) {
            error = output.assign(outputFd);
        }
        if (error) {
            throw MCPError::transportError(systemError(error));
        }
    } catch (...) {
        releaseDescriptors();
        savedOutput.restore();
        savedInput.restore();
        throw;
    }
    inputMode = savedInput;
    outputMode = savedOutput;
    writeMode = writeModeOf(outputFd);
    if (readBuffer.empty()) {
        readBuffer.resize(kReadSize);
    }
    parsed = received = 0;
    partialLine.clear();
    const std::uint64_t current = ++generation;
    isConnected = true;
    logger.debug("Transport connected successfully");
    startRead(current);
}

void StdioTransport::State::releaseDescriptors() {
    // Release, not close: pending operations end with operation_aborted.
    input.release();
    output.release();
}

void StdioTransport::State::shutDown(bool finishStream) {
    {
        std::unique_lock lock(mutex);
        if (!isConnected) {
            return;
        }
        isConnected = false;
        ++generation;
        releaseDescriptors();
        outputMode.restore();
        inputMode.restore();
        failQueued(notConnected());
        writing = false;
    }
    if (finishStream) {
        source->finish();
    }
    logger.debug("Transport disconnected");
}

// --- Reading ---

void StdioTransport::State::startRead(std::uint64_t current) {
    // Called with the lock held, connected.
    input.asyncReadSome(readBuffer.data(), readBuffer.size(),
                        [self = shared_from_this(), current](const boost::system::error_code& error,
                                                             std::size_t count) {
                            self->onRead(current, error, count);
                        });
}

void StdioTransport::State::onRead(std::uint64_t current, const boost::system::error_code& error,
                                   std::size_t count) {
    if (error == asio::error::operation_aborted || generation != current) {
        return;  // disconnect()
    }
    if (error == asio::error::eof) {
        logger.notice("EOF received");
        endStream(current, nullptr);
        return;
    }
    if (error) {
        const std::string description = error.message();
        logger.error("Read error occurred", [&] {
            return logging::Metadata{{"error", description}};
        });
        endStream(current, std::make_exception_ptr(MCPError::transportError(systemError(error))));
        return;
    }
    parsed = 0;
    received = count;
    parse(current);
}

void StdioTransport::State::endStream(std::uint64_t current, std::exception_ptr failure) {
    if (generation != current) {
        return;
    }
    if (failure) {
        source->finish(failure);
    } else {
        source->finish();
    }
}

// Splits what the last read brought into lines and hands them out, then reads on; stops early
// (and keeps the rest) while the stream holds as many unread messages as it may.
void StdioTransport::State::parse(std::uint64_t current) {
    while (parsed < received) {
        if (source->buffered() >= maxPendingMessages) {
            // Back-pressure: read on once the consumer has taken half of them.
            std::weak_ptr<State> weak = weak_from_this();
            source->whenFewerThan(maxPendingMessages / 2 + 1, [weak, current] {
                if (auto self = weak.lock()) {
                    asio::post(self->executor, [self, current] { self->resumeReading(current); });
                }
            });
            return;
        }
        const std::string_view chunk(readBuffer.data() + parsed, received - parsed);
        const std::size_t end = chunk.find('\n');
        const std::string_view piece = chunk.substr(0, end);
        if (partialLine.size() + piece.size() > maxLineLength) {
            logger.error("Message exceeds the line length limit");
            endStream(current, std::make_exception_ptr(MCPError::internalError(
                                   "Message exceeds the line length limit of " +
                                   std::to_string(maxLineLength) + " bytes")));
            return;
        }
        if (end == std::string_view::npos) {
            partialLine.append(piece);
            parsed = received;
            break;
        }
        parsed += end + 1;
        std::string line;
        if (partialLine.empty()) {
            line.assign(piece);
        } else {
            line = std::move(partialLine);
            line.append(piece);
            partialLine = std::string();
        }
        if (line.empty()) {
            continue;
        }
        logger.trace("Message received", [&] {
            return logging::Metadata{{"size", std::to_string(line.size())}};
        });
        // The consumer may run before this returns, and may disconnect.
        source->yieldHere(std::move(line));
        if (generation != current) {
            return;
        }
    }
    std::lock_guard lock(mutex);
    if (generation == current && isConnected) {
        startRead(current);
    }
}

void StdioTransport::State::resumeReading(std::uint64_t current) {
    if (generation == current) {
        parse(current);
    }
}

MessageStream StdioTransport::receive() {
    // The stream is made at construction; a later call gets a stream that has ended.
    std::lock_guard lock(state_->mutex);
    return MessageStream::takeOnce(state_->stream);
}

// --- Writing ---

asio::awaitable<void> StdioTransport::send(std::string message) {
    message.push_back('\n');
    std::exception_ptr failure;
    std::uint64_t remainder = 0;
    if (state_->tryWriteNow(message, failure, remainder)) {
        co_return;
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    // The line queues behind others, or the pipe took only part of it.
    co_await state_->waitForLine(std::move(message), remainder);
}

bool StdioTransport::trySend(std::string& message) {
    message.push_back('\n');
    std::exception_ptr failure;
    std::uint64_t remainder = 0;
    if (state_->tryWriteNow(message, failure, remainder)) {
        return true;
    }
    if (remainder != 0) {
        return true;  // the line is the queue's now; its rest goes out first
    }
    message.pop_back();
    if (failure) {
        std::rethrow_exception(failure);
    }
    return false;
}

// Writes the line at once when no other line is under way. True when it is out; false with
// `failure` set when it failed; false with `remainder` set to the id of the queued rest when the
// pipe took only part of it; false with neither, the line untouched, when it has to queue.
bool StdioTransport::State::tryWriteNow(std::string& line, std::exception_ptr& failure,
                                        std::uint64_t& remainder) {
    std::unique_lock lock(mutex);
    if (!isConnected) {
        failure = notConnected();
        return false;
    }
    if (writing) {
        return false;
    }
    int error = 0;
    const std::size_t done = writeNow(outputFd, writeMode, line, error);
    if (error != 0) {
        failure = std::make_exception_ptr(MCPError::transportError(systemError(error)));
        return false;
    }
    if (done == line.size()) {
        return true;
    }
    // The rest goes first, before any line queued later: the writer's turn is held for it.
    writing = true;
    remainder = ++lastLineId;
    queue.push_front(QueuedLine{std::move(line), done, remainder, std::nullopt});
    waitWritable();
    return false;
}

asio::awaitable<void> StdioTransport::State::waitForLine(std::string line,
                                                         std::uint64_t remainder) {
    // With `remainder`, the rest of this send's line is queued already under that id.
    const bool queued = remainder != 0;
    std::uint64_t id = remainder;
    if (!queued) {
        std::lock_guard lock(mutex);
        id = ++lastLineId;
    }
    // The awaitable is made first: g++ 12 mishandles the temporaries of a co_await expression.
    asio::awaitable<std::optional<Done>> waiting = detail::suspend<Done>(
        id,
        [self = shared_from_this(), line = std::move(line), queued,
         id](detail::Waiter<Done>&& waiter) mutable {
            std::lock_guard lock(self->mutex);
            if (queued) {
                for (QueuedLine& entry : self->queue) {
                    if (entry.id == id) {
                        entry.waiter.emplace(std::move(waiter));
                        return;
                    }
                }
                // Finished or failed while this send was suspending.
                if (self->unclaimedId == id) {
                    std::move(waiter).complete(
                        self->unclaimedFailure,
                        self->unclaimedFailure ? std::nullopt : std::optional<Done>(Done{}));
                    self->unclaimedFailure = nullptr;
                } else {
                    std::move(waiter).complete(notConnected(), std::nullopt);
                }
                return;
            }
            self->registerLine(std::move(line), 0, std::move(waiter));
        },
        [weak = weak_from_this()](std::uint64_t cancelled) {
            if (auto state = weak.lock()) {
                state->cancelLine(cancelled);
            }
        });
    co_await std::move(waiting);
}

// With the lock held: a send that found another line under way.
void StdioTransport::State::registerLine(std::string line, std::size_t done,
                                         detail::Waiter<Done>&& waiter) {
    if (!isConnected) {
        std::move(waiter).complete(notConnected(), std::nullopt);
        return;
    }
    const std::uint64_t id = waiter.id;
    if (!writing) {
        // The way cleared while this send was suspending.
        int error = 0;
        done += writeNow(outputFd, writeMode, std::string_view(line).substr(done), error);
        if (error != 0) {
            std::move(waiter).complete(
                std::make_exception_ptr(MCPError::transportError(systemError(error))),
                std::nullopt);
            return;
        }
        if (done == line.size()) {
            std::move(waiter).complete(nullptr, Done{});
            return;
        }
        writing = true;
        queue.push_back(QueuedLine{std::move(line), done, id, std::move(waiter)});
        waitWritable();
        return;
    }
    queue.push_back(QueuedLine{std::move(line), done, id, std::move(waiter)});
}

void StdioTransport::State::cancelLine(std::uint64_t id) {
    std::lock_guard lock(mutex);
    for (auto entry = queue.begin(); entry != queue.end(); ++entry) {
        if (entry->id != id || !entry->waiter) {
            continue;
        }
        auto waiter = std::move(*entry->waiter);
        entry->waiter.reset();
        if (entry->done == 0) {
            queue.erase(entry);
        }
        // A line partly written cannot be taken back (half a line would corrupt every later
        // one): its rest still goes out, but its sender, which may wait on a peer that stopped
        // reading, is released now.
        std::move(waiter).complete(detail::operationAborted(), std::nullopt);
        return;
    }
}

void StdioTransport::State::waitWritable() {
    // With the lock held. The reactor re-arms the descriptor for this wait: no readiness is missed.
    writeDescriptor().asyncWaitWritable(
        [self = shared_from_this()](const boost::system::error_code& error) {
            self->onWritable(error);
        });
}

void StdioTransport::State::onWritable(const boost::system::error_code& waitError) {
    std::lock_guard lock(mutex);
    if (!isConnected || waitError == asio::error::operation_aborted) {
        return;  // disconnect() has ended every waiting send
    }
    while (!queue.empty()) {
        QueuedLine& head = queue.front();
        int error = waitError ? waitError.value() : 0;
        if (error == 0) {
            head.done += writeNow(outputFd, writeMode,
                                  std::string_view(head.bytes).substr(head.done), error);
        }
        if (error == 0 && head.done < head.bytes.size()) {
            waitWritable();
            return;
        }
        QueuedLine finished = std::move(head);
        queue.pop_front();
        std::exception_ptr failure =
            error != 0 ? std::make_exception_ptr(MCPError::transportError(systemError(error)))
                       : nullptr;
        if (finished.waiter) {
            std::move(*finished.waiter)
                .complete(failure, failure ? std::nullopt : std::optional<Done>(Done{}));
        } else {
            // Its send has not suspended yet: it finds the outcome here.
            unclaimedId = finished.id;
            unclaimedFailure = failure;
        }
        if (waitError) {
            failQueued(std::make_exception_ptr(MCPError::transportError(systemError(waitError))));
            break;
        }
    }
    writing = false;
}

void StdioTransport::State::failQueued(const std::exception_ptr& failure) {
    // With the lock held.
    for (QueuedLine& entry : queue) {
        if (entry.waiter) {
            std::move(*entry.waiter).complete(failure, std::nullopt);
        }
    }
    queue.clear();
}

asio::awaitable<void> StdioTransport::disconnect() {
    state_->shutDown(true);
    co_return;
}

}  // namespace mcp
