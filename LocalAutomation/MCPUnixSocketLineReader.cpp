#include "LocalAutomation/MCPUnixSocketLineReader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "LocalAutomation/SocketError.h"

namespace fw::automation {

std::string MCPUnixSocketLineReader::nextLine(std::size_t maximum) {
    std::size_t lineFeed = std::string::npos;
    while (true) {
        if (scanned_ < pending_.size()) {
            const void* found =
                std::memchr(pending_.data() + scanned_, '\n', pending_.size() - scanned_);
            if (found != nullptr) {
                lineFeed =
                    static_cast<std::size_t>(static_cast<const char*>(found) - pending_.data());
                break;
            }
            scanned_ = pending_.size();
        }
        if (pending_.size() > maximum) {
            throw SocketError::messageTooLarge();
        }
        const std::size_t before = pending_.size();
        pending_.resize(before + kReadSize);
        ssize_t result = 0;
        do {
            result = ::read(descriptor_, pending_.data() + before, kReadSize);
        } while (result < 0 && errno == EINTR);
        const int readError = errno;
        pending_.resize(before + (result > 0 ? static_cast<std::size_t>(result) : 0));
        if (result < 0) {
            throw SocketError::io(readError);
        }
        if (result == 0) {
            throw SocketError::io(0);
        }
    }
    if (lineFeed > maximum) {
        throw SocketError::messageTooLarge();
    }
    std::string line(pending_, 0, lineFeed);
    pending_.erase(0, lineFeed + 1);
    scanned_ = 0;
    return line;
}

}  // namespace fw::automation
