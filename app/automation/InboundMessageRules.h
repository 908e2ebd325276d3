// The rules the application applies to each line its companion sends, as plain functions over the
// text (no I/O), and to the answers it sends back, from what the server says they answer: the
// connection's reader and writer use them, and tests feed them any bytes.
//
// A line is accepted when it is one JSON object with at least one member that the library's message
// classification reads as a request or a notification (a string "method", no "result" or "error"
// beside an "id"), so that the server answers every request the reader lets through.
// With an "id" member it is a request; the id must be a string of at most 256 UTF-8 bytes or an
// integer that fits a signed 64-bit integer, and is remembered under its key ("s:" + the string,
// "n:" + the decimal digits), which keeps the string "1" and the number 1 apart. Without "id" it
// is a notification and its method must begin with "notifications/". An "initialize" request
// whose params.capabilities.experimental is an object with at least one member, all of them
// objects, reaches the server with "experimental" removed; every other accepted line passes byte
// for byte. Anything else breaks the rules.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "MCP/JSON/Value.h"
#include "MCP/Messages/ID.h"

namespace fw::automation {

// The longest string identifier, in UTF-8 bytes.
inline constexpr std::size_t kMaximumStringIdentifierBytes = 256;

// The key of a request identifier, or none when the value is no valid identifier.
std::optional<std::string> requestIdentifierKey(const mcp::Value& identifier);
// The key of a request identifier the server answers under.
std::string requestIdentifierKey(const mcp::ID& identifier);

struct InboundMessage {
    enum class Kind { request, notification };
    Kind kind = Kind::notification;
    std::string text;  // the line, or its "initialize" rewrite
    std::string key;   // the request identifier key; empty for a notification
};

// The message a line carries, or none when the line breaks a rule. `maximum` bounds the length
// of a rewritten "initialize" line.
std::optional<InboundMessage> acceptInboundLine(std::string line, std::size_t maximum);

// What an answer of the server means for the request in flight (whose key is `pendingKey`,
// empty when none): true when it releases it. An answer releases the request its id (`request`)
// names; an answer without an id, or an error answer naming no request in flight, releases it
// too, so a request the server could not read never pins the connection. The server's own
// requests and notifications are no answers and release nothing.
bool releasesRequestInFlight(const std::optional<mcp::ID>& request, bool isError,
                             std::string_view pendingKey);

}  // namespace fw::automation
