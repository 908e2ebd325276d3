// Error conversions shared by the server and the client. Internal to the MCP library.
#pragma once

#include <exception>
#include <string>

#include "MCP/Messages/MCPError.h"

namespace mcp::detail {

// The text of an error for logs and error details: what() of a std::exception, else a sentence.
std::string describeError(const std::exception_ptr& error);

// The error a failed handler is answered with: an MCPError as it is, anything else an internal
// error whose detail is its description.
MCPError toMCPError(const std::exception_ptr& error);

// Whether `error` is Asio's operation_aborted, the failure of a cancelled operation.
bool isOperationAborted(const std::exception_ptr& error) noexcept;

}  // namespace mcp::detail
