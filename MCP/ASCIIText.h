// Letter case of protocol text (schemes, host names, parameter values) in ASCII only: other
// bytes, UTF-8 included, pass unchanged.
//
// Stateless: safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace mcp {

inline std::string asciiLowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

}  // namespace mcp
