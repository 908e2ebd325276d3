// Reaching the application's socket within the start-up deadline: a non-blocking connect, the
// peer check, the handshake under timeouts equal to the time left, and the choice of what to do
// when an attempt fails (try again later, or give up at once).
//
// Synchronous; every call blocks at most until the deadline. Failures are thrown as SocketError,
// IdentityError or BridgeError.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "bridge/StartupDeadline.h"

namespace fw::bridge {

// Connects `descriptor` (a fresh Unix-domain stream socket) to `path` without blocking past
// `deadline`. Throws SocketError::io with the errno of a refused connection (ENOENT: no socket
// file; ECONNREFUSED: nobody listens; EAGAIN: a full backlog) or of any other failure,
// SocketError::pathTooLong, or BridgeError::startupDeadline. The descriptor is left blocking,
// with handshake timeouts set.
void connect(int descriptor, const std::string& path, MonotonicTime deadline);

// Sets the send and receive timeouts of `descriptor` to the time left before `deadline`.
// Throws BridgeError::startupDeadline when none is left, SocketError::io when a call fails.
void setTimeouts(int descriptor, MonotonicTime deadline);

// One connection attempt: connect, check the peer with `checkPeer` (which throws when the peer
// is not the application), read the application's handshake line and echo it. Returns the
// connected descriptor, blocking and without timeouts, ready for relaying; none when the
// application is not listening yet (no socket file, a refused connection, a full backlog). A
// handshake that times out is BridgeError::startupDeadline; the application's refusal lines are
// BridgeError::connectionLimit and BridgeError::bridgeRefused; every other failure is thrown as
// it came. The descriptor of a failed attempt is closed.
std::optional<int> attemptConnection(const std::string& socketPath, MonotonicTime deadline,
                                     const std::function<void(int)>& checkPeer);

}  // namespace fw::bridge
