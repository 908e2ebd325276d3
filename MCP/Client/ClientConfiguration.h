// ClientConfiguration (Client::Configuration): how strictly a client checks the server's
// capabilities before it sends a request, and how much it lets the server make it hold.
//
// `strict` is the only member that travels as JSON ({"strict": bool}, required on reading). With
// strict on, each typed request operation is refused before anything is sent when the server did
// not announce the feature it needs (or before the handshake); off, every request is sent.
//
// The other members are local settings and not coded:
//   maxConcurrentRequests  the server's requests (sampling, elicitation, roots) whose handlers run
//                          at once; one beyond it is answered with internal error "Too many
//                          requests in progress" and its handler never runs.
//   requestTimeout         when set, a request of the client that has no answer within it fails
//                          with internal error "Request timed out", and the server is told with
//                          "notifications/cancelled". Off by default: a request waits until it is
//                          answered, cancelled or the connection ends.
// A plain value. Equality and hashing take every member, the local settings too (the JSON form
// alone would make configurations that behave differently equal).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <tuple>

#include "MCP/JSON/Hasher.h"
#include "MCP/JSON/Record.h"

namespace mcp {

struct ClientConfiguration {
    bool strict = false;
    std::size_t maxConcurrentRequests = kDefaultMaxConcurrentRequests;
    std::optional<std::chrono::milliseconds> requestTimeout{};

    static constexpr std::size_t kDefaultMaxConcurrentRequests = 64;

    static ClientConfiguration defaults() { return {}; }
    static ClientConfiguration strictMode() { return {.strict = true}; }

    static constexpr auto codingFields() {
        return std::tuple{field("strict", &ClientConfiguration::strict)};
    }

    // Preferred to the records' equality, which follows the JSON form.
    friend bool operator==(const ClientConfiguration& a, const ClientConfiguration& b) {
        return a.strict == b.strict && a.maxConcurrentRequests == b.maxConcurrentRequests &&
               a.requestTimeout == b.requestTimeout;
    }
};

}  // namespace mcp

template <>
struct std::hash<mcp::ClientConfiguration> {
    std::size_t operator()(const mcp::ClientConfiguration& value) const noexcept {
        mcp::Hasher hasher;
        hasher.combine(value.strict);
        hasher.combine(std::uint64_t{value.maxConcurrentRequests});
        hasher.combine(value.requestTimeout.has_value());
        hasher.combine(static_cast<std::int64_t>(
            value.requestTimeout.value_or(std::chrono::milliseconds{}).count()));
        return hasher.finish();
    }
};
