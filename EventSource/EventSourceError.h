// EventSourceError: the checks of a response that end an EventSource for good: a status other
// than 200, or a Content-Type that is not "text/event-stream".
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace eventsource {

class EventSourceError : public std::runtime_error {
public:
    enum class Kind { invalidHTTPStatus, invalidContentType };

    // "Invalid HTTP response status code: 204"
    static EventSourceError invalidHTTPStatus(int status) {
        return EventSourceError(Kind::invalidHTTPStatus,
                                "Invalid HTTP response status code: " + std::to_string(status),
                                status, std::nullopt);
    }
    // "Invalid Content-Type for SSE: application/json", or without a value
    // "Missing Content-Type header in SSE response"
    static EventSourceError invalidContentType(std::optional<std::string> contentType) {
        std::string text = contentType ? "Invalid Content-Type for SSE: " + *contentType
                                       : std::string("Missing Content-Type header in SSE response");
        return EventSourceError(Kind::invalidContentType, std::move(text), 0,
                                std::move(contentType));
    }

    Kind kind() const noexcept { return kind_; }
    int status() const noexcept { return status_; }
    const std::optional<std::string>& contentType() const noexcept { return contentType_; }
    std::string errorDescription() const { return what(); }

private:
    EventSourceError(Kind kind, std::string text, int status,
                     std::optional<std::string> contentType)
        : std::runtime_error(std::move(text)),
          kind_(kind),
          status_(status),
          contentType_(std::move(contentType)) {}

    Kind kind_;
    int status_;
    std::optional<std::string> contentType_;
};

}  // namespace eventsource
