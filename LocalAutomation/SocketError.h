// SocketError: the failure of all work on the local automation socket, in the application and in
// its companion alike. Four cases, each with a fixed text:
//
//   io               an errno value, or 0 for the end of the stream  "Unix socket error <code>"
//   pathTooLong      "Unix socket path exceeds the system limit"
//   messageTooLarge  "MCP message exceeds the size limit"
//   protocolMismatch "Frameweaver bridge protocol version mismatch"
//
// Codes of `io` that mean something fixed on the wire are the system's symbolic errno constants:
// 0 the peer closed, EBUSY the server is still stopping, EEXIST the socket path is not a socket,
// EAGAIN a handshake timeout, EADDRINUSE another listener, ENOBUFS an outgoing message refused,
// ENOTCONN a closed connection, ECONNREFUSED nobody listening. Any other code is the errno of the
// failed call. Thrown as an exception; a plain value otherwise, safe to copy between threads.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace fw::automation {

class SocketError : public std::exception {
public:
    enum class Kind { io, pathTooLong, messageTooLarge, protocolMismatch };

    static SocketError io(std::int32_t code) { return SocketError(Kind::io, code); }
    static SocketError pathTooLong() { return SocketError(Kind::pathTooLong, 0); }
    static SocketError messageTooLarge() { return SocketError(Kind::messageTooLarge, 0); }
    static SocketError protocolMismatch() { return SocketError(Kind::protocolMismatch, 0); }

    Kind kind() const noexcept { return kind_; }
    // The errno value of an `io` failure (0: the peer closed); 0 for the other cases.
    std::int32_t code() const noexcept { return code_; }
    // The fixed text of the case.
    const std::string& description() const noexcept { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

    bool operator==(const SocketError& other) const noexcept {
        return kind_ == other.kind_ && code_ == other.code_;
    }

private:
    SocketError(Kind kind, std::int32_t code);

    Kind kind_;
    std::int32_t code_;
    std::string text_;
};

}  // namespace fw::automation
