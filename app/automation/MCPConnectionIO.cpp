#include "app/automation/MCPConnectionIO.h"

#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <cerrno>
#include <string_view>
#include <system_error>

#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/SocketError.h"
#include "MCP/Core/detail/ReactorDescriptor.h"
#include "app/automation/InboundMessageRules.h"

namespace fw::automation {

namespace {

// Writes as much of `bytes` as the socket takes now; how much that was. Throws SocketError for
// a failed write.
std::size_t writeWithoutWaiting(std::string_view bytes, int descriptor) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t sent = ::send(descriptor, bytes.data() + written, bytes.size() - written,
                                    MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            throw SocketError::io(errno);
        }
        written += static_cast<std::size_t>(sent);
    }
    return written;
}

}  // namespace

MCPConnectionIO::MCPConnectionIO(const boost::asio::any_io_executor& executor,
                                 std::shared_ptr<MCPUnixSocketHandle> handle,
                                 std::function<void()> onClose, mcp::MessageStream::Source messages,
                                 std::shared_ptr<ServerThreads> threads)
    : executor_(executor),
      handle_(std::move(handle)),
      lineReader_(handle_->descriptor()),
      onClose_(std::move(onClose)),
      messages_(std::move(messages)),
      threads_(std::move(threads)),
      watch_(std::make_unique<mcp::detail::ReactorDescriptor>(executor)) {}

MCPConnectionIO::~MCPConnectionIO() = default;

bool MCPConnectionIO::openLocked() const {
    return open_ && !handle_->isStopped();
}

bool MCPConnectionIO::isOpen() const {
    std::lock_guard guard(stateLock_);
    return openLocked();
}

void MCPConnectionIO::start() {
    bool refused = false;
    {
        std::lock_guard guard(stateLock_);
        if (!openLocked() || started_) {
            return;
        }
        started_ = true;
        refused = static_cast<bool>(watch_->assign(handle_->descriptor()));
    }
    if (refused) {
        close();  // the reactor would not take the socket
        return;
    }
    // Lines may have come with the handshake already: the first turn reads before it waits.
    boost::asio::post(executor_, [self = shared_from_this()] { self->readOn(); });
}

void MCPConnectionIO::close() {
    std::deque<QueuedWrite> abandoned;
    {
        std::lock_guard guard(stateLock_);
        if (!open_) {
            return;
        }
        open_ = false;
        pendingID_.clear();
        paused_ = false;
        abandoned.swap(writes_);
        queuedWrites_ -= static_cast<int>(abandoned.size());
        // A wait under way ends with operation_aborted; no other starts once closed.
        watch_->release();
    }
    writesQueued_.notify_all();
    handle_->shutdown();
    messages_.finish();
    for (auto& write : abandoned) {
        write.completion.setError(std::make_exception_ptr(SocketError::io(ENOTCONN)));
    }
    if (onClose_) {
        std::exchange(onClose_, nullptr)();
    }
}

bool MCPConnectionIO::deliver(std::string message) {
    if (!isOpen()) {
        return false;
    }
    // A server waiting on its strand takes the message on this thread when the strand is free.
    return messages_.yieldHere(std::move(message));
}

void MCPConnectionIO::readOn() {
    while (true) {
        std::optional<std::string> line;
        try {
            line = lineReader_.takeLine(MCPUnixSocket::kIncomingLineMaximum);
            if (!line) {
                // A short read emptied the socket: waiting is sure to be needed, so no read is
                // tried first (the wait re-arms the socket and sees bytes that came since).
                const std::size_t count =
                    std::exchange(lastReadShort_, false) ? 0 : lineReader_.readAvailable();
                if (count > 0) {
                    lastReadShort_ = count < MCPUnixSocketLineReader::kReadSize;
                    continue;
                }
                std::lock_guard guard(stateLock_);
                waitReadableLocked();
                return;
            }
        } catch (const SocketError&) {
            break;
        }
        auto message = acceptInboundLine(std::move(*line), MCPUnixSocket::kIncomingLineMaximum);
        if (!message) {
            break;
        }
        if (message->kind == InboundMessage::Kind::request) {
            {
                std::lock_guard guard(stateLock_);
                pendingID_ = message->key;
            }
            notificationsInARow_ = 0;
            if (!deliver(std::move(message->text))) {
                break;
            }
            std::lock_guard guard(stateLock_);
            if (!openLocked()) {
                break;
            }
            if (!pendingID_.empty()) {
                // The write of its answer gives the turn back (resumeReading()).
                paused_ = true;
                return;
            }
            // Answered already, on this thread or another one.
        } else {
            if (notificationsInARow_ >= kNotificationRunLimit) {
                break;
            }
            if (!deliver(std::move(message->text))) {
                break;
            }
            ++notificationsInARow_;
        }
    }
    close();
}

void MCPConnectionIO::waitReadableLocked() {
    if (!open_) {
        return;  // close() has run or runs now
    }
    // A socket shut down from elsewhere reads as ended at once, and the turn closes it.
    watch_->asyncWaitReadable([self = shared_from_this()](const boost::system::error_code& error) {
        if (error == boost::asio::error::operation_aborted) {
            return;  // close()
        }
        if (error) {
            self->close();
            return;
        }
        self->readOn();
    });
}

void MCPConnectionIO::resumeReading() {
    // The reader's turn is this caller's now.
    if (lineReader_.pendingSize() > 0) {
        // Lines that came behind the request: read on from the executor, not from inside the
        // server's send.
        boost::asio::post(executor_, [self = shared_from_this()] { self->readOn(); });
        return;
    }
    std::lock_guard guard(stateLock_);
    waitReadableLocked();
}

bool MCPConnectionIO::admitWrite() {
    std::lock_guard guard(stateLock_);
    if (!openLocked() || queuedWrites_ >= kWriteQueueLimit) {
        return false;
    }
    ++queuedWrites_;
    return true;
}

void MCPConnectionIO::write(std::string message, WriteCompletion completion,
                            std::optional<mcp::Transport::Answer> answer) {
    message.push_back('\n');
    QueuedWrite next{std::move(message), std::move(completion), std::move(answer)};
    enum class Way { closed, queued, atOnce } way = Way::atOnce;
    bool start = false;
    {
        std::lock_guard guard(stateLock_);
        if (!open_) {
            --queuedWrites_;
            way = Way::closed;
        } else if (writing_ || !writes_.empty()) {
            writes_.push_back(std::move(next));
            start = writerNeededLocked();
            way = Way::queued;
        } else {
            writing_ = true;
        }
    }
    if (way == Way::closed) {
        close();
        next.completion.setError(std::make_exception_ptr(SocketError::io(ENOTCONN)));
        return;
    }
    if (way == Way::queued) {
        if (start) {
            startWriter();
        } else {
            writesQueued_.notify_one();
        }
        return;
    }
    // Nothing else is being written: write from this thread, as far as the socket takes it now.
    if (!performWrite(next, false)) {
        handToWriter(std::move(next));
        return;
    }
    {
        std::lock_guard guard(stateLock_);
        --queuedWrites_;
        writing_ = false;
        start = writerNeededLocked();
    }
    if (start) {
        startWriter();
    } else {
        writesQueued_.notify_one();
    }
}

void MCPConnectionIO::handToWriter(QueuedWrite write) {
    bool closed = false;
    bool start = false;
    {
        std::lock_guard guard(stateLock_);
        writing_ = false;
        if (!open_) {
            --queuedWrites_;
            closed = true;
        } else {
            writes_.push_front(std::move(write));
            start = writerNeededLocked();
        }
    }
    if (closed) {
        write.completion.setError(std::make_exception_ptr(SocketError::io(ENOTCONN)));
    } else if (start) {
        startWriter();
    } else {
        writesQueued_.notify_one();
    }
}

bool MCPConnectionIO::writerNeededLocked() {
    return !writes_.empty() && !std::exchange(writerStarted_, true);
}

void MCPConnectionIO::startWriter() {
    bool started = false;
    try {
        started = threads_->start(handle_, [self = shared_from_this()] { self->writeLoop(); });
    } catch (const std::system_error&) {
    }
    if (!started) {
        {
            std::lock_guard guard(stateLock_);
            writerStarted_ = false;
        }
        close();
    }
}

void MCPConnectionIO::writeLoop() {
    while (true) {
        std::optional<QueuedWrite> next;
        {
            std::unique_lock lock(stateLock_);
            // Another thread's write without waiting is over in a moment.
            writesQueued_.wait(lock, [&] { return !writing_ || !open_; });
            if (!open_ || writes_.empty()) {
                // Nothing waits: this thread ends, and the next need starts another.
                writerStarted_ = false;
                return;
            }
            next.emplace(std::move(writes_.front()));
            writes_.pop_front();
            writing_ = true;
        }
        performWrite(*next, true);
        std::lock_guard guard(stateLock_);
        --queuedWrites_;
        writing_ = false;
    }
}

bool MCPConnectionIO::performWrite(QueuedWrite& write, bool wait) {
    std::lock_guard writing(writeLock_);
    std::string pending;
    bool open = false;
    {
        std::lock_guard guard(stateLock_);
        open = openLocked();
        pending = pendingID_;
    }
    if (!open) {
        close();
        write.completion.setError(std::make_exception_ptr(SocketError::io(ENOTCONN)));
        return true;
    }
    const std::string_view rest = std::string_view(write.line).substr(write.written);
    try {
        if (wait) {
            MCPUnixSocket::writeAll(rest, handle_->descriptor());
            write.written = write.line.size();
        } else {
            write.written += writeWithoutWaiting(rest, handle_->descriptor());
            if (write.written < write.line.size()) {
                return false;
            }
        }
    } catch (const SocketError& error) {
        close();
        write.completion.setError(std::make_exception_ptr(error));
        return true;
    }
    // The reader sets the key before it hands a request over and reads nothing more until it is
    // released, so the key read above is still the one in flight unless the connection closed
    // meanwhile.
    if (write.answer &&
        releasesRequestInFlight(write.answer->request, write.answer->isError, pending)) {
        bool resume = false;
        {
            std::lock_guard guard(stateLock_);
            if (open_ && pendingID_ == pending) {
                pendingID_.clear();
                resume = std::exchange(paused_, false);
            }
        }
        if (resume) {
            resumeReading();
        }
    }
    write.completion.setValue(true);
    return true;
}

}  // namespace fw::automation
