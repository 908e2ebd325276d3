// The tool results of the automation tool set: one text block holding the compact JSON of a
// value V, V itself as structured content, and `isError` (always present).
//
// A result whose whole encoding is longer than 131,072 bytes becomes the fixed oversize
// result ("result_too_large"). A value that JSON cannot carry (text that is not UTF-8, a
// non-finite number) becomes the "operation_failed" error result instead: it is not too large,
// it cannot be sent at all.
//
// Free functions without shared state: safe from any thread.
#pragma once

#include <cstddef>
#include <string>

#include "MCP/JSON/Value.h"
#include "MCP/Messages/Tools.h"

namespace fw {

// {"error": {"code": code, "message": message}}.
mcp::Value errorValue(std::string code, std::string message);

// The result for `value` with the failure flag; `byteLimit` is the largest accepted encoding
// of the whole result.
mcp::CallTool::Result makeResult(mcp::Value value, bool isError,
                                 std::size_t byteLimit = 131'072);

}  // namespace fw
