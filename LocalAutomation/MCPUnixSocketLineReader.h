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
#include <optional>
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

    // For a reader that waits for the socket elsewhere (an event loop) and never blocks here.
    // The next line from the bytes read so far, or none until a whole line is there. Throws
    // messageTooLarge as nextLine() does.
    std::optional<std::string> takeLine(std::size_t maximum);
    // Reads what the socket holds now without waiting: the number of bytes read, 0 when none was
    // there. A count below kReadSize means the socket held no more at that moment. Throws
    // SocketError `io` 0 at the end of the stream, `io` with the errno of a failed read.
    std::size_t readAvailable();

    // The bytes read and not yet returned as a line.
    std::size_t pendingSize() const noexcept { return pending_.size(); }
    // The bytes examined for a line feed so far, in all. Each byte is examined once, so this, the
    // reader's cost, stays at the number of bytes read however small the pieces they came in.
    std::size_t scannedBytes() const noexcept { return scannedTotal_; }

private:
    // Appends one read of at most kReadSize bytes; `flags` as recv() takes them (0: a blocking
    // read of any descriptor).
    std::size_t readOnce(int flags);

    int descriptor_;
    std::string pending_;
    std::size_t scanned_ = 0;  // bytes at the start of pending_ known to hold no line feed
    std::size_t scannedTotal_ = 0;
};

}  // namespace fw::automation
