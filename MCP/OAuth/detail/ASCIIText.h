// Letter case and white space of protocol text (schemes, host names, parameter values) in ASCII
// only: other bytes, UTF-8 included, pass unchanged.
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

// Without ASCII white space (space, tab, line ends, vertical tab, form feed) at either end.
inline std::string_view asciiTrimmed(std::string_view text) {
    constexpr std::string_view kSpace = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace mcp
