#include "bridge/BridgeConnection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/SocketError.h"
#include "bridge/BridgeError.h"

namespace fw::bridge {

namespace {

namespace socket = automation::MCPUnixSocket;
using automation::SocketError;

// Puts the descriptor's status flags back when the connect step ends, however it ends, so the
// handshake and the relay run on a blocking socket.
class RestoreFlags {
public:
    RestoreFlags(int descriptor, int flags) : descriptor_(descriptor), flags_(flags) {}
    ~RestoreFlags() { (void)::fcntl(descriptor_, F_SETFL, flags_); }
    RestoreFlags(const RestoreFlags&) = delete;
    RestoreFlags& operator=(const RestoreFlags&) = delete;

private:
    int descriptor_;
    int flags_;
};

void awaitConnected(int descriptor, MonotonicTime deadline) {
    while (true) {
        const std::uint64_t left = timeLeft(deadline);
        const int timeout = static_cast<int>((left + 999'999u) / 1'000'000u);
        pollfd entry{descriptor, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw SocketError::io(errno);
        }
        if (ready == 0) {
            throw BridgeError::startupDeadline();
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
            throw SocketError::io(errno);
        }
        if (error != 0) {
            throw SocketError::io(error);
        }
        return;
    }
}

// Whether a failed attempt means the application is not listening yet. `connecting`: the
// failure came from the connect step, where EAGAIN is a full backlog rather than a timeout.
bool notListeningYet(const SocketError& error, bool connecting) {
    if (error.kind() != SocketError::Kind::io) {
        return false;
    }
    const int code = error.code();
    return code == ENOENT || code == ECONNREFUSED || (connecting && code == EAGAIN);
}

bool timedOut(const SocketError& error) {
    return error.kind() == SocketError::Kind::io &&
           (error.code() == ETIMEDOUT || error.code() == EAGAIN);
}

}  // namespace

void connect(int descriptor, const std::string& path, MonotonicTime deadline) {
    socket::configure(descriptor, true);
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0) {
        throw SocketError::io(errno);
    }
    if (::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) != 0) {
        throw SocketError::io(errno);
    }
    RestoreFlags restore(descriptor, flags);
    int error = 0;
    const int result = socket::withSocketAddress(path, [&](const sockaddr* address,
                                                           socklen_t size) {
        const int connected = ::connect(descriptor, address, size);
        error = errno;
        return connected;
    });
    if (result == 0) {
        return;
    }
    if (error != EINPROGRESS && error != EINTR) {
        throw SocketError::io(error);
    }
    awaitConnected(descriptor, deadline);
}

void setTimeouts(int descriptor, MonotonicTime deadline) {
    const timeval value = timeoutValue(timeLeft(deadline));
    if (::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0 ||
        ::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value) != 0) {
        throw SocketError::io(errno);
    }
}

std::optional<int> attemptConnection(const std::string& socketPath, MonotonicTime deadline,
                                     const std::function<void(int)>& checkPeer) {
    checkDeadline(deadline);
    // Close-on-exec: the application this program may launch must not inherit it.
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        throw SocketError::io(errno);
    }
    bool connecting = true;
    try {
        connect(descriptor, socketPath, deadline);
        connecting = false;
        checkPeer(descriptor);
        setTimeouts(descriptor, deadline);
        const std::string line = socket::readLine(descriptor, socket::kHandshakeLineMaximum);
        if (line == socket::busyText) {
            throw BridgeError::connectionLimit();
        }
        if (line == socket::refusedText) {
            throw BridgeError::bridgeRefused();
        }
        if (line != socket::handshakeText) {
            throw SocketError::protocolMismatch();
        }
        setTimeouts(descriptor, deadline);
        socket::writeAll(socket::helloLine, descriptor);
        checkDeadline(deadline);
        socket::configure(descriptor, false);
        return descriptor;
    } catch (const SocketError& error) {
        socket::close(descriptor);
        if (notListeningYet(error, connecting)) {
            return std::nullopt;
        }
        if (timedOut(error)) {
            throw BridgeError::startupDeadline();
        }
        throw;
    } catch (...) {
        socket::close(descriptor);
        throw;
    }
}

}  // namespace fw::bridge
