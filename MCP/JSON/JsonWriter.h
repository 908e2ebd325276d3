// Writing a Value as compact JSON text.
//
// Object keys come out sorted (bytewise), "/" is not escaped, non-ASCII text is written as UTF-8,
// control characters as escapes. Doubles use the shortest text that reads back to the same double
// and keep ".0" when integral, so a double stays a double across a round trip. The data case is
// written as its data URL (the exact text it was parsed from, when it came from JSON).
//
// Non-finite doubles and strings that are not valid UTF-8 cannot be written: EncodingError. Free
// functions without shared state: safe from any thread.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "MCP/JSON/DecodingError.h"
#include "MCP/JSON/Value.h"

namespace mcp {

// A value that cannot be represented in JSON. codingPath() leads to it from the top value.
class EncodingError : public std::exception {
public:
    EncodingError(CodingPath codingPath, std::string debugDescription);

    const CodingPath& codingPath() const noexcept { return codingPath_; }
    const std::string& debugDescription() const noexcept { return debugDescription_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    CodingPath codingPath_;
    std::string debugDescription_;
    std::string message_;
};

// Throws EncodingError.
std::string toJson(const Value& value);
// Appends the JSON text of `value` to `out` (reusing its capacity). On EncodingError `out` keeps
// its previous contents.
void appendJson(std::string& out, const Value& value);
// The same for an object, as appendJson(out, Value(object)) writes it, without the copy.
void appendJson(std::string& out, const Object& object);
// Appends `text` as a JSON string, quoted and escaped as appendJson writes texts. Throws
// EncodingError (with an empty path) when it is not valid UTF-8; `out` is then unchanged.
void appendJsonString(std::string& out, std::string_view text);

}  // namespace mcp
