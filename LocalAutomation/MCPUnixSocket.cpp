#include "LocalAutomation/MCPUnixSocket.h"

#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fw::automation::MCPUnixSocket {

void writeRefusal(int descriptor, std::string_view line) {
    (void)::send(descriptor, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

namespace {

timeval toTimeval(std::chrono::milliseconds duration) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    timeval value{};
    value.tv_sec = static_cast<time_t>(seconds.count());
    value.tv_usec = static_cast<suseconds_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(duration - seconds).count());
    return value;
}

void setTimeout(int descriptor, int option, std::chrono::milliseconds timeout) {
    const timeval value = toTimeval(timeout);
    (void)::setsockopt(descriptor, SOL_SOCKET, option, &value, sizeof value);
}

}  // namespace

int withSocketAddress(std::string_view path,
                      const std::function<int(const sockaddr*, socklen_t)>& body) {
    static_assert(sizeof(sockaddr_un::sun_path) >= kSocketPathFieldSize);
    if (path.size() + 1 > kSocketPathFieldSize) {
        throw SocketError::pathTooLong();
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return body(reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

void configure(int descriptor, bool handshakeTimeouts, std::chrono::milliseconds timeout) {
    const auto value = handshakeTimeouts ? timeout : std::chrono::milliseconds(0);
    setTimeout(descriptor, SO_RCVTIMEO, value);
    setTimeout(descriptor, SO_SNDTIMEO, value);
}

void setSendTimeout(int descriptor, std::chrono::milliseconds timeout) {
    setTimeout(descriptor, SO_SNDTIMEO, timeout);
}

void writeAll(std::string_view bytes, int descriptor) {
    detail::writeAll(bytes, descriptor, &::send);
}

void writeAllToStream(std::string_view bytes, int descriptor) {
    detail::writeAll(bytes, descriptor, [](int fd, const void* buffer, std::size_t size, int) {
        return ::write(fd, buffer, size);
    });
}

void detail::writeAll(std::string_view bytes, int descriptor, SendFunction send) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t result =
            send(descriptor, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
        if (result > 0) {
            written += static_cast<std::size_t>(result);
        } else if (result < 0 && errno == EINTR) {
            continue;
        } else if (result == 0) {
            // No byte taken and no error set: errno is stale here, and 0 would read as an
            // orderly close. Report it as the I/O failure it is.
            throw SocketError::io(EIO);
        } else {
            throw SocketError::io(errno);
        }
    }
}

std::string readLine(int descriptor, std::size_t maximum) {
    std::string line;
    while (true) {
        if (line.size() > maximum) {
            throw SocketError::messageTooLarge();
        }
        char byte = 0;
        const ssize_t result = ::read(descriptor, &byte, 1);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw SocketError::io(errno);
        }
        if (result == 0) {
            throw SocketError::io(0);
        }
        if (byte == '\n') {
            return line;
        }
        line.push_back(byte);
    }
}

void close(int descriptor) {
    (void)::shutdown(descriptor, SHUT_RDWR);
    (void)::close(descriptor);
}

}  // namespace fw::automation::MCPUnixSocket
