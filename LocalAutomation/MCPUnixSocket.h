// MCPUnixSocket: the wire between the application and its companion `frameweaver-mcp`, and the
// small socket toolkit both programs compile in.
//
// The wire: one Unix-domain stream socket. The application checks its peer, writes `helloLine`
// ("FWV-MCP/1" and a line feed), or a refusal line in its place (below) before it closes the
// connection; the companion checks the application, reads that line (at most 32 bytes), and
// echoes it; the application reads the echo (at most 32 bytes) and compares it
// byte for byte. Nothing else may be written before the handshake ends, and both sides run it
// under 5-second send and receive timeouts. After it, each message is one JSON-RPC message on
// one line, ended by a single line feed: at most 262,144 bytes from the application to the
// companion (and never empty), at most 1,048,576 bytes from the companion to the application.
//
// Every operation here is synchronous, keeps no shared state and may run on any thread. Failures
// are thrown as SocketError. Writes never raise SIGPIPE: they go through send() with
// MSG_NOSIGNAL, so a closed peer is an `io` failure carrying EPIPE.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "LocalAutomation/SocketError.h"

namespace fw::automation::MCPUnixSocket {

// The handshake line and the line each side sends: "FWV-MCP/1" followed by a line feed.
inline constexpr std::string_view helloLine = "FWV-MCP/1\n";
// The handshake line without its line feed, as a read line is compared with it.
inline constexpr std::string_view handshakeText = "FWV-MCP/1";
// In place of the hello the application may say why it will not serve a connection, and then
// closes it: it serves as many connections as it takes, or the peer failed its code-signing
// check. Each is shorter than the handshake line maximum; the companion reports which.
inline constexpr std::string_view busyLine = "FWV-MCP/1 busy\n";
inline constexpr std::string_view busyText = "FWV-MCP/1 busy";
inline constexpr std::string_view refusedLine = "FWV-MCP/1 refused\n";
inline constexpr std::string_view refusedText = "FWV-MCP/1 refused";

// Writes a refusal line to a fresh connection without waiting (its send buffer is empty) and
// without raising SIGPIPE; a peer already gone is no matter, so failures are ignored.
void writeRefusal(int descriptor, std::string_view line);

// Size limits, in bytes, without the terminating line feed.
inline constexpr std::size_t kHandshakeLineMaximum = 32;
inline constexpr std::size_t kOutgoingMessageMaximum = 0x40000;  // application to companion
inline constexpr std::size_t kIncomingLineMaximum = 0x100000;    // companion to application

// The send and receive timeouts of the handshake.
inline constexpr std::chrono::seconds kHandshakeTimeout{5};

// The path field both platforms agree on: a path and its terminating NUL must fit in 104 bytes,
// so a socket path has at most 103 bytes, though Linux's own field holds 108.
inline constexpr std::size_t kSocketPathFieldSize = 104;

// Builds the Unix-domain address of `path` (zero-filled, NUL-terminated) and returns what `body`
// returns for a pointer to it and its length, such as the result of bind() or connect(). Throws
// pathTooLong without calling `body` when the path has 104 bytes or more.
int withSocketAddress(std::string_view path,
                      const std::function<int(const sockaddr*, socklen_t)>& body);

// With `handshakeTimeouts`, sets the send and receive timeouts of `descriptor` to `timeout`
// (5 seconds on the wire; tests shorten it); otherwise clears both. Failures are ignored: a
// descriptor that is not a socket simply keeps its settings.
void configure(int descriptor, bool handshakeTimeouts,
               std::chrono::milliseconds timeout = kHandshakeTimeout);

// Sets only the send timeout of `descriptor` (0: none). Failures are ignored.
void setSendTimeout(int descriptor, std::chrono::milliseconds timeout);

// Writes every byte of `bytes` to the socket `descriptor`, repeating after EINTR and partial
// writes. An empty buffer makes no system call. Throws `io` with the errno of a failed write
// (EAGAIN when a send timeout expired) and `io` with EIO when a write makes no progress.
void writeAll(std::string_view bytes, int descriptor);

// As writeAll, through write() instead of send(), for descriptors that need not be sockets: the
// companion's standard output is usually a pipe. A closed reader raises SIGPIPE unless the
// process ignores it (the companion does), and then fails with `io` EPIPE.
void writeAllToStream(std::string_view bytes, int descriptor);

// Reads one line, one byte per read so that nothing after its line feed is consumed, and returns
// it without the line feed. Throws messageTooLarge once more than `maximum` bytes have arrived
// without a line feed (so a line of exactly `maximum` bytes is accepted), `io` 0 when the peer
// closes, and `io` with the errno of a failed read (EAGAIN when a receive timeout expired).
std::string readLine(int descriptor, std::size_t maximum);

// Shuts `descriptor` down in both directions, then closes it.
void close(int descriptor);

namespace detail {
// writeAll() over a send call of the caller's choosing (same signature and errno contract as
// send(2)): the seam through which tests reach results the kernel rarely gives.
using SendFunction = ssize_t (*)(int, const void*, std::size_t, int);
void writeAll(std::string_view bytes, int descriptor, SendFunction send);
}  // namespace detail

}  // namespace fw::automation::MCPUnixSocket
