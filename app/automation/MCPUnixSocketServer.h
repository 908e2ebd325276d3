// MCPUnixSocketServer: the listening side of local automation inside the application. While
// automation is enabled its controller owns one; it listens on the socket of this installation
// (LocalAutomation/MCPPeerIdentity.h), admits at most 16 connections at a time, checks each
// peer's signature and runs the handshake (LocalAutomation/MCPUnixSocket.h), and then gives every
// connection its own `mcp::Server` over its own MCPUnixSocketTransport.
//
//   auto server = std::make_unique<MCPUnixSocketServer>(
//       executor,
//       [](std::uint64_t generation, int connections) { /* show the count */ },
//       [](std::uint64_t generation, const SocketError& error) { /* nobody listens any more */ },
//       [](mcp::Server& session, MCPUnixSocketServer::OpenTest isOpen) {
//           MovieMCPTools::registerOn(session, std::move(isOpen));
//       });
//   co_spawn(server->executor(), server->start(), [](std::exception_ptr e, std::uint64_t run) {});
//   ...
//   co_spawn(server->executor(), server->stop(), [](std::exception_ptr) {});
//
// Files, both in the App Group container: the socket "fwv-<20 hex digits>.sock" (mode 0600) and
// the lock file beside it (the socket path with ".lock"), held under an exclusive advisory lock
// while the server listens so that only one instance of the application listens. The lock file
// is never deleted. A socket file left behind by an instance that ended without stopping is
// found refusing connections at the next start and removed; stop() removes the socket file only
// while it is still the one this server bound (same device and inode).
//
// Connections: a background thread polls the listening socket every 250 ms. An accepted
// connection takes one of 16 admission slots, which it gives back only when its socket is
// closed; a connection over the limit is closed at once, before the handshake line. The peer
// check and the handshake run on a thread of their own under 5-second send and receive
// timeouts, so a silent peer is dropped after 5 seconds and never holds up the others. Every
// failure (over the limit, peer check, handshake, session start) closes the connection without a
// reply and without a log entry. All descriptors are close-on-exec.
//
// Reports, both called on the server's strand (keep them short; never destroy the server from
// them):
// - `ConnectionChanged` after every change of the number of live connections (accepted and
//   handshaking, plus running sessions), and 0 once on stop(). Each report carries the
//   generation of the run it belongs to (the value start() gave), so an owner can ignore reports
//   of a run it has stopped or replaced.
// - `AcceptLoopEnded` when the accept loop of the current run ends for any reason but stop():
//   a failed poll, or an accept failure that is not transient. Transient accept failures
//   (ECONNABORTED, EPROTO, EMFILE, ENFILE, ENOBUFS, ENOMEM) pause one poll interval and the loop
//   goes on. The server then accepts nothing more until it is stopped.
//
// `SessionSetup` runs on the server's strand for every connection that passed the handshake,
// before its `mcp::Server` starts: it registers the tools. `isOpen` answers, from any thread,
// whether that connection is still open.
//
// Thread-safety: start() and stop() may be awaited from any executor; they run on the server's
// strand, one after the other. While stop() runs, start() fails with `io` EBUSY. Await stop()
// before destroying the server: a server destroyed while listening is stopped in the background
// on its executor and calls no callback any more. The server's own threads (the accept loop and
// the handshakes) never outlive it: stop() and the destructor shut their sockets down and join
// them, which is at once but for a handshake still checking its peer's executable. The
// executor's context must outlive the server and the work it leaves behind on the executor
// (keep it running until that work has drained).
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "LocalAutomation/SocketError.h"

namespace mcp {
class Server;
}

namespace fw::automation {

class MCPUnixSocketServer {
public:
    // Live connections at most: admitted sockets, and connections handshaking or in a session.
    static constexpr int kMaximumConnections = 16;
    static constexpr int kListenBacklog = 16;
    // How often the accept loop looks at the listening socket, and the pause after a transient
    // accept failure.
    static constexpr std::chrono::milliseconds kPollInterval{250};

    using OpenTest = std::function<bool()>;
    using ConnectionChanged = std::function<void(std::uint64_t generation, int connections)>;
    using AcceptLoopEnded = std::function<void(std::uint64_t generation, const SocketError& error)>;
    using SessionSetup = std::function<void(mcp::Server& session, OpenTest isOpen)>;

    // Where the server listens. Absent members mean the running application's: the bundle three
    // directories above its canonical executable, and the App Group container of the user.
    struct Location {
        std::optional<std::filesystem::path> appBundleURL;
        std::optional<std::filesystem::path> container;
    };

    // An idle server. Its strand and every session's `mcp::Server` run on `executor`.
    MCPUnixSocketServer(boost::asio::any_io_executor executor, ConnectionChanged connectionChanged,
                        AcceptLoopEnded acceptLoopEnded, SessionSetup setupSession,
                        Location location = {});
    ~MCPUnixSocketServer();
    MCPUnixSocketServer(const MCPUnixSocketServer&) = delete;
    MCPUnixSocketServer& operator=(const MCPUnixSocketServer&) = delete;

    boost::asio::any_io_executor executor() const;

    // Starts listening and gives the generation of the new run; when already listening, gives
    // the current one and does nothing else. Throws SocketError: `io` EBUSY while stop() runs,
    // `io` with the errno of the lock when another instance holds the lock file (EWOULDBLOCK),
    // `io` EEXIST when the socket path is taken by something that is not a socket, `io`
    // EADDRINUSE when another process listens there, pathTooLong, or `io` with the errno of a
    // failed call; and IdentityError when the bundle or the container cannot be found. A failed
    // start leaves the server idle and other processes' files in place.
    boost::asio::awaitable<std::uint64_t> start();
    // Closes the listening socket and every connection, reports 0, removes the socket file when
    // it is still ours, and releases the lock file (which stays on disk). Nothing when idle.
    // Never throws.
    boost::asio::awaitable<void> stop();

private:
    class Core;
    std::shared_ptr<Core> core_;
};

}  // namespace fw::automation
