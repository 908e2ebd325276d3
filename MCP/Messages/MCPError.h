// MCPError: the one error type of the MCP library. It is the JSON-RPC 2.0 error object a
// response carries instead of a result ({"code", "message", "data"?}), the failure request
// handlers throw and the server turns into error responses, the failure pending requests are
// resumed with, and the failure transports report.
//
// Nine kinds: the five standard JSON-RPC errors (each with an optional detail text that refines
// the fixed message), serverError (any other code with the peer's message),
// urlElicitationRequired (-32042, with the pages the user has to visit), transportError
// (-32001, wrapping an underlying error) and connectionClosed (-32000).
//
// An immutable value: copy it and pass it between threads freely; the underlying error of a
// transport error is shared, never changed. Thrown as an exception; what() is errorDescription().
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "MCP/JSON/Record.h"
#include "MCP/JSON/Value.h"

namespace mcp {

// A web page the user has to visit before a request can succeed.
struct URLElicitationInfo {
    std::string mode;
    std::string elicitationId;
    std::string url;
    std::string message;

    static constexpr auto codingFields() {
        return std::tuple{field("mode", &URLElicitationInfo::mode),
                          field("elicitationId", &URLElicitationInfo::elicitationId),
                          field("url", &URLElicitationInfo::url),
                          field("message", &URLElicitationInfo::message)};
    }
};

// The failure underneath a transport error: a system error, a peer's reported transport
// failure, or any exception. Implementations are immutable.
class UnderlyingError {
public:
    virtual ~UnderlyingError() = default;
    // A complete sentence for people.
    virtual std::string localizedDescription() const = 0;
    // Why it happened, when the error knows more than its description.
    virtual std::optional<std::string> failureReason() const { return std::nullopt; }
    // What a developer needs to recognise it: type, domain, code.
    virtual std::string debugDescription() const = 0;
};

// An error with a domain, a code and a description; decoding a -32001 error from a peer builds
// one in the domain "org.jsonrpc.error" with the code -32001.
class DomainError final : public UnderlyingError {
public:
    DomainError(std::string domain, std::int64_t code, std::string description);
    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }
    std::string localizedDescription() const override { return description_; }
    std::string debugDescription() const override;

private:
    std::string domain_;
    std::int64_t code_;
    std::string description_;
};

// A system error number, or any std::error_code.
class SystemError final : public UnderlyingError {
public:
    explicit SystemError(std::error_code code) : code_(code) {}
    const std::error_code& code() const { return code_; }
    std::string localizedDescription() const override;
    std::string debugDescription() const override;

private:
    std::error_code code_;
};

class MCPError : public std::exception {
public:
    enum class Kind {
        parseError,
        invalidRequest,
        methodNotFound,
        invalidParams,
        internalError,
        serverError,
        urlElicitationRequired,
        transportError,
        connectionClosed,
    };

    static constexpr std::int64_t kParseErrorCode = -32700;
    static constexpr std::int64_t kInvalidRequestCode = -32600;
    static constexpr std::int64_t kMethodNotFoundCode = -32601;
    static constexpr std::int64_t kInvalidParamsCode = -32602;
    static constexpr std::int64_t kInternalErrorCode = -32603;
    static constexpr std::int64_t kURLElicitationRequiredCode = -32042;
    static constexpr std::int64_t kTransportErrorCode = -32001;
    static constexpr std::int64_t kConnectionClosedCode = -32000;

    static MCPError parseError(std::optional<std::string> detail = std::nullopt);
    static MCPError invalidRequest(std::optional<std::string> detail = std::nullopt);
    static MCPError methodNotFound(std::optional<std::string> detail = std::nullopt);
    static MCPError invalidParams(std::optional<std::string> detail = std::nullopt);
    static MCPError internalError(std::optional<std::string> detail = std::nullopt);
    static MCPError serverError(std::int64_t code, std::string message);
    static MCPError urlElicitationRequired(std::string message,
                                           std::vector<URLElicitationInfo> elicitations);
    static MCPError transportError(std::shared_ptr<const UnderlyingError> underlying);
    static MCPError transportError(std::error_code code);
    static MCPError connectionClosed();

    Kind kind() const noexcept { return kind_; }
    // The JSON-RPC code: fixed per kind, the stored one for serverError.
    std::int64_t code() const noexcept { return code_; }
    // The detail of the five standard kinds (absent for the others).
    const std::optional<std::string>& detail() const noexcept { return detail_; }
    // The message of serverError and urlElicitationRequired (empty for the others).
    const std::string& message() const noexcept { return message_; }
    const std::vector<URLElicitationInfo>& elicitations() const noexcept { return elicitations_; }
    // The failure underneath a transportError (null for the others).
    const std::shared_ptr<const UnderlyingError>& underlyingError() const noexcept {
        return underlying_;
    }

    // "Invalid params: <detail>", "Server error: <message>", "Connection closed", ...
    const std::string& errorDescription() const noexcept { return description_; }
    std::optional<std::string> failureReason() const;
    std::optional<std::string> recoverySuggestion() const;
    // "[<code>] <errorDescription>", plus the underlying error's debug text for transportError.
    std::string debugDescription() const;
    const char* what() const noexcept override { return description_.c_str(); }

    // The wire form {"code", "message", "data"?}. fromValue throws DecodingError.
    Value toValue() const;
    static MCPError fromValue(const Value& value);

    friend bool operator==(const MCPError& a, const MCPError& b);
    std::size_t hash() const;

private:
    MCPError(Kind kind, std::int64_t code);
    // One of the five standard kinds with its code, fixed text and `detail`.
    static MCPError standardError(Kind kind, std::optional<std::string> detail);
    void describe();

    Kind kind_;
    std::int64_t code_;
    std::optional<std::string> detail_;
    std::string message_;
    std::vector<URLElicitationInfo> elicitations_;
    std::shared_ptr<const UnderlyingError> underlying_;
    std::string description_;
};

// Whether `error` is the system's "resource temporarily unavailable" (EAGAIN), as a
// std::system_error or boost::system::system_error; false for everything else, other error
// numbers included.
bool isResourceTemporarilyUnavailable(const std::exception_ptr& error) noexcept;

}  // namespace mcp

template <>
struct std::hash<mcp::MCPError> {
    std::size_t operator()(const mcp::MCPError& error) const { return error.hash(); }
};
