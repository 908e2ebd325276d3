// StreamableHTTPServer: serves MCP over streamable HTTP on the platform's HTTP server
// (platform/http/Server.h), in one of two modes:
//
//   stateful   each "initialize" POST without "MCP-Session-Id" creates a session: a new
//              StatefulHTTPServerTransport and a new Server from the factory. Later requests are
//              routed by their "MCP-Session-Id"; an unknown id is answered 404 "Not Found: Invalid
//              or expired session ID" (after the origin, Accept and Content-Type checks). DELETE
//              ends a session; a session without requests or open streams for `idleTimeout`
//              expires, one that never got past "initialize" (no request came with its id) after
//              `initializeTimeout`. A refused request is no activity, and a stream that broke
//              (its client vanished: a write failed or timed out, the connection was reset or
//              its keepalive probes went unanswered) counts only for its start, however long it
//              stayed open. A request without a
//              session header that is no "initialize" gets the transport's own refusal ("Bad
//              Request: Session not initialized", ...).
//   stateless  every connection gets a StatelessHTTPServerTransport and a Server for as long as
//              it stays open; each POSTed request is answered with one JSON response.
//
//   mcp::StreamableHTTPServer host(io.get_executor(), {.mode = Mode::stateful, .http = {.port =
//       8080}}, [](auto executor) { auto server = std::make_shared<mcp::Server>(executor, ...);
//       registerTools(*server); return server; });
//   host.start();
//   ... io.run() ...
//   host.stop();
//
// Requests for another path than `endpointPath` go through the same validation pipeline (where
// an embedder's own validators may answer them) and are answered 404 "Not Found" otherwise.
// When `maxSessions` are open, an "initialize" ends a session to make room: one that never got
// past "initialize" first, else the one idle for longest; never one with a request running or a
// stream open. Only when every session is busy is it answered 503 "Too many sessions".
//
// Thread-safety: start() and stop() from any thread; requests are served on the HTTP server's
// connection strands, concurrently.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Logging/Logger.h"
#include "MCP/HTTP/HTTPEventStore.h"
#include "MCP/HTTP/HTTPRequestValidation.h"
#include "MCP/Server/Server.h"
#include "platform/http/Server.h"

namespace mcp {

class StreamableHTTPServer {
public:
    enum class Mode { stateful, stateless };

    struct Options {
        Mode mode = Mode::stateful;
        std::string endpointPath = "/mcp";
        fw::http::ServerOptions http{};
        std::chrono::milliseconds idleTimeout = std::chrono::minutes(30);
        std::chrono::milliseconds initializeTimeout = std::chrono::seconds(30);
        std::size_t maxSessions = 10000;
        // The "retry" of priming events (stateful), in milliseconds.
        std::optional<std::int64_t> retryInterval{};
        EventStoreLimits eventStore{};
        // See StatefulHTTPServerTransport::Options.
        std::size_t maxQueuedBytesPerStream = std::size_t(4) << 20;
        // The transports' defaults when absent.
        std::shared_ptr<const HTTPRequestValidationPipeline> validationPipeline{};
        std::optional<logging::Logger> logger{};
    };

    // Makes the MCP server of one session (stateful) or one connection (stateless), with its
    // handlers registered; not started.
    using ServerFactory = std::function<std::shared_ptr<Server>(boost::asio::any_io_executor)>;

    StreamableHTTPServer(boost::asio::any_io_executor executor, Options options,
                         ServerFactory makeServer);
    ~StreamableHTTPServer();
    StreamableHTTPServer(const StreamableHTTPServer&) = delete;
    StreamableHTTPServer& operator=(const StreamableHTTPServer&) = delete;

    // Listens (throws std::system_error) and starts the idle-session sweep.
    void start();
    std::uint16_t port() const;
    // Closes every connection and ends every session. Idempotent.
    void stop();

    std::size_t sessionCount() const;

    class Router;

private:
    std::shared_ptr<Router> router_;
    std::unique_ptr<fw::http::Server> http_;
};

}  // namespace mcp
