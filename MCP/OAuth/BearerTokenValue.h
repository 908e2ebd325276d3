// What an access token must be before it goes into an "Authorization: Bearer" header: visible
// ASCII only (0x21 to 0x7E, so no blank, no CR or LF that would start a header line of its own)
// and at most kMaxBearerTokenLength bytes, far above any real token yet small enough that a
// request carrying it is never refused for the size of its head.
//
// Stateless: safe from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace mcp {

inline constexpr std::size_t kMaxBearerTokenLength = 8192;

// Why `token` cannot be sent as a bearer token (a sentence ending in a full stop), or nothing
// when it can.
std::optional<std::string> bearerTokenDefect(std::string_view token);

}  // namespace mcp
