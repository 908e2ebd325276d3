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
// transport hold unbounded memory. Received messages wait in the stream without limit until read.
//
// Life cycle: connect() puts both descriptors into non-blocking mode (MCPError transportError
// with the errno when that fails) and starts reading; a second connect() does nothing. send()
// before connect() or after disconnect() throws transportError ENOTCONN. End of input or a read
// error finishes the stream normally and leaves sending possible until disconnect(), which stops
// reading and finishes the stream. The descriptors are never closed and stay non-blocking.
// receive() gives the one stream of the transport; call it once.
//
// Thread-safety: an actor. Its state lives on its own strand; every operation may be awaited from
// any executor. Concurrent send() calls never interleave their bytes: each line goes out whole, in
// the order the sends reached the strand.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <cstddef>
#include <memory>
#include <optional>

#include "Logging/Logger.h"
#include "MCP/Transport.h"

namespace mcp {

class StdioTransport final : public Transport, public std::enable_shared_from_this<StdioTransport> {
public:
    // Large enough for any real MCP message (a base64 image of several megabytes included).
    static constexpr std::size_t kDefaultMaxLineLength = 64 * 1024 * 1024;

    // Reads `input` and writes `output`; with no logger, logs nothing ("mcp.transport.stdio").
    explicit StdioTransport(boost::asio::any_io_executor executor, int input = 0, int output = 1,
                            std::optional<logging::Logger> logger = std::nullopt,
                            std::size_t maxLineLength = kDefaultMaxLineLength);
    ~StdioTransport() override;

    const logging::Logger& logger() const override { return logger_; }
    boost::asio::awaitable<void> connect() override;
    boost::asio::awaitable<void> disconnect() override;
    boost::asio::awaitable<void> send(std::string message) override;
    MessageStream receive() override;

private:
    struct State;
    boost::asio::awaitable<void> connectOnStrand();
    boost::asio::awaitable<void> sendOnStrand(std::string message);
    boost::asio::awaitable<void> disconnectOnStrand();
    boost::asio::awaitable<void> readLoop(std::shared_ptr<StdioTransport> self);

    const logging::Logger logger_;
    std::shared_ptr<State> state_;
};

}  // namespace mcp
