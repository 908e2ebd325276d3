#include "app/automation/AcceptLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LocalAutomation/IdentityError.h"
#include "LocalAutomation/MCPPeerIdentity.h"
#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/PeerInspector.h"
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

// Turns SO_PASSCRED on or off; false when that fails.
bool passCredentials(int descriptor, bool on) {
    const int value = on ? 1 : 0;
    return ::setsockopt(descriptor, SOL_SOCKET, SO_PASSCRED, &value, sizeof value) == 0;
}

// Whether the peer has sent anything that is waiting to be read (or the socket failed).
bool hasBytesWaiting(int descriptor) {
    char byte = 0;
    ssize_t result = 0;
    do {
        result = ::recv(descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (result < 0 && errno == EINTR);
    return result != -1 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

// A line and the distinct senders of its bytes.
struct CredentialedLine {
    std::string text;
    std::vector<PeerCredentials> senders;
};

// Reads one line (without its line feed) of at most `maximum` bytes, one byte at a time so that
// nothing after it is taken from the socket, with the credentials the kernel attached to each
// byte. None on a failure, an end of stream, a longer line, a byte without credentials, or when
// the deadline passes: the deadline bounds the whole line, however slowly it trickles in.
std::optional<CredentialedLine> readCredentialedLine(
    int descriptor, std::size_t maximum, std::chrono::steady_clock::time_point deadline) {
    CredentialedLine line;
    while (true) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd entry{.fd = descriptor, .events = POLLIN, .revents = 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        char byte = 0;
        iovec buffer{.iov_base = &byte, .iov_len = 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr message{};
        message.msg_iov = &buffer;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t result = ::recvmsg(descriptor, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (result < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (result <= 0 || (message.msg_flags & MSG_CTRUNC) != 0) {
            return std::nullopt;
        }
        std::optional<PeerCredentials> sender;
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_CREDENTIALS &&
                header->cmsg_len == CMSG_LEN(sizeof(ucred))) {
                ucred credentials{};
                std::memcpy(&credentials, CMSG_DATA(header), sizeof credentials);
                sender = PeerCredentials{credentials.pid, credentials.uid};
            }
        }
        if (!sender || sender->pid <= 0) {
            return std::nullopt;
        }
        const bool known =
            std::any_of(line.senders.begin(), line.senders.end(), [&](const PeerCredentials& seen) {
                return seen.pid == sender->pid && seen.uid == sender->uid;
            });
        if (!known) {
            line.senders.push_back(*sender);
        }
        if (byte == '\n') {
            return line;
        }
        if (line.text.size() == maximum) {
            return std::nullopt;
        }
        line.text.push_back(byte);
    }
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
        if (!makeBlocking(connection)) {
            MCPUnixSocket::close(connection);
            continue;
        }
        if (!loop.admission->tryTake()) {
            MCPUnixSocket::writeRefusal(connection, MCPUnixSocket::busyLine);
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

bool performHandshake(const MCPUnixSocketHandle& connection, const std::filesystem::path& bundle,
                      std::chrono::milliseconds limit) {
    const int descriptor = connection.descriptor();
    const std::filesystem::path companion = MCPPeerIdentity::bridgeExecutableURL(bundle);
    try {
        // The process that connected.
        const auto connecting = PeerInspector::system().credentials(descriptor);
        try {
            MCPPeerIdentity::validatePeer(descriptor, MCPPeerIdentity::bridgeBundleIdentifier,
                                          companion);
        } catch (const IdentityError&) {
            // Said before anything else is, so a companion that is not this installation's
            // genuine one (a rebuilt or moved copy) can tell its user why.
            MCPUnixSocket::writeRefusal(descriptor, MCPUnixSocket::refusedLine);
            return false;
        }
        // From here on the kernel names the sender of every byte that arrives. Whatever came
        // before the hello was sent by someone who did not wait for it: refused.
        if (!connecting || !passCredentials(descriptor, true) || hasBytesWaiting(descriptor)) {
            return false;
        }
        // The peer's part, however slowly it trickles in, ends within the limit.
        const auto deadline = std::chrono::steady_clock::now() + limit;
        MCPUnixSocket::writeAll(MCPUnixSocket::helloLine, descriptor);
        const std::optional<CredentialedLine> reply =
            readCredentialedLine(descriptor, MCPUnixSocket::kHandshakeLineMaximum, deadline);
        if (!reply || reply->text != MCPUnixSocket::handshakeText) {
            return false;
        }
        // Every other process that wrote the reply is checked as the connecting one was. The
        // connecting process may have started other code that kept the socket (or forked, and
        // exec'd the genuine companion in itself while the child kept the socket); that code
        // writes the reply and is named here. This narrows the race and does not close it: a
        // process that execs keeps its process id, so the connecting process itself is not
        // checked again, and a process of the same user can stop the application or simply
        // run the genuine companion. A process of the same user is no security boundary.
        for (const PeerCredentials& sender : reply->senders) {
            if (sender.pid == connecting->pid && sender.uid == connecting->uid) {
                continue;
            }
            MCPPeerIdentity::validatePeer(descriptor, MCPPeerIdentity::bridgeBundleIdentifier,
                                          companion, SenderInspector(sender));
        }
        return passCredentials(descriptor, false);
    } catch (...) {
        return false;
    }
}

}  // namespace fw::automation
