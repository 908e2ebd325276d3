#include "MCP/OAuth/BearerTokenValue.h"

namespace mcp {

std::optional<std::string> bearerTokenDefect(std::string_view token) {
    if (token.empty()) {
        return "The access token is empty.";
    }
    if (token.size() > kMaxBearerTokenLength) {
        return "The access token is longer than " + std::to_string(kMaxBearerTokenLength) +
               " bytes.";
    }
    for (const char c : token) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x21 || byte > 0x7e) {
            return "The access token holds a blank, a control character or a byte outside ASCII.";
        }
    }
    return std::nullopt;
}

}  // namespace mcp
