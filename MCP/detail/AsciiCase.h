// ASCII letter case for the parts of URLs and headers that ignore it. Internal to the MCP library.
#pragma once

#include <string>
#include <string_view>

namespace mcp::detail {

// `text` with A to Z in lower case; every other byte as it is.
inline std::string asciiLowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

}  // namespace mcp::detail
