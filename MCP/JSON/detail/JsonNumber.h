// One JSON number read from its own text. Internal to the MCP library.
//
// The parser reads numbers through here wherever it cannot take them from its fast path, so a
// number reads the same whatever else the document holds: an integer in the signed 64-bit range is
// the int case; any other number (a fraction, an exponent, an integer beyond that range) is the
// correctly rounded double, and one too small for a double is zero of its sign.
#pragma once

#include <optional>
#include <string_view>

#include "MCP/JSON/Value.h"

namespace mcp::detail {

// The number `text` spells, or absent when the text is not exactly one JSON number or its
// magnitude is beyond the double range.
std::optional<Value> readJsonNumber(std::string_view text) noexcept;

}  // namespace mcp::detail
