// StatefulHTTPServerTransport: the server side of streamable HTTP with a session. It is the
// Transport of one MCP server (one session) and the handler to which an embedding HTTP server
// passes every request for the MCP endpoint:
//
//   POST    one JSON-RPC message. "initialize" fixes the session id ("MCP-Session-Id"); each
//           request is answered with an event stream carrying the server's messages for it and
//           finally its response; notifications and responses are answered 202.
//   GET     the standalone event stream for the server's own requests and notifications, or,
//           with "Last-Event-ID", the replay of a stream after a reconnection.
//   DELETE  ends the session.
//
//   auto transport = std::make_shared<mcp::StatefulHTTPServerTransport>();
//   co_await server->start(transport);
//   mcp::HTTPResponse answer = co_await transport->handleRequest(std::move(httpRequest));
//
// Every message is stored (HTTPEventStore) before it is written, so a message sent while no
// stream is open, or while a client reconnects, is replayed. Streams begin with a priming event
// (for protocol versions from "2025-03-26" on) that a client can resume from.
//
// Refusals are answers, never exceptions (statuses and texts as the validators' and below):
//   terminated               404 "Not Found: Session has been terminated"
//   other method             405 "Method Not Allowed" (Allow: GET, POST, DELETE)
//   POST without body        400 parse error "Empty request body"
//   body not one message     400 parse error "Invalid JSON-RPC message"
//   second initialize        400 "Bad Request: Session already initialized"
//   bad generated id         500 "Internal error: Invalid session ID generated"
//   request id with a control character (C0 or DEL) or a leading space or tab (an event id
//   made of it would not come back intact in "Last-Event-ID")
//                            400 "Bad Request: Invalid request ID"
//   id of a request in flight
//                            400 "Bad Request: Duplicate request ID"
//   second standalone GET    409 "Conflict: Only one SSE stream is allowed per session"
//   unknown Last-Event-ID    400 "Invalid Last-Event-ID"
//
// What the server sends on its own goes on the standalone stream, except what a request's
// handler sends while that request is in flight (sendRelated()): that goes on the request's own
// stream, so a server request made during a tool call reaches a client that never opened the
// standalone stream. The first GET of a session without "Last-Event-ID" receives the standalone
// events stored before it.
//
// A stream whose reader falls more than `maxQueuedBytesPerStream` behind is ended: its events
// stay stored, and the client resumes from the last one it read ("Last-Event-ID").
//
// Requests are keyed by their typed id (7 and "7" differ). A stream whose reader went away (the
// embedding server dropped it) is detached: its events stay stored, and a new GET may open the
// standalone stream again. A replay finishes the stream it replaces, and ends at once when the
// replayed request was answered already.
//
// Thread-safety: every member may be called from any thread; the state sits behind one lock that
// is never held while awaiting. Create it with std::make_shared.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "Logging/Logger.h"
#include "MCP/Core/HTTPRequest.h"
#include "MCP/Core/Transport.h"
#include "MCP/HTTP/HTTPEventStore.h"
#include "MCP/HTTP/HTTPRequestValidation.h"
#include "MCP/HTTP/HTTPResponse.h"
#include "MCP/HTTP/SessionID.h"

namespace mcp {

class StatefulHTTPServerTransport final
    : public Transport,
      public std::enable_shared_from_this<StatefulHTTPServerTransport> {
public:
    struct Options {
        // UUIDSessionIDGenerator when absent.
        std::shared_ptr<SessionIDGenerator> sessionIDGenerator;
        // StandardValidationPipeline::statefulDefault() when absent.
        std::shared_ptr<const HTTPRequestValidationPipeline> validationPipeline;
        // The "retry" of priming events, in milliseconds.
        std::optional<std::int64_t> retryInterval;
        EventStoreLimits eventStore;
        // Bytes written to one stream and not yet taken by its reader; beyond them the stream is
        // ended (its events stay stored), so that a slow reader resumes at its own pace instead
        // of making the server hold everything for it.
        std::size_t maxQueuedBytesPerStream = std::size_t(4) << 20;
        // Logs nothing when absent ("mcp.transport.http.server.stateful").
        std::optional<logging::Logger> logger;
    };

    static constexpr std::string_view kStandaloneStreamID = "_GET_stream";

    StatefulHTTPServerTransport();
    explicit StatefulHTTPServerTransport(Options options);
    ~StatefulHTTPServerTransport() override;

    boost::asio::awaitable<HTTPResponse> handleRequest(HTTPRequest request);
    // The same without suspending: the transport never waits for anything while it answers.
    HTTPResponse handle(HTTPRequest request);
    // Ends the session: every stream ends, the store empties, receive() ends. Idempotent.
    void terminate();

    std::optional<std::string> sessionID() const;
    bool isTerminated() const;
    // Streams being read right now (for an embedding server that expires idle sessions).
    std::size_t openStreamCount() const;

    const logging::Logger& logger() const override { return logger_; }
    boost::asio::awaitable<void> connect() override;
    boost::asio::awaitable<void> disconnect() override;
    boost::asio::awaitable<void> send(std::string message) override;
    boost::asio::awaitable<void> sendAnswer(std::string message, Answer answer) override;
    boost::asio::awaitable<void> sendRelated(std::string message,
                                             std::optional<ID> relatedRequest) override;
    MessageStream receive() override;
    bool providesHTTPRequestContexts() const noexcept override { return true; }
    boost::asio::awaitable<std::optional<HTTPRequest>> httpRequestContext(ID id) override;
    boost::asio::awaitable<void> requestEndedWithoutAnswer(ID id) override;

private:
    struct StreamState {
        std::optional<ID> request;  // absent for the standalone stream
        std::optional<MessageStream::Source> source;
        std::uint64_t attachment = 0;  // which reader the source belongs to
        bool answered = false;
        // The sizes of the chunks given to the source that its reader may not have taken yet,
        // the oldest first, and their sum.
        std::deque<std::size_t> queued;
        std::size_t queuedBytes = 0;
    };
    using Lock = std::unique_lock<std::mutex>;

    HTTPResponse handlePost(HTTPRequest request, Lock& lock);
    HTTPResponse handleGet(const HTTPRequest& request, Lock& lock);
    HTTPResponse handleDelete(const HTTPRequest& request, Lock& lock);
    HTTPResponse openRequestStream(HTTPRequest request, const ID& id, std::string protocolVersion,
                                   Lock& lock);
    HTTPResponse replay(const std::string& lastEventID, const HTTPRequest& request, Lock& lock);
    // A new stream whose reader is `key`'s; the answer that hands it out.
    HTTPResponse attachStream(HTTPEventStore::StreamKey key, StreamState& state,
                              const std::string& streamID, const std::string& protocolVersion,
                              const std::vector<std::pair<std::string, std::string>>& replayed);
    void writePriming(HTTPEventStore::StreamKey key, StreamState& state, const std::string& streamID,
                      const std::string& protocolVersion);
    void route(HTTPEventStore::StreamKey key, const std::string& streamID, std::string message);
    // Gives a chunk to the stream's reader; false when the reader is gone or too far behind.
    bool deliver(StreamState& state, std::string chunk);
    void routeResponse(const ID& id, std::string message);
    void closeRequestStream(const ID& id);
    void detach(HTTPEventStore::StreamKey key, std::uint64_t attachment);
    HTTPHeaders streamHeaders() const;
    HTTPResponse refuse(int status, MCPError error, HTTPHeaders extra = {}) const;
    void terminateLocked(Lock& lock);

    const logging::Logger logger_;
    const std::shared_ptr<SessionIDGenerator> sessionIDGenerator_;
    const std::shared_ptr<const HTTPRequestValidationPipeline> validationPipeline_;
    const std::optional<std::int64_t> retryInterval_;
    const std::size_t maxQueuedBytesPerStream_;

    mutable std::mutex mutex_;
    std::optional<std::string> sessionID_;
    bool terminated_ = false;
    bool started_ = false;
    std::optional<MessageStream> incomingStream_;
    MessageStream::Source incoming_;
    std::unordered_map<ID, HTTPEventStore::StreamKey> requestStreams_;  // requests in flight
    std::unordered_map<ID, HTTPRequest> httpRequestContexts_;
    std::unordered_map<HTTPEventStore::StreamKey, StreamState> streams_;
    HTTPEventStore::StreamKey nextStreamKey_ = HTTPEventStore::kStandaloneStream + 1;
    std::uint64_t nextAttachment_ = 1;
    bool standaloneOpened_ = false;  // a GET has opened the standalone stream once
    HTTPEventStore store_;
};

}  // namespace mcp
