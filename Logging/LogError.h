// An error attached to a log entry: its description, the qualified name of its dynamic type, and
// the exception itself when there is one.
//
// A plain value, safe to copy between threads.
#pragma once

#include <exception>
#include <string>
#include <system_error>

namespace logging {

class LogError {
public:
    // what() and the demangled dynamic type, such as "mcp::MCPError".
    LogError(const std::exception& error);  // NOLINT: errors convert implicitly
    // Rethrows to read it; an exception of no std::exception type is described as such. A null
    // pointer gives the description "Unknown error".
    LogError(std::exception_ptr error);  // NOLINT
    // The code's message and "std::error_code" qualified by its category, such as
    // "std::error_code(system)".
    LogError(const std::error_code& error);  // NOLINT

    // For errors of no C++ type, such as a C library's error text.
    static LogError described(std::string description, std::string typeName);

    const std::string& description() const noexcept { return description_; }
    const std::string& typeName() const noexcept { return typeName_; }
    // Null unless the error was given as an exception.
    const std::exception_ptr& exception() const noexcept { return exception_; }

private:
    LogError() = default;

    std::string description_;
    std::string typeName_;
    std::exception_ptr exception_;
};

// The demangled name of a type as the compiler reports it, such as "std::runtime_error".
std::string demangledTypeName(const char* mangled);

}  // namespace logging
