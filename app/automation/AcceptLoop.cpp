#include "app/automation/AcceptLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "LocalAutomation/MCPPeerIdentity.h"
#include "LocalAutomation/MCPUnixSocket.h"
#include "app/automation/MCPUnixSocketServer.h"

namespace fw::automation {

namespace {

constexpr int kPollMilliseconds =
    static_cast<int>(MCPUnixSocketServer::kPollInterval.count());

// Clears O_NONBLOCK when set; false when the flags cannot be read or changed.
bool makeBlocking(int descriptor) {
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0) {
        return false;
    }
    return (flags & O_NONBLOCK) == 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

bool isTransientAcceptError(int error) {
    switch (error) {
        case ECONNABORTED:
        case EPROTO:
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return true;
        default:
            return false;
    }
}

void runAcceptLoop(AcceptLoop loop) {
    const int listening = loop.listener->descriptor();
    const auto end = [&](int error) {
        if (!loop.listener->isStopped()) {
            loop.ended(loop.generation, SocketError::io(error));
        }
    };
    while (!loop.listener->isStopped()) {
        pollfd entry{.fd = listening, .events = POLLIN, .revents = 0};
        const int ready = ::poll(&entry, 1, kPollMilliseconds);
        if (ready == 0) {
            continue;
        }
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            end(errno);
            return;
        }
        if (loop.listener->isStopped()) {
            return;
        }
        const int connection = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            const int error = errno;
            if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) {
                continue;
            }
            if (isTransientAcceptError(error)) {
                // A connection that cannot be taken now stays queued and keeps the socket
                // readable: pause instead of spinning on it.
                std::this_thread::sleep_for(MCPUnixSocketServer::kPollInterval);
                continue;
            }
            end(error);
            return;
        }
        if (!makeBlocking(connection) || !loop.admission->tryTake()) {
            MCPUnixSocket::close(connection);
            continue;
        }
        auto handle = std::make_shared<MCPUnixSocketHandle>(
            connection, [admission = loop.admission] { admission->release(); });
        if (!loop.connectionAdmitted(handle, loop.generation)) {
            handle->shutdown();
        }
    }
}

bool performHandshake(const MCPUnixSocketHandle& connection, const std::filesystem::path& bundle) {
    try {
        MCPPeerIdentity::validatePeer(connection.descriptor(),
                                      MCPPeerIdentity::bridgeBundleIdentifier,
                                      MCPPeerIdentity::bridgeExecutableURL(bundle));
        MCPUnixSocket::writeAll(MCPUnixSocket::helloLine, connection.descriptor());
        return MCPUnixSocket::readLine(connection.descriptor(),
                                       MCPUnixSocket::kHandshakeLineMaximum) ==
               MCPUnixSocket::handshakeText;
    } catch (...) {
        return false;
    }
}

}  // namespace fw::automation
