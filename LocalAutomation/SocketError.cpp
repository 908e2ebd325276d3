#include "LocalAutomation/SocketError.h"

namespace fw::automation {

namespace {

std::string textOf(SocketError::Kind kind, std::int32_t code) {
    switch (kind) {
        case SocketError::Kind::io:
            return "Unix socket error " + std::to_string(code);
        case SocketError::Kind::pathTooLong:
            return "Unix socket path exceeds the system limit";
        case SocketError::Kind::messageTooLarge:
            return "MCP message exceeds the size limit";
        case SocketError::Kind::protocolMismatch:
            return "Frameweaver bridge protocol version mismatch";
    }
    return {};
}

}  // namespace

SocketError::SocketError(Kind kind, std::int32_t code)
    : kind_(kind), code_(code), text_(textOf(kind, code)) {}

}  // namespace fw::automation
