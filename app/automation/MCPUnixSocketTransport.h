// MCPUnixSocketTransport: the application's MCP transport over one local automation connection
// that has passed the handshake. One MCP server runs over each.
//
//   auto transport = std::make_shared<MCPUnixSocketTransport>(executor, handle,
//                                                             [=] { sessionEnded(id); });
//   co_await server->start(transport);
//
// Incoming: each line the companion sends that keeps the wire's rules becomes one message of the
// receive stream, in arrival order; the stream finishes (without an error) when the connection
// closes. Outgoing: send() writes one message and its line feed and completes when it is fully
// written; sendAnswer() does the same for the server's answer to a request, after which the
// connection reads the companion's next line (one request in flight). The connection polices
// the companion (app/automation/MCPConnectionIO.h): a broken rule
// closes it without a reply on the wire and without a log entry. The transport logs nothing
// itself; its logger, labelled "frameweaver.mcp.unix", is the one the server logs under.
//
// Errors of send() (SocketError): messageTooLarge for an empty message, one over 262,144 bytes or
// one holding a line feed; `io` ENOBUFS when the connection is closed or two sends are already
// outstanding; `io` ENOTCONN when a queued write finds the connection closed; the write's own
// error otherwise (EAGAIN when the companion stopped reading for the stall limit). Each of them
// closes the connection. connect() on a closed connection throws `io` ENOTCONN.
//
// Thread-safety: every operation may be awaited from any executor; the state lives behind the
// connection's locks. Reading runs on the threads of the executor given at creation, never
// blocking them: give it the executor the connection's server runs on, so that a received
// message reaches the server on the thread that read it. A write the socket cannot take at once
// is finished by a thread of the connection, so a slow peer never blocks the caller's executor.
// isOpen() may be called from any thread.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "LocalAutomation/MCPUnixSocketHandle.h"
#include "Logging/Logger.h"
#include "MCP/Core/Transport.h"

namespace fw::automation {

class MCPConnectionIO;
class ServerThreads;

class MCPUnixSocketTransport final : public mcp::Transport {
public:
    // After the handshake, how long a write may make no progress before the connection closes.
    static constexpr std::chrono::milliseconds kWriteStallLimit{30'000};

    // Takes the connection `handle`, read on the threads of `executor` (whose context must
    // outlive the transport); `onClose` runs once when the connection closes, whatever the
    // cause. Nothing is read before connect(). A write the socket cannot take at once is
    // finished on a thread started among `threads` (the owner's, who joins them before it and
    // its executor go); without them, among threads of the transport's own.
    MCPUnixSocketTransport(const boost::asio::any_io_executor& executor,
                           std::shared_ptr<MCPUnixSocketHandle> handle,
                           std::function<void()> onClose,
                           std::chrono::milliseconds writeStallLimit = kWriteStallLimit,
                           std::shared_ptr<ServerThreads> threads = nullptr);
    // Closes the connection.
    ~MCPUnixSocketTransport() override;

    bool isOpen() const;

    const logging::Logger& logger() const override { return logger_; }
    boost::asio::awaitable<void> connect() override;
    boost::asio::awaitable<void> disconnect() override;
    boost::asio::awaitable<void> send(std::string message) override;
    // The same for an answer; once written, it lets the reader go on after the request it
    // answers.
    boost::asio::awaitable<void> sendAnswer(std::string message, Answer answer) override;
    // The one stream of incoming messages; a second call gives a stream that has ended.
    mcp::MessageStream receive() override;

private:
    boost::asio::awaitable<void> write(std::string message, std::optional<Answer> answer);

    const logging::Logger logger_;
    std::shared_ptr<MCPConnectionIO> io_;
    std::optional<mcp::MessageStream> messages_;
};

}  // namespace fw::automation
