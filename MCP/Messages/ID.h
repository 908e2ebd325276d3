// ID: a JSON-RPC request identifier, a text or a signed 64-bit integer. The text "7" and the
// number 7 are different identifiers. Key of the server's and the client's request tables.
//
// Wire form: a bare JSON string or integer. Decoding takes a string, else an integer, else null
// (as the empty text); anything else fails with dataCorrupted "ID must be string or number".
//
// An immutable value; safe to copy between threads. Copying a text of up to 39 bytes allocates
// nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "MCP/JSON/Value.h"

namespace mcp {

class ID {
public:
    // The empty text.
    ID() : storage_(ShortText{}) {}
    ID(std::string text);
    ID(std::string_view text);
    ID(const char* text) : ID(std::string_view(text)) {}
    ID(std::int64_t number) : storage_(number) {}
    ID(int number) : storage_(std::int64_t{number}) {}

    // A fresh random UUID in its upper-case 36-character form, as a text identifier.
    static ID newRandom();

    bool isString() const noexcept { return !std::holds_alternative<std::int64_t>(storage_); }
    bool isNumber() const noexcept { return std::holds_alternative<std::int64_t>(storage_); }
    // The text of a text identifier; valid while the identifier is.
    std::optional<std::string_view> stringValue() const noexcept;
    const std::int64_t* numberValue() const noexcept {
        return std::get_if<std::int64_t>(&storage_);
    }

    // The text unchanged (no quotes), or the number in decimal.
    std::string description() const;

    Value toValue() const;
    // Throws DecodingError.
    static ID fromValue(const Value& value);

    friend bool operator==(const ID& a, const ID& b);
    // 0 then the text, or 1 then the integer.
    std::size_t hash() const noexcept;

private:
    // Texts up to this size (a UUID, and the counters and names peers use) are kept in the
    // identifier itself: a request's id is copied into several tables on its way, and none of
    // those copies allocates.
    static constexpr std::size_t kShortCapacity = 39;
    struct ShortText {
        char bytes[kShortCapacity] = {};
        std::uint8_t size = 0;
    };

    std::variant<ShortText, std::string, std::int64_t> storage_;
};

}  // namespace mcp

template <>
struct std::hash<mcp::ID> {
    std::size_t operator()(const mcp::ID& id) const noexcept { return id.hash(); }
};
