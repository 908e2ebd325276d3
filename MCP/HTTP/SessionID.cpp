#include "MCP/HTTP/SessionID.h"

#include <algorithm>

#include "MCP/Messages/ID.h"

namespace mcp {

std::string UUIDSessionIDGenerator::generateSessionID() {
    return ID::newRandom().description();
}

bool isValidSessionID(std::string_view text) noexcept {
    return std::all_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte >= 0x21 && byte <= 0x7E;
    });
}

}  // namespace mcp
