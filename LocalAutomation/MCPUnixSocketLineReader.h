// MCPUnixSocketLineReader: reads line-framed messages from a socket in 4,096-byte reads, keeping
// the bytes that arrived past the last returned line for the next call.
//
//   MCPUnixSocketLineReader reader(handle->descriptor());
//   std::string line = reader.nextLine(MCPUnixSocket::kIncomingLineMaximum);
//
// Each call scans only the bytes that arrived since the previous scan, so a long line that comes
// in small pieces costs time linear in its length. The reader does not own the descriptor (the
// handle does). Used by one thread at a time.
#pragma once

#include <cstddef>
#include <string>

namespace fw::automation {

class MCPUnixSocketLineReader {
public:
    static constexpr std::size_t kReadSize = 4096;

    explicit MCPUnixSocketLineReader(int descriptor) : descriptor_(descriptor) {}

    // The next line, without its line feed (it may be empty). Throws SocketError: messageTooLarge
    // when the line is longer than `maximum` bytes (the bytes read stay buffered; the caller
    // closes the connection), `io` 0 at the end of the stream, `io` with the errno of a failed
    // read.
    std::string nextLine(std::size_t maximum);

    // The bytes read and not yet returned as a line.
    std::size_t pendingSize() const noexcept { return pending_.size(); }

private:
    int descriptor_;
    std::string pending_;
    std::size_t scanned_ = 0;  // bytes at the start of pending_ known to hold no line feed
};

}  // namespace fw::automation
