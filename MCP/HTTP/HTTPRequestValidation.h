// The checks an HTTP server transport runs over each HTTP request before it reads the JSON-RPC
// body: what the client accepts, the body's media type, the protocol version header, the session
// header, and the Host and Origin headers.
//
// A validator passes (nothing) or gives the complete answer to send back: always an error
// answer whose error is invalidRequest with one of these details:
//
//   Accept, POST, sseRequired  406 "Not Acceptable: Client must accept both application/json and text/event-stream"
//   Accept, POST, jsonOnly     406 "Not Acceptable: Client must accept application/json"
//   Accept, GET                406 "Not Acceptable: Client must accept text/event-stream"
//   Content-Type (POST)        415 "Unsupported Media Type: Content-Type must be application/json"
//   protocol version           400 "Bad Request: Unsupported protocol version: <v>. Supported: <sorted list>"
//   session, none held         400 "Bad Request: Session not initialized"
//   session, header missing    400 "Bad Request: Missing MCP-Session-Id header"
//   session, header differs    404 "Not Found: Invalid or expired session ID"
//   Host                       421 "Misdirected Request: Host header not allowed"
//   Origin                     403 "Forbidden: Origin not allowed"
//
// A pipeline runs its validators in order and gives the first answer. The transports' defaults:
// stateful = localhost origins, Accept sseRequired, Content-Type, protocol version, session;
// stateless = the same without the session check and with Accept jsonOnly.
//
// Validators are immutable and without side effects: share them between threads freely.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "MCP/Core/HTTPRequest.h"
#include "MCP/HTTP/HTTPResponse.h"

namespace mcp {

struct HTTPValidationContext {
    std::string httpMethod;  // "POST", "GET", "DELETE", ...
    std::optional<std::string> sessionID;
    bool isInitializationRequest = false;
    // Version::supported() unless set otherwise; never null.
    const std::set<std::string, std::less<>>* supportedProtocolVersions = nullptr;
};

class HTTPRequestValidator {
public:
    virtual ~HTTPRequestValidator() = default;
    virtual std::optional<HTTPResponse> validate(const HTTPRequest& request,
                                                 const HTTPValidationContext& context) const = 0;
};

class HTTPRequestValidationPipeline {
public:
    virtual ~HTTPRequestValidationPipeline() = default;
    virtual std::optional<HTTPResponse> validate(const HTTPRequest& request,
                                                 const HTTPValidationContext& context) const = 0;
};

class StandardValidationPipeline final : public HTTPRequestValidationPipeline {
public:
    explicit StandardValidationPipeline(
        std::vector<std::shared_ptr<const HTTPRequestValidator>> validators)
        : validators_(std::move(validators)) {}

    std::optional<HTTPResponse> validate(const HTTPRequest& request,
                                         const HTTPValidationContext& context) const override;

    const std::vector<std::shared_ptr<const HTTPRequestValidator>>& validators() const {
        return validators_;
    }

    // The stateful and stateless transports' defaults.
    static std::shared_ptr<const StandardValidationPipeline> statefulDefault();
    static std::shared_ptr<const StandardValidationPipeline> statelessDefault();

private:
    std::vector<std::shared_ptr<const HTTPRequestValidator>> validators_;
};

class AcceptHeaderValidator final : public HTTPRequestValidator {
public:
    enum class Mode { sseRequired, jsonOnly };
    explicit AcceptHeaderValidator(Mode mode) : mode_(mode) {}
    Mode mode() const noexcept { return mode_; }
    std::optional<HTTPResponse> validate(const HTTPRequest& request,
                                         const HTTPValidationContext& context) const override;

private:
    Mode mode_;
};

class ContentTypeValidator final : public HTTPRequestValidator {
public:
    std::optional<HTTPResponse> validate(const HTTPRequest& request,
                                         const HTTPValidationContext& context) const override;
};

class ProtocolVersionValidator final : public HTTPRequestValidator {
public:
    std::optional<HTTPResponse> validate(const HTTPRequest& request,
                                         const HTTPValidationContext& context) const override;
};

class SessionValidator final : public HTTPRequestValidator {
public:
    std::optional<HTTPResponse> validate(const HTTPRequest& request,
                                         const HTTPValidationContext& context) const override;
};

// Host and Origin checks. A pattern ending in ":*" matches its base, a colon and a non-empty
// run of digits; any other pattern must be equal. An absent header passes.
class OriginValidator final : public HTTPRequestValidator {
public:
    OriginValidator(std::vector<std::string> allowedHosts, std::vector<std::string> allowedOrigins)
        : allowedHosts_(std::move(allowedHosts)), allowedOrigins_(std::move(allowedOrigins)) {}

    // Passes everything.
    static OriginValidator disabled();
    // 127.0.0.1, localhost and [::1] on `port`, or on any port when absent.
    static OriginValidator localhost(std::optional<int> port = std::nullopt);

    const std::vector<std::string>& allowedHosts() const { return allowedHosts_; }
    const std::vector<std::string>& allowedOrigins() const { return allowedOrigins_; }
    bool enabled() const noexcept { return enabled_; }

    std::optional<HTTPResponse> validate(const HTTPRequest& request,
                                         const HTTPValidationContext& context) const override;

    static bool matches(std::string_view value, std::string_view pattern) noexcept;

private:
    std::vector<std::string> allowedHosts_;
    std::vector<std::string> allowedOrigins_;
    bool enabled_ = true;
};

}  // namespace mcp
