#include "MCP/Messages/UnknownMethod.h"

#include <string>

namespace mcp {

namespace {

bool isContinuationByte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

}  // namespace

MCPError unknownMethodError(std::string_view method) {
    std::string detail = "Unknown method: ";
    if (method.size() <= kEchoedMethodNameMaximum) {
        detail += method;
    } else {
        // The name came from JSON, so it is UTF-8: back up to the first byte of a character.
        std::size_t end = kEchoedMethodNameMaximum;
        while (end > 0 && isContinuationByte(method[end])) {
            --end;
        }
        detail += method.substr(0, end);
        detail += "…";
    }
    return MCPError::methodNotFound(std::move(detail));
}

}  // namespace mcp
