// SSEEvent: one server-sent event as the HTTP server transports write it.
//
// formatted() gives the wire bytes: "id: " line, "event: " line, "retry: " line (each only when
// present), then the data, and an empty line. Data that holds line breaks (CR LF, CR or LF) is
// written as one "data: " line per line, which a reader joins back with line feeds, so a
// pretty-printed message arrives whole and no text inside it can start a field of its own.
// An id or event name holding CR, LF or NUL cannot be written: formatted() throws
// std::invalid_argument, and canCarry() tells beforehand.
// A plain value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mcp {

struct SSEEvent {
    std::optional<std::string> id;
    std::optional<std::string> event;
    std::string data;
    std::optional<std::int64_t> retry;  // milliseconds

    // The event for one outgoing JSON-RPC message: event name "message", the bytes as data
    // (invalid UTF-8 replaced by U+FFFD).
    static SSEEvent message(std::optional<std::string> id, std::string_view data);

    std::string formatted() const;
    // Appends formatted() to `out`.
    void appendFormatted(std::string& out) const;

    // Whether `text` can be an event id or name: no CR, LF or NUL.
    static bool canCarry(std::string_view text) noexcept;
    // Whether an event id beginning with `text` comes back intact in a "Last-Event-ID" header,
    // so that a stream can be resumed from it: no control character (C0 or DEL), and no space
    // or tab at its start (a header value loses those).
    static bool canResumeFrom(std::string_view text) noexcept;

    friend bool operator==(const SSEEvent&, const SSEEvent&) = default;
};

}  // namespace mcp
