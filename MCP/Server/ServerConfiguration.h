// ServerConfiguration (Server::Configuration): how strictly a server enforces the protocol's
// order, and how much one client can make it hold at once.
//
// `strict` is the only member that travels as JSON ({"strict": bool}, required on reading).
// With strict on, the server refuses every request other than "initialize" and "ping" (and every
// notification other than "notifications/initialized") until it is initialized, and refuses to
// send the client a request its announced capabilities do not cover.
//
// `maxConcurrentRequests` bounds the request handlers (and batches) running at once for one
// client; a request beyond it is answered with an internal error ("Too many requests in
// progress") and never runs, and the server reads nothing more until that answer is out. It is a
// local setting and not coded. A plain value.
#pragma once

#include <cstddef>
#include <tuple>

#include "MCP/JSON/Record.h"

namespace mcp {

struct ServerConfiguration {
    bool strict = false;
    std::size_t maxConcurrentRequests = kDefaultMaxConcurrentRequests;

    // Generous for real clients, which rarely keep more than a handful of requests open.
    static constexpr std::size_t kDefaultMaxConcurrentRequests = 1024;

    static ServerConfiguration defaults() { return {}; }
    static ServerConfiguration strictMode() { return {.strict = true}; }

    static constexpr auto codingFields() {
        return std::tuple{field("strict", &ServerConfiguration::strict)};
    }
};

}  // namespace mcp
