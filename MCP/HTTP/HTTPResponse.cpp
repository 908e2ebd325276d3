#include "MCP/HTTP/HTTPResponse.h"

#include "MCP/JSON/JsonWriter.h"

namespace mcp {

HTTPResponse HTTPResponse::accepted(HTTPHeaders headers) {
    HTTPResponse response(Kind::accepted);
    response.status_ = 202;
    response.headers_ = std::move(headers);
    return response;
}

HTTPResponse HTTPResponse::ok(HTTPHeaders headers) {
    HTTPResponse response(Kind::ok);
    response.headers_ = std::move(headers);
    return response;
}

HTTPResponse HTTPResponse::data(std::string bytes, HTTPHeaders headers) {
    HTTPResponse response(Kind::data);
    response.bytes_ = std::move(bytes);
    response.headers_ = std::move(headers);
    return response;
}

HTTPResponse HTTPResponse::stream(MessageStream chunks, HTTPHeaders headers) {
    HTTPResponse response(Kind::stream);
    response.chunks_.emplace(std::move(chunks));
    response.headers_ = std::move(headers);
    return response;
}

HTTPResponse HTTPResponse::error(int statusCode, MCPError error,
                                 std::optional<std::string> sessionID, HTTPHeaders extraHeaders) {
    HTTPResponse response(Kind::error);
    response.status_ = statusCode;
    response.error_.emplace(std::move(error));
    response.sessionID_ = std::move(sessionID);
    response.headers_ = std::move(extraHeaders);
    return response;
}

int HTTPResponse::statusCode() const noexcept {
    return status_;
}

HTTPHeaders HTTPResponse::headers() const {
    if (kind_ != Kind::error) {
        return headers_;
    }
    HTTPHeaders headers;
    headers.set(HTTPHeaderName::contentType, "application/json");
    if (sessionID_) {
        headers.set(HTTPHeaderName::sessionID, *sessionID_);
    }
    for (const auto& [name, value] : headers_) {
        headers.set(name, value);
    }
    return headers;
}

std::optional<std::string> HTTPResponse::body() const {
    switch (kind_) {
        case Kind::data:
            return bytes_;
        case Kind::error: {
            const std::string& description = error_->errorDescription();
            Value object = Value::object(
                {{"jsonrpc", "2.0"},
                 {"error", Value::object({{"code", error_->code()},
                                          {"message", description.empty() ? std::string("Unknown error")
                                                                          : description}})}});
            try {
                return toJson(object);
            } catch (const EncodingError&) {
                return std::nullopt;  // a description that is not UTF-8
            }
        }
        default:
            return std::nullopt;
    }
}

}  // namespace mcp
