// Reading JSON text into a Value.
//
// The whole text must be exactly one JSON value (surrounding white space allowed). Integers that
// fit a signed 64-bit integer become the int case; every other number (a fraction, an exponent, an
// integer beyond the 64-bit range) becomes the correctly rounded double, whatever else the text
// holds; a number too small for a double is zero of its sign, one beyond the double range an error.
// Strings that are data URLs with a decodable payload become the data case (keeping their exact
// text). Invalid UTF-8, lone surrogate escapes, truncated text and nesting deeper than `maxDepth`
// are errors, reported as DecodingError::Kind::dataCorrupted with the empty coding path and a
// complete sentence.
//
// Thread-safe: each thread reuses its own parser buffers, so steady-state parsing allocates nothing
// but the values it builds.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "MCP/JSON/DecodingError.h"
#include "MCP/JSON/Value.h"

namespace mcp {

struct JsonReadOptions {
    // Arrays and objects nested deeper than this are refused (a hostile peer must not be able to
    // exhaust the stack of the reader or of the code that walks the result). Values above 1024 act
    // as 1024.
    std::size_t maxDepth = 512;
};

// Throws DecodingError.
Value parseJson(std::string_view text, const JsonReadOptions& options = {});

// As parseJson, answering absent on failure and storing the failure in `error` when given.
std::optional<Value> tryParseJson(std::string_view text, DecodingError* error = nullptr,
                                  const JsonReadOptions& options = {});

}  // namespace mcp
