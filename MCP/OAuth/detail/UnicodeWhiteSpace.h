// The Unicode White_Space property, on code points and on UTF-8 text. Internal to the MCP
// library.
#pragma once

#include <cstddef>
#include <string_view>

namespace mcp::detail {

constexpr bool isUnicodeWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// The length in bytes of the white-space character that begins at `at` in the UTF-8 `text`, or 0
// when none begins there. Bytes that are no UTF-8 are no white space.
constexpr std::size_t whiteSpaceLengthAt(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const std::size_t left = text.size() - at;
    if (left == 0) {
        return 0;
    }
    if (byte(0) < 0x80) {
        return isUnicodeWhiteSpace(byte(0)) ? 1 : 0;
    }
    if (left >= 2 && byte(0) == 0xC2) {
        return byte(1) == 0x85 || byte(1) == 0xA0 ? 2 : 0;
    }
    if (left < 3 || (byte(1) & 0xC0) != 0x80 || (byte(2) & 0xC0) != 0x80) {
        return 0;
    }
    const char32_t point = (char32_t(byte(0) & 0x0F) << 12) | (char32_t(byte(1) & 0x3F) << 6) |
                           char32_t(byte(2) & 0x3F);
    return (byte(0) & 0xF0) == 0xE0 && point >= 0x800 && isUnicodeWhiteSpace(point) ? 3 : 0;
}

}  // namespace mcp::detail
