// Real sockets for the local automation tests: a connected stream socket pair whose ends are
// closed with the fixture, and the companion's part of the handshake.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "LocalAutomation/MCPUnixSocket.h"

namespace fw::automation::testing {

// The companion's part of the handshake on the connected socket `fd`: reads the application's
// line, requires it to be the handshake line (protocolMismatch otherwise) and echoes it. Throws
// SocketError.
inline void answerHandshake(int fd) {
    if (MCPUnixSocket::readLine(fd, MCPUnixSocket::kHandshakeLineMaximum) !=
        MCPUnixSocket::handshakeText) {
        throw SocketError::protocolMismatch();
    }
    MCPUnixSocket::writeAll(MCPUnixSocket::helloLine, fd);
}

// Two connected Unix-domain stream sockets. Either end may be taken over (release) by a handle.
class SocketPair {
public:
    SocketPair() {
        int fds[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            near_ = fds[0];
            far_ = fds[1];
        }
    }
    ~SocketPair() {
        closeNear();
        closeFar();
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    int near() const { return near_; }
    int far() const { return far_; }
    int releaseNear() { return std::exchange(near_, -1); }
    int releaseFar() { return std::exchange(far_, -1); }
    void closeNear() {
        if (near_ >= 0) {
            ::close(std::exchange(near_, -1));
        }
    }
    void closeFar() {
        if (far_ >= 0) {
            ::close(std::exchange(far_, -1));
        }
    }

    // Writes all of `bytes` to the far end (blocking).
    bool sendFar(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(far_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    int near_ = -1;
    int far_ = -1;
};

}  // namespace fw::automation::testing
