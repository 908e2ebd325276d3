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
// A plain value.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <tuple>

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
};

}  // namespace mcp
