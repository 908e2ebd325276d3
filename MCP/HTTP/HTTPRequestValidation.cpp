#include "MCP/HTTP/HTTPRequestValidation.h"

#include <algorithm>

#include "MCP/Messages/Version.h"

namespace mcp {

namespace {

HTTPResponse refusal(int status, std::string text, const HTTPValidationContext& context) {
    return HTTPResponse::error(status, MCPError::invalidRequest(std::move(text)),
                               context.sessionID);
}

std::string_view trim(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n\f\v";
    std::size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    std::size_t last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

const std::set<std::string, std::less<>>& supportedVersions(const HTTPValidationContext& context) {
    return context.supportedProtocolVersions ? *context.supportedProtocolVersions
                                             : Version::supported();
}

}  // namespace

std::optional<HTTPResponse> StandardValidationPipeline::validate(
    const HTTPRequest& request, const HTTPValidationContext& context) const {
    for (const auto& validator : validators_) {
        if (auto answer = validator->validate(request, context)) {
            return answer;
        }
    }
    return std::nullopt;
}

std::shared_ptr<const StandardValidationPipeline> StandardValidationPipeline::statefulDefault() {
    static const auto pipeline = std::make_shared<const StandardValidationPipeline>(
        std::vector<std::shared_ptr<const HTTPRequestValidator>>{
            std::make_shared<OriginValidator>(OriginValidator::localhost()),
            std::make_shared<AcceptHeaderValidator>(AcceptHeaderValidator::Mode::sseRequired),
            std::make_shared<ContentTypeValidator>(),
            std::make_shared<ProtocolVersionValidator>(),
            std::make_shared<SessionValidator>()});
    return pipeline;
}

std::shared_ptr<const StandardValidationPipeline> StandardValidationPipeline::statelessDefault() {
    static const auto pipeline = std::make_shared<const StandardValidationPipeline>(
        std::vector<std::shared_ptr<const HTTPRequestValidator>>{
            std::make_shared<OriginValidator>(OriginValidator::localhost()),
            std::make_shared<AcceptHeaderValidator>(AcceptHeaderValidator::Mode::jsonOnly),
            std::make_shared<ContentTypeValidator>(),
            std::make_shared<ProtocolVersionValidator>()});
    return pipeline;
}

std::optional<HTTPResponse> AcceptHeaderValidator::validate(
    const HTTPRequest& request, const HTTPValidationContext& context) const {
    const bool isPost = context.httpMethod == "POST";
    if (!isPost && context.httpMethod != "GET") {
        return std::nullopt;
    }
    std::string accept = request.header(HTTPHeaderName::accept).value_or("");
    bool acceptsJSON = false;
    bool acceptsEvents = false;
    std::string_view rest = accept;
    while (!rest.empty()) {
        std::size_t comma = rest.find(',');
        std::string_view piece = trim(rest.substr(0, comma));
        acceptsJSON = acceptsJSON || piece.starts_with("application/json");
        acceptsEvents = acceptsEvents || piece.starts_with("text/event-stream");
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    if (!isPost) {
        if (acceptsEvents) {
            return std::nullopt;
        }
        return refusal(406, "Not Acceptable: Client must accept text/event-stream", context);
    }
    if (mode_ == Mode::sseRequired) {
        if (acceptsJSON && acceptsEvents) {
            return std::nullopt;
        }
        return refusal(
            406,
            "Not Acceptable: Client must accept both application/json and text/event-stream",
            context);
    }
    if (acceptsJSON) {
        return std::nullopt;
    }
    return refusal(406, "Not Acceptable: Client must accept application/json", context);
}

std::optional<HTTPResponse> ContentTypeValidator::validate(
    const HTTPRequest& request, const HTTPValidationContext& context) const {
    if (context.httpMethod != "POST") {
        return std::nullopt;
    }
    std::string contentType = request.header(HTTPHeaderName::contentType).value_or("");
    std::string_view text = contentType;
    // The first non-empty piece before a ";".
    std::string_view first;
    while (!text.empty()) {
        std::size_t semicolon = text.find(';');
        std::string_view piece = text.substr(0, semicolon);
        if (!piece.empty()) {
            first = piece;
            break;
        }
        text = semicolon == std::string_view::npos ? std::string_view() : text.substr(semicolon + 1);
    }
    if (trim(first) == "application/json") {
        return std::nullopt;
    }
    return refusal(415, "Unsupported Media Type: Content-Type must be application/json", context);
}

std::optional<HTTPResponse> ProtocolVersionValidator::validate(
    const HTTPRequest& request, const HTTPValidationContext& context) const {
    if (context.isInitializationRequest) {
        return std::nullopt;
    }
    auto version = request.header(HTTPHeaderName::protocolVersion);
    const auto& supported = supportedVersions(context);
    if (!version || supported.contains(*version)) {
        return std::nullopt;
    }
    std::string list;
    for (const auto& entry : supported) {  // a std::set is sorted already
        if (!list.empty()) {
            list += ", ";
        }
        list += entry;
    }
    return refusal(400, "Bad Request: Unsupported protocol version: " + *version +
                            ". Supported: " + list,
                   context);
}

std::optional<HTTPResponse> SessionValidator::validate(const HTTPRequest& request,
                                                       const HTTPValidationContext& context) const {
    if (context.isInitializationRequest) {
        return std::nullopt;
    }
    if (!context.sessionID) {
        return refusal(400, "Bad Request: Session not initialized", context);
    }
    auto header = request.header(HTTPHeaderName::sessionID);
    if (!header) {
        return refusal(400, "Bad Request: Missing MCP-Session-Id header", context);
    }
    if (*header != *context.sessionID) {
        return refusal(404, "Not Found: Invalid or expired session ID", context);
    }
    return std::nullopt;
}

OriginValidator OriginValidator::disabled() {
    OriginValidator validator({}, {});
    validator.enabled_ = false;
    return validator;
}

OriginValidator OriginValidator::localhost(std::optional<int> port) {
    const std::string p = port ? std::to_string(*port) : "*";
    return OriginValidator({"127.0.0.1:" + p, "localhost:" + p, "[::1]:" + p},
                           {"http://127.0.0.1:" + p, "http://localhost:" + p, "http://[::1]:" + p});
}

bool OriginValidator::matches(std::string_view value, std::string_view pattern) noexcept {
    if (!pattern.ends_with(":*")) {
        return value == pattern;
    }
    std::string_view base = pattern.substr(0, pattern.size() - 2);
    if (!value.starts_with(base) || value.size() <= base.size() + 1 || value[base.size()] != ':') {
        return false;
    }
    std::string_view port = value.substr(base.size() + 1);
    return std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<HTTPResponse> OriginValidator::validate(const HTTPRequest& request,
                                                      const HTTPValidationContext& context) const {
    if (!enabled_) {
        return std::nullopt;
    }
    auto allowed = [](const std::vector<std::string>& patterns, std::string_view value) {
        return std::any_of(patterns.begin(), patterns.end(),
                           [&](const std::string& pattern) { return matches(value, pattern); });
    };
    if (auto host = request.header(HTTPHeaderName::host); host && !allowed(allowedHosts_, *host)) {
        return refusal(421, "Misdirected Request: Host header not allowed", context);
    }
    if (auto origin = request.header(HTTPHeaderName::origin);
        origin && !allowed(allowedOrigins_, *origin)) {
        return refusal(403, "Forbidden: Origin not allowed", context);
    }
    return std::nullopt;
}

}  // namespace mcp
