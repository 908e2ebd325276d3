// JSON numbers from their text: the grammar checked by hand, the conversion by std::from_chars,
// which is exact for doubles of any length and never looks at the locale.
#include "MCP/JSON/detail/JsonNumber.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

namespace mcp::detail {

namespace {

bool isDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// The power of ten of the leading significant digit of a well-formed number that is not zero,
// saturated far beyond the double range. Only its sign is used: it tells an underflow (a value
// below one) from an overflow.
long long decimalMagnitude(std::string_view text) noexcept {
    std::size_t i = text.front() == '-' ? 1 : 0;
    long long magnitude = 0;
    if (text[i] != '0') {
        for (; i < text.size() && isDigit(text[i]); ++i) {
            ++magnitude;
        }
    } else {
        ++i;
        if (i < text.size() && text[i] == '.') {
            for (++i; i < text.size() && text[i] == '0'; ++i) {
                --magnitude;
            }
        }
    }
    while (i < text.size() && text[i] != 'e' && text[i] != 'E') {
        ++i;
    }
    if (i == text.size()) {
        return magnitude;
    }
    ++i;
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+') {
        ++i;
    }
    constexpr long long kSaturation = 1'000'000'000;
    long long exponent = 0;
    for (; i < text.size(); ++i) {
        exponent = std::min(exponent * 10 + (text[i] - '0'), kSaturation);
    }
    return negative ? magnitude - exponent : magnitude + exponent;
}

}  // namespace

std::optional<Value> readJsonNumber(std::string_view text) noexcept {
    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* p = begin;
    if (p != end && *p == '-') {
        ++p;
    }
    if (p == end || !isDigit(*p)) {
        return std::nullopt;
    }
    if (*p++ != '0') {
        while (p != end && isDigit(*p)) {
            ++p;
        }
    }
    bool integral = true;
    if (p != end && *p == '.') {
        integral = false;
        if (++p == end || !isDigit(*p)) {
            return std::nullopt;
        }
        while (p != end && isDigit(*p)) {
            ++p;
        }
    }
    if (p != end && (*p == 'e' || *p == 'E')) {
        integral = false;
        if (++p != end && (*p == '+' || *p == '-')) {
            ++p;
        }
        if (p == end || !isDigit(*p)) {
            return std::nullopt;
        }
        while (p != end && isDigit(*p)) {
            ++p;
        }
    }
    if (p != end) {
        return std::nullopt;
    }

    if (integral) {
        std::int64_t integer = 0;
        if (std::from_chars(begin, end, integer).ec == std::errc()) {
            return Value(integer);
        }
    }
    double number = 0;
    const std::errc error = std::from_chars(begin, end, number).ec;
    if (error == std::errc::result_out_of_range && decimalMagnitude(text) <= 0) {
        // Closer to zero than the smallest double.
        return Value(*begin == '-' ? -0.0 : 0.0);
    }
    if (error != std::errc() || !std::isfinite(number)) {
        return std::nullopt;
    }
    return Value(number);
}

}  // namespace mcp::detail
