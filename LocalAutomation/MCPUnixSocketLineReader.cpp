#include "LocalAutomation/MCPUnixSocketLineReader.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "LocalAutomation/SocketError.h"

namespace fw::automation {

std::string MCPUnixSocketLineReader::nextLine(std::size_t maximum) {
    while (true) {
        if (auto line = takeLine(maximum)) {
            return std::move(*line);
        }
        readOnce(0);
    }
}

std::optional<std::string> MCPUnixSocketLineReader::takeLine(std::size_t maximum) {
    if (scanned_ < pending_.size()) {
        const void* found =
            std::memchr(pending_.data() + scanned_, '\n', pending_.size() - scanned_);
        if (found != nullptr) {
            const auto lineFeed =
                static_cast<std::size_t>(static_cast<const char*>(found) - pending_.data());
            scannedTotal_ += lineFeed + 1 - scanned_;
            if (lineFeed > maximum) {
                throw SocketError::messageTooLarge();
            }
            std::string line(pending_, 0, lineFeed);
            pending_.erase(0, lineFeed + 1);
            scanned_ = 0;
            return line;
        }
        scannedTotal_ += pending_.size() - scanned_;
        scanned_ = pending_.size();
    }
    if (pending_.size() > maximum) {
        throw SocketError::messageTooLarge();
    }
    return std::nullopt;
}

std::size_t MCPUnixSocketLineReader::readAvailable() {
    return readOnce(MSG_DONTWAIT);
}

std::size_t MCPUnixSocketLineReader::readOnce(int flags) {
    const std::size_t before = pending_.size();
    pending_.resize(before + kReadSize);
    ssize_t result = 0;
    do {
        // A plain read() when blocking, so that any stream descriptor can be read.
        result = flags == 0 ? ::read(descriptor_, pending_.data() + before, kReadSize)
                            : ::recv(descriptor_, pending_.data() + before, kReadSize, flags);
    } while (result < 0 && errno == EINTR);
    const int readError = errno;
    pending_.resize(before + (result > 0 ? static_cast<std::size_t>(result) : 0));
    if (result < 0) {
        if ((flags & MSG_DONTWAIT) != 0 && (readError == EAGAIN || readError == EWOULDBLOCK)) {
            return 0;
        }
        throw SocketError::io(readError);
    }
    if (result == 0) {
        throw SocketError::io(0);
    }
    return static_cast<std::size_t>(result);
}

}  // namespace fw::automation
