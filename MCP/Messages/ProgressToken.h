// ProgressToken: ties a request to the progress notifications about it; a text or a signed 64-bit
// integer. "42" and 42 are different tokens.
//
// JSON: a bare string or integer. Decoding takes a string, else an integer; anything else fails
// with dataCorrupted "Progress token must be a string or integer". A plain value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "MCP/JSON/Value.h"

namespace mcp {

class ProgressToken {
public:
    // The empty text.
    ProgressToken() : storage_(std::string()) {}
    ProgressToken(std::string text) : storage_(std::move(text)) {}
    ProgressToken(const char* text) : storage_(std::string(text)) {}
    ProgressToken(std::int64_t number) : storage_(number) {}
    ProgressToken(int number) : storage_(std::int64_t{number}) {}

    bool isString() const noexcept { return storage_.index() == 0; }
    bool isInteger() const noexcept { return storage_.index() == 1; }
    const std::string* stringValue() const noexcept { return std::get_if<std::string>(&storage_); }
    const std::int64_t* integerValue() const noexcept {
        return std::get_if<std::int64_t>(&storage_);
    }

    Value toValue() const;
    // Throws DecodingError.
    static ProgressToken fromValue(const Value& value);

    friend bool operator==(const ProgressToken& a, const ProgressToken& b);
    // As ID: 0 then the text, or 1 then the integer.
    std::size_t hash() const noexcept;

private:
    std::variant<std::string, std::int64_t> storage_;
};

}  // namespace mcp

template <>
struct std::hash<mcp::ProgressToken> {
    std::size_t operator()(const mcp::ProgressToken& token) const noexcept { return token.hash(); }
};
