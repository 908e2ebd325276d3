// The representation of progress tokens, and the decoding identifiers share with them: a text or
// a signed 64-bit integer, where the text "7" and the number 7 differ. Decoding, encoding,
// equality and hashing live here once; each type keeps its own public face and its own decoding
// error text (an identifier keeps short texts inside itself, MCP/ID.h). Internal to the MCP
// library.
//
// Plain functions over plain values; safe from any thread.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "MCP/JSON/Hasher.h"
#include "MCP/JSON/Value.h"

namespace mcp::detail {

using StringOrInteger = std::variant<std::string, std::int64_t>;

// A JSON string (a data value as its data URL text), else an integer, else a double that holds an
// integral value within 64 bits; nullopt for anything else, null included.
inline std::optional<StringOrInteger> decodeStringOrInteger(const Value& value) {
    if (auto text = value.jsonString()) {
        return StringOrInteger(std::in_place_index<0>, std::move(*text));
    }
    if (auto number = value.intValue()) {
        return StringOrInteger(std::in_place_index<1>, *number);
    }
    if (auto number = value.doubleValue();
        number && *number >= -0x1p63 && *number < 0x1p63 && std::trunc(*number) == *number) {
        return StringOrInteger(std::in_place_index<1>, static_cast<std::int64_t>(*number));
    }
    return std::nullopt;
}

inline Value encodeStringOrInteger(const StringOrInteger& storage) {
    if (const auto* text = std::get_if<std::string>(&storage)) {
        return Value(*text);
    }
    return Value(std::get<std::int64_t>(storage));
}

inline bool stringOrIntegerEquals(const StringOrInteger& a, const StringOrInteger& b) {
    if (a.index() != b.index()) {
        return false;
    }
    if (const auto* text = std::get_if<std::string>(&a)) {
        return textEquals(*text, std::get<std::string>(b));
    }
    return std::get<std::int64_t>(a) == std::get<std::int64_t>(b);
}

// 0 then the text, or 1 then the integer.
inline std::size_t hashStringOrInteger(const StringOrInteger& storage) noexcept {
    Hasher hasher;
    if (const auto* text = std::get_if<std::string>(&storage)) {
        hasher.combine(0);
        hasher.combineText(*text);
    } else {
        hasher.combine(1);
        hasher.combine(std::get<std::int64_t>(storage));
    }
    return hasher.finish();
}

}  // namespace mcp::detail
