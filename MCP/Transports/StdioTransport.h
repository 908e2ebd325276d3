// StdioTransport: MCP over a pair of file descriptors, one message per line. It reads
// newline-delimited messages from one descriptor and writes each sent message followed by a line
// feed to the other: a process's own standard input and output (the defaults), or the pipes of a
// child process.
//
//   auto transport = std::make_shared<mcp::StdioTransport>(io.get_executor());   // fds 0 and 1
//   co_await server->start(transport);
//
// Framing: a message must hold no line feed. Received lines are handed out without their line
// feed (a CR before it is kept); empty lines are skipped; bytes after the last line feed when the
// input ends are dropped. A line longer than `maxLineLength` bytes ends the stream with
// MCPError internalError "Message exceeds the line length limit": the peer cannot make the
// transport hold unbounded memory. Back-pressure: once `maxPendingMessages` received messages
// wait unread in the stream, the transport stops reading (the peer's writes then block on the
// full pipe) and reads on when the consumer has taken half of them. Lines stay whole and in order.
//
// Life cycle: connect() notes the descriptors' flags, puts both into non-blocking mode
// (MCPError transportError with the errno when that fails; the first descriptor is then given
// back as it was) and starts reading; a second connect() does nothing. disconnect() and the
// destruction of the transport give both descriptors back their own blocking mode, so a
// process's standard input and output (a terminal, the parent's pipe) are never left
// non-blocking. The descriptors are never closed. send() before connect() or after disconnect()
// throws transportError ENOTCONN. The end of input finishes the stream normally; a read error
// (EIO, ECONNRESET, EBADF, ...) finishes it with transportError carrying the errno. Either leaves
// sending possible until disconnect(), which stops reading, finishes the stream and ends every
// send still waiting, among them one blocked on a peer that stopped reading (ENOTCONN; part of
// that line may have gone out). receive() gives the one stream of the transport; call it once.
//
// SIGPIPE: writing to a reader that has gone away is transportError EPIPE, never the signal.
// Sockets are written with MSG_NOSIGNAL. For pipes and terminals the signal is blocked on the
// writing thread around each write (and one it raised is taken back) unless the process ignores
// SIGPIPE when connect() runs; programs that serve over pipes should ignore it before connecting
// (and keep it so), which spares two system calls per message.
//
// System calls: a message costs one write() to send, and one read() to receive (with the wait for
// readiness shared by everything the context serves). A read that leaves a pipe empty (it comes
// back short) is followed by a wait, not by another read that would only fail; on a terminal or a
// socket, where a short read says nothing about what is left, the transport reads until one
// fails with EAGAIN.
//
// Thread-safety: an actor. Its state is guarded by a small lock rather than a strand, so a send
// writes its line at once from the sender's own thread when no other line is under way; a line
// the pipe cannot take at once is finished by queued asynchronous writes. Every operation may be
// awaited from any executor. Concurrent send() calls never interleave their bytes: each line goes
// out whole, in the order the sends took the lock. Received messages keep their order.
// Cancelling a waiting send (its coroutine's cancellation slot) releases it at once with
// operation_aborted: a line not begun is dropped, the rest of a line partly written still goes
// out (so that the next line is not glued to half of it).
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <cstddef>
#include <memory>
#include <optional>

#include "Logging/Logger.h"
#include "MCP/Core/Transport.h"

namespace mcp {

class StdioTransport final : public Transport, public std::enable_shared_from_this<StdioTransport> {
public:
    // Large enough for any real MCP message (a base64 image of several megabytes included).
    static constexpr std::size_t kDefaultMaxLineLength = 64 * 1024 * 1024;
    static constexpr std::size_t kDefaultMaxPendingMessages = 128;

    // Reads `input` and writes `output`; with no logger, logs nothing ("mcp.transport.stdio").
    explicit StdioTransport(boost::asio::any_io_executor executor, int input = 0, int output = 1,
                            std::optional<logging::Logger> logger = std::nullopt,
                            std::size_t maxLineLength = kDefaultMaxLineLength,
                            std::size_t maxPendingMessages = kDefaultMaxPendingMessages);
    ~StdioTransport() override;

    const logging::Logger& logger() const override { return logger_; }
    boost::asio::awaitable<void> connect() override;
    boost::asio::awaitable<void> disconnect() override;
    boost::asio::awaitable<void> send(std::string message) override;
    // Takes the line when no other is under way and the descriptor accepts at least part of it
    // (the rest then goes out by itself, like that of a cancelled send: a failure of that rest
    // reaches no one); false, `message` unchanged, when it would have to queue. Throws what
    // send() throws.
    bool trySend(std::string& message) override;
    MessageStream receive() override;

private:
    struct State;

    const logging::Logger logger_;
    std::shared_ptr<State> state_;
};

}  // namespace mcp
