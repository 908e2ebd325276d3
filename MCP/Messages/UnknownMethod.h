// The answer to a request whose method no handler serves: methodNotFound "Unknown method: " and
// the method's name. The name is echoed twice in the answer (in its message and its detail), so a
// long one is cut: a peer that sends a name of any length still gets an answer it can take in,
// whatever limit its connection puts on a message. Shared by the server and the client.
//
// A pure function; safe from any thread.
#pragma once

#include <cstddef>
#include <string_view>

#include "MCP/Messages/MCPError.h"

namespace mcp {

// The longest part of a method's name an answer echoes, in UTF-8 bytes; a longer name is cut at
// a character boundary and ends with "…".
inline constexpr std::size_t kEchoedMethodNameMaximum = 256;

MCPError unknownMethodError(std::string_view method);

}  // namespace mcp
