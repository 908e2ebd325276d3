// The blocking halves of the local automation socket server, each run on a thread of its own:
// the accept loop over the listening socket, and the peer check with the handshake of one
// accepted connection. app/automation/MCPUnixSocketServer.h describes what they serve.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "LocalAutomation/MCPUnixSocketHandle.h"
#include "LocalAutomation/SocketError.h"
#include "app/automation/MCPConnectionAdmission.h"

namespace fw::automation {

struct AcceptLoop {
    std::shared_ptr<MCPUnixSocketHandle> listener;  // non-blocking
    std::shared_ptr<MCPConnectionAdmission> admission;
    std::uint64_t generation = 0;
    // Hands over an admitted connection (its handle gives the slot back when destroyed); false
    // when nobody takes it any more, and the connection is closed.
    std::function<bool(std::shared_ptr<MCPUnixSocketHandle>, std::uint64_t generation)>
        connectionAdmitted;
    // The loop ended for another reason than the listener being shut down.
    std::function<void(std::uint64_t generation, SocketError error)> ended;
};

// Polls the listener every 250 ms until it is shut down, and accepts what comes (close-on-exec,
// blocking). A connection without a free admission slot is closed at once, before anything is
// written to it. EINTR and EAGAIN go on at once; the transient failures ECONNABORTED, EPROTO,
// EMFILE, ENFILE, ENOBUFS and ENOMEM go on after one poll interval; any other failure of poll()
// or accept() ends the loop through `ended`.
void runAcceptLoop(AcceptLoop loop);

// Whether accept() failing with `error` is worth another try after a pause.
bool isTransientAcceptError(int error);

// How long the peer has for its part of the handshake: from the handshake line to the last byte
// of its echo.
inline constexpr std::chrono::milliseconds kHandshakeLimit{5000};

// Checks the peer of `connection` (the companion of the bundle at `bundle`), refuses a peer that
// has written anything before the handshake line, writes the handshake line, reads the peer's
// echo (at most 32 bytes) within `limit`, and checks every other process that wrote a byte of
// the echo (named by the kernel's SCM_CREDENTIALS) as it checked the connecting one. True when
// every step passed and the echo is exactly the handshake line; every failure gives false and
// is dropped without a trace, except that a connecting peer that fails its check is sent the
// refusal line in place of the hello. The socket's own timeouts still bound each write.
bool performHandshake(const MCPUnixSocketHandle& connection, const std::filesystem::path& bundle,
                      std::chrono::milliseconds limit = kHandshakeLimit);

}  // namespace fw::automation
