#include "app/automation/MCPConnectionIO.h"

#include <cerrno>
#include <thread>

#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/SocketError.h"
#include "app/automation/InboundMessageRules.h"

namespace fw::automation {

MCPConnectionIO::MCPConnectionIO(std::shared_ptr<MCPUnixSocketHandle> handle,
                                 std::function<void()> onClose, mcp::MessageStream::Source messages)
    : handle_(std::move(handle)),
      lineReader_(handle_->descriptor()),
      onClose_(std::move(onClose)),
      messages_(std::move(messages)) {}

MCPConnectionIO::~MCPConnectionIO() = default;

bool MCPConnectionIO::openLocked() const {
    return open_ && !handle_->isStopped();
}

bool MCPConnectionIO::isOpen() const {
    std::lock_guard guard(stateLock_);
    return openLocked();
}

void MCPConnectionIO::start() {
    {
        std::lock_guard guard(stateLock_);
        if (!openLocked() || started_) {
            return;
        }
        started_ = true;
    }
    std::thread([self = shared_from_this()] { self->readLoop(); }).detach();
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
        abandoned.swap(writes_);
        queuedWrites_ -= static_cast<int>(abandoned.size());
    }
    writesQueued_.notify_all();
    handle_->shutdown();
    requestFinished_.release();
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
    return messages_.yield(std::move(message));
}

void MCPConnectionIO::readLoop() {
    int notificationsInARow = 0;
    while (true) {
        if (!isOpen()) {
            break;
        }
        std::string line;
        try {
            line = lineReader_.nextLine(MCPUnixSocket::kIncomingLineMaximum);
        } catch (const SocketError&) {
            break;
        }
        auto message = acceptInboundLine(std::move(line), MCPUnixSocket::kIncomingLineMaximum);
        if (!message) {
            break;
        }
        if (message->kind == InboundMessage::Kind::request) {
            {
                std::lock_guard guard(stateLock_);
                pendingID_ = message->key;
            }
            if (!deliver(std::move(message->text))) {
                break;
            }
            requestFinished_.acquire();
            notificationsInARow = 0;
        } else {
            if (notificationsInARow >= kNotificationRunLimit) {
                break;
            }
            if (!deliver(std::move(message->text))) {
                break;
            }
            ++notificationsInARow;
        }
    }
    close();
}

bool MCPConnectionIO::admitWrite() {
    std::lock_guard guard(stateLock_);
    if (!openLocked() || queuedWrites_ >= kWriteQueueLimit) {
        return false;
    }
    ++queuedWrites_;
    return true;
}

void MCPConnectionIO::write(std::string message, WriteCompletion completion) {
    bool closed = false;
    bool startWriter = false;
    {
        std::lock_guard guard(stateLock_);
        if (open_) {
            writes_.push_back({std::move(message), completion});
            startWriter = !std::exchange(writerStarted_, true);
        } else {
            --queuedWrites_;
            closed = true;
        }
    }
    if (closed) {
        close();
        completion.setError(std::make_exception_ptr(SocketError::io(ENOTCONN)));
    } else if (startWriter) {
        std::thread([self = shared_from_this()] { self->writeLoop(); }).detach();
    } else {
        writesQueued_.notify_one();
    }
}

void MCPConnectionIO::writeLoop() {
    while (true) {
        std::optional<QueuedWrite> next;
        {
            std::unique_lock lock(stateLock_);
            writesQueued_.wait(lock, [&] { return !writes_.empty() || !open_; });
            if (writes_.empty()) {
                return;
            }
            next.emplace(std::move(writes_.front()));
            writes_.pop_front();
        }
        performWrite(*next);
        std::lock_guard guard(stateLock_);
        --queuedWrites_;
    }
}

void MCPConnectionIO::performWrite(QueuedWrite& write) {
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
        return;
    }
    write.message.push_back('\n');
    try {
        MCPUnixSocket::writeAll(write.message, handle_->descriptor());
    } catch (const SocketError& error) {
        close();
        write.completion.setError(std::make_exception_ptr(error));
        return;
    }
    write.message.pop_back();
    // The reader sets the key before it hands a request over and waits until it is released, so
    // the key read above is still the one in flight unless the connection closed meanwhile.
    if (releasesRequestInFlight(write.message, pending)) {
        bool release = false;
        {
            std::lock_guard guard(stateLock_);
            if (open_ && pendingID_ == pending) {
                pendingID_.clear();
                release = true;
            }
        }
        if (release) {
            requestFinished_.release();
        }
    }
    write.completion.setValue(true);
}

}  // namespace fw::automation
