#include "app/automation/SocketFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/SocketError.h"

namespace fw::automation::SocketFiles {

namespace {

// Closes a descriptor on every path out of a scope unless released.
class ClosingDescriptor {
public:
    explicit ClosingDescriptor(int descriptor) : descriptor_(descriptor) {}
    ~ClosingDescriptor() {
        if (descriptor_ >= 0) {
            MCPUnixSocket::close(descriptor_);
        }
    }
    ClosingDescriptor(const ClosingDescriptor&) = delete;
    ClosingDescriptor& operator=(const ClosingDescriptor&) = delete;
    int get() const noexcept { return descriptor_; }
    int release() noexcept { return std::exchange(descriptor_, -1); }

private:
    int descriptor_;
};

int connectTo(int descriptor, const std::filesystem::path& path) {
    return MCPUnixSocket::withSocketAddress(
        path.native(), [descriptor](const sockaddr* address, socklen_t length) {
            int result = 0;
            do {
                result = ::connect(descriptor, address, length);
            } while (result != 0 && errno == EINTR);
            return result;
        });
}

}  // namespace

int lockInstance(const std::filesystem::path& lockPath) {
    const int descriptor = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        throw SocketError::io(errno);
    }
    int result = 0;
    do {
        result = ::flock(descriptor, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(descriptor);
        throw SocketError::io(error);
    }
    return descriptor;
}

void unlockInstance(int descriptor) {
    if (descriptor >= 0) {
        (void)::flock(descriptor, LOCK_UN);
        (void)::close(descriptor);
    }
}

void removeStaleSocket(const std::filesystem::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            return;
        }
        throw SocketError::io(errno);
    }
    if (!S_ISSOCK(status.st_mode)) {
        throw SocketError::io(EEXIST);
    }
    // Never blocks: a live listener whose backlog is full answers EAGAIN at once.
    ClosingDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (probe.get() < 0) {
        throw SocketError::io(errno);
    }
    const int result = connectTo(probe.get(), path);
    const int error = result == 0 ? 0 : errno;
    MCPUnixSocket::close(probe.release());
    if (result == 0 || error == EAGAIN || error == EINPROGRESS) {
        throw SocketError::io(EADDRINUSE);
    }
    if (error != ECONNREFUSED) {
        throw SocketError::io(error);
    }
    unlinkIfSame(path, status.st_dev, status.st_ino);
}

void unlinkIfSame(const std::filesystem::path& path, dev_t device, ino_t inode) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && status.st_dev == device &&
        status.st_ino == inode && S_ISSOCK(status.st_mode)) {
        (void)::unlink(path.c_str());
    }
}

ListeningSocket listen(const std::filesystem::path& path, int backlog) {
    ClosingDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) {
        throw SocketError::io(errno);
    }
    removeStaleSocket(path);
    const int bound = MCPUnixSocket::withSocketAddress(
        path.native(), [&](const sockaddr* address, socklen_t length) {
            return ::bind(socket.get(), address, length);
        });
    if (bound != 0) {
        throw SocketError::io(errno);
    }
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        throw SocketError::io(errno);
    }
    ListeningSocket listening{.descriptor = -1, .device = status.st_dev, .inode = status.st_ino};
    const auto failWith = [&](int error) {
        unlinkIfSame(path, listening.device, listening.inode);
        throw SocketError::io(error);
    };
    if (::chmod(path.c_str(), 0600) != 0) {
        failWith(errno);
    }
    if (::listen(socket.get(), backlog) != 0) {
        failWith(errno);
    }
    const int flags = ::fcntl(socket.get(), F_GETFL);
    if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        failWith(errno);
    }
    listening.descriptor = socket.release();
    return listening;
}

}  // namespace fw::automation::SocketFiles
