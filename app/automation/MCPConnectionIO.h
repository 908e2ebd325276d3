// MCPConnectionIO: the socket work and the state of one local automation connection, behind the
// MCPUnixSocketTransport actor. Safe to use from plain threads.
//
// Reading runs on the threads of the executor given at creation (the one the connection's MCP
// server runs on): start() registers the socket with the executor's reactor, and each time the
// socket has bytes, a thread of the executor reads them without blocking, applies the inbound
// rules (app/automation/InboundMessageRules.h) to each line and hands each accepted message to
// the receive stream, resuming a server that waits for it on that same thread when its strand is
// free: no thread is woken to pass a message on. After a request it reads nothing more until the
// response to that request has been written: one request in flight; the write that releases it
// starts the next wait. At most 32 notifications are accepted in a row, counting from the last
// request. A line over 1,048,576 bytes, the end of the stream, a read error or any broken rule
// closes the connection: nothing is written back and nothing is logged. The socket stays in
// blocking mode (the writer thread below relies on it); reads pass MSG_DONTWAIT.
//
// Outgoing messages go out in the order they were queued, each followed by a line feed, under
// `writeLock_` so that writes never interleave. When no other write is under way, the caller
// writes its line at once without waiting (the socket buffer takes a small answer whole), which
// spares the hand-over to another thread; what the socket cannot take at once is finished by a
// writer thread of the connection, so the caller never blocks on a slow peer. The writer runs
// only while writes wait (it ends when the queue is empty, and a later need starts another), and
// it is one of the owner's threads (app/automation/ServerThreads.h): it blocks on nothing but
// the socket, and the owner joins it before the owner and its executor go, so it never lets go of
// anything bound to the executor after that. At most two writes may be outstanding (admitWrite()). A write that makes no progress for
// the stall limit (the companion stopped reading) fails with EAGAIN and closes the connection, so
// no thread and no admission slot stays pinned. An answer of the server releases the request in
// flight once it is written, told by what the server says it answers (no parse of the text).
//
// The receive stream buffers what the reader hands over; since a request stops the reader until
// it is answered, at most one request and the 32 notifications before it can wait there.
//
// Lock order: writeLock_ before stateLock_; stateLock_ is innermost and held only briefly. Every
// operation may be called from any thread; close() any number of times. The executor's context
// must outlive the connection.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "LocalAutomation/MCPUnixSocketHandle.h"
#include "LocalAutomation/MCPUnixSocketLineReader.h"
#include "app/automation/ServerThreads.h"
#include <boost/asio/any_io_executor.hpp>

#include "MCP/Core/AsyncResult.h"
#include "MCP/Core/Transport.h"

namespace mcp::detail {
class ReactorDescriptor;
}

namespace fw::automation {

class MCPConnectionIO : public std::enable_shared_from_this<MCPConnectionIO> {
public:
    // How many notifications may follow one another without a request between them.
    static constexpr int kNotificationRunLimit = 32;
    // How many sends may be outstanding on one connection.
    static constexpr int kWriteQueueLimit = 2;

    using WriteCompletion = mcp::AsyncResultSource<bool>;

    // Reads on the threads of `executor`; its writer threads are started among `threads`.
    MCPConnectionIO(const boost::asio::any_io_executor& executor,
                    std::shared_ptr<MCPUnixSocketHandle> handle, std::function<void()> onClose,
                    mcp::MessageStream::Source messages, std::shared_ptr<ServerThreads> threads);
    ~MCPConnectionIO();
    MCPConnectionIO(const MCPConnectionIO&) = delete;
    MCPConnectionIO& operator=(const MCPConnectionIO&) = delete;

    // True while the connection is open and its socket not shut down.
    bool isOpen() const;
    // Starts reading once, when open; later calls do nothing.
    void start();
    // Closes the connection: stops reading, shuts the socket down, ends the receive stream,
    // fails queued writes, then runs `onClose` once.
    void close();

    // Takes one more outstanding write when the connection is open and fewer than two are
    // outstanding; false otherwise (the caller closes the connection).
    bool admitWrite();
    // Writes or queues one admitted write of `message` (without its line feed); `completion` is
    // given true when it has been written, or the SocketError that stopped it. With `answer`, the
    // message is the server's answer to a request.
    void write(std::string message, WriteCompletion completion,
               std::optional<mcp::Transport::Answer> answer = std::nullopt);

private:
    struct QueuedWrite {
        std::string line;  // the message and its line feed
        WriteCompletion completion;
        std::optional<mcp::Transport::Answer> answer;
        std::size_t written = 0;
    };

    // Reads and hands over lines until the socket is empty (then waits for it), a request is in
    // flight (then stops until its answer is written) or the connection closes. Runs on the
    // executor, by one thread at a time: whoever holds the reader's turn.
    void readOn();
    // Under stateLock_: waits for the socket to have bytes, then reads on.
    void waitReadableLocked();
    // Gives the reader's turn back after the request in flight was answered.
    void resumeReading();
    void writeLoop();
    // Writes what is left of `write`, waiting for the socket when `wait`; true when the write is
    // over (written, or failed and the connection closed), false when the socket took only part
    // of it without waiting.
    bool performWrite(QueuedWrite& write, bool wait);
    // Hands `write` to the writer thread, first in the queue.
    void handToWriter(QueuedWrite write);
    // Under stateLock_: true when writes wait and no writer thread is running, which the caller
    // then starts (it counts as started from here on).
    bool writerNeededLocked();
    // Starts a writer thread; when none can be started (the owner is going away), closes the
    // connection, which fails the waiting writes.
    void startWriter();
    bool deliver(std::string message);
    bool openLocked() const;

    const boost::asio::any_io_executor executor_;
    const std::shared_ptr<MCPUnixSocketHandle> handle_;
    MCPUnixSocketLineReader lineReader_;  // the reader's turn only
    std::function<void()> onClose_;
    mcp::MessageStream::Source messages_;

    mutable std::mutex stateLock_;
    std::mutex writeLock_;
    std::condition_variable writesQueued_;  // with stateLock_
    const std::shared_ptr<ServerThreads> threads_;
    // The socket's registration with the executor's reactor; declared after handle_, so that it
    // leaves the reactor before the handle can close the descriptor.
    const std::unique_ptr<mcp::detail::ReactorDescriptor> watch_;

    // Guarded by stateLock_.
    bool open_ = true;
    bool started_ = false;
    bool paused_ = false;  // the reader waits for the request in flight to be answered
    bool writerStarted_ = false;  // a writer thread runs, or is about to
    bool writing_ = false;  // a thread is writing to the socket
    std::string pendingID_;  // the key of the request in flight; empty when none
    int queuedWrites_ = 0;
    std::deque<QueuedWrite> writes_;

    // The reader's turn only.
    int notificationsInARow_ = 0;
    bool lastReadShort_ = false;  // the socket held no more after the last read
};

}  // namespace fw::automation
