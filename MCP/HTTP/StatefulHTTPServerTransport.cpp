#include "MCP/HTTP/StatefulHTTPServerTransport.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "Logging/NoOpLogHandler.h"
#include "MCP/HTTP/JSONRPCMessageKind.h"
#include "MCP/HTTP/SSEEvent.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/Messages/Version.h"

namespace mcp {

namespace {

logging::Logger defaultLogger() {
    return logging::Logger("mcp.transport.http.server.stateful", logging::NoOpLogHandler());
}

std::string upperCased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// Versions from this one on expect a priming event to resume from.
bool wantsPriming(std::string_view protocolVersion) {
    return protocolVersion >= std::string_view("2025-03-26");
}

std::string headerVersion(const HTTPRequest& request) {
    return request.header(HTTPHeaderName::protocolVersion).value_or(Version::latest());
}

}  // namespace

StatefulHTTPServerTransport::StatefulHTTPServerTransport()
    : StatefulHTTPServerTransport(Options{}) {}

StatefulHTTPServerTransport::StatefulHTTPServerTransport(Options options)
    : logger_(options.logger ? std::move(*options.logger) : defaultLogger()),
      sessionIDGenerator_(options.sessionIDGenerator
                              ? std::move(options.sessionIDGenerator)
                              : std::make_shared<UUIDSessionIDGenerator>()),
      validationPipeline_(options.validationPipeline
                              ? std::move(options.validationPipeline)
                              : StandardValidationPipeline::statefulDefault()),
      retryInterval_(options.retryInterval),
      maxQueuedBytesPerStream_(options.maxQueuedBytesPerStream),
      incoming_([this] {
          auto [stream, source] = MessageStream::make();
          incomingStream_.emplace(std::move(stream));
          return source;
      }()),
      store_(options.eventStore) {}

StatefulHTTPServerTransport::~StatefulHTTPServerTransport() {
    Lock lock(mutex_);
    terminateLocked(lock);
}

// --- Transport -------------------------------------------------------------------------------

boost::asio::awaitable<void> StatefulHTTPServerTransport::connect() {
    {
        Lock lock(mutex_);
        if (started_) {
            throw MCPError::internalError("Transport already started");
        }
        started_ = true;
    }
    logger_.debug("Stateful HTTP server transport started");
    co_return;
}

boost::asio::awaitable<void> StatefulHTTPServerTransport::disconnect() {
    terminate();
    co_return;
}

MessageStream StatefulHTTPServerTransport::receive() {
    Lock lock(mutex_);
    return MessageStream::takeOnce(incomingStream_);
}

boost::asio::awaitable<void> StatefulHTTPServerTransport::send(std::string message) {
    {
        Lock lock(mutex_);
        if (terminated_) {
            throw MCPError::connectionClosed();
        }
    }
    auto kind = JSONRPCMessageKind::classify(message);
    Lock lock(mutex_);
    if (terminated_) {
        throw MCPError::connectionClosed();
    }
    if (!kind) {
        logger_.warning("Could not classify outgoing message for routing");
        co_return;
    }
    if (kind->kind == JSONRPCMessageKind::Kind::response) {
        routeResponse(*kind->id, std::move(message));
    } else if (kind->kind == JSONRPCMessageKind::Kind::invalidRequest) {
        logger_.warning("Could not classify outgoing message for routing");
    } else {
        route(HTTPEventStore::kStandaloneStream, std::string(kStandaloneStreamID),
              std::move(message));
    }
}

boost::asio::awaitable<void> StatefulHTTPServerTransport::sendAnswer(std::string message,
                                                                     Answer answer) {
    if (!answer.request) {
        co_await send(std::move(message));
        co_return;
    }
    Lock lock(mutex_);
    if (terminated_) {
        throw MCPError::connectionClosed();
    }
    routeResponse(*answer.request, std::move(message));
}

boost::asio::awaitable<void> StatefulHTTPServerTransport::sendRelated(
    std::string message, std::optional<ID> relatedRequest) {
    if (relatedRequest) {
        Lock lock(mutex_);
        if (terminated_) {
            throw MCPError::connectionClosed();
        }
        if (auto found = requestStreams_.find(*relatedRequest); found != requestStreams_.end()) {
            route(found->second, relatedRequest->description(), std::move(message));
            co_return;
        }
    }
    co_await send(std::move(message));
}

boost::asio::awaitable<std::optional<HTTPRequest>> StatefulHTTPServerTransport::httpRequestContext(
    ID id) {
    Lock lock(mutex_);
    auto found = httpRequestContexts_.find(id);
    if (found == httpRequestContexts_.end()) {
        co_return std::nullopt;
    }
    co_return found->second;
}

boost::asio::awaitable<void> StatefulHTTPServerTransport::requestEndedWithoutAnswer(ID id) {
    Lock lock(mutex_);
    closeRequestStream(id);
    co_return;
}

// --- HTTP requests ---------------------------------------------------------------------------

boost::asio::awaitable<HTTPResponse> StatefulHTTPServerTransport::handleRequest(
    HTTPRequest request) {
    co_return handle(std::move(request));
}

HTTPResponse StatefulHTTPServerTransport::handle(HTTPRequest request) {
    Lock lock(mutex_);
    if (terminated_) {
        return refuse(404, MCPError::invalidRequest("Not Found: Session has been terminated"));
    }
    const std::string method = upperCased(request.method);
    if (method == "POST") {
        return handlePost(std::move(request), lock);
    }
    if (method == "GET") {
        return handleGet(request, lock);
    }
    if (method == "DELETE") {
        return handleDelete(request, lock);
    }
    HTTPHeaders allow;
    allow.set(HTTPHeaderName::allow, "GET, POST, DELETE");
    return refuse(405, MCPError::invalidRequest("Method Not Allowed"), std::move(allow));
}

HTTPResponse StatefulHTTPServerTransport::handlePost(HTTPRequest request, Lock& lock) {
    if (!request.body || request.body->empty()) {
        return refuse(400, MCPError::parseError("Empty request body"));
    }
    std::optional<Value> parsed = tryParseJson(*request.body);
    std::optional<JSONRPCMessageKind> kind;
    if (parsed) {
        kind = JSONRPCMessageKind::classifyParsed(*parsed);
    }
    if (!kind) {
        return refuse(400, MCPError::parseError("Invalid JSON-RPC message"));
    }
    const bool isInitialize = kind->isInitializeRequest();
    HTTPValidationContext context{"POST", sessionID_, isInitialize, &Version::supported()};
    if (auto answer = validationPipeline_->validate(request, context)) {
        return std::move(*answer);
    }
    if (kind->kind == JSONRPCMessageKind::Kind::invalidRequest) {
        // The server would not answer it: answered here, it never opens a stream.
        return refuse(400, MCPError::invalidRequest(std::move(kind->reason)));
    }
    if (kind->kind != JSONRPCMessageKind::Kind::request) {
        incoming_.yield(std::move(*request.body));
        HTTPHeaders headers;
        if (sessionID_) {
            headers.set(HTTPHeaderName::sessionID, *sessionID_);
        }
        return HTTPResponse::accepted(std::move(headers));
    }
    const ID& id = *kind->id;
    if (id.isString() && !SSEEvent::canResumeFrom(*id.stringValue())) {
        return refuse(400, MCPError::invalidRequest("Bad Request: Invalid request ID"));
    }
    if (requestStreams_.contains(id)) {
        return refuse(400, MCPError::invalidRequest("Bad Request: Duplicate request ID"));
    }
    std::string protocolVersion;
    if (isInitialize) {
        if (sessionID_) {
            return refuse(400, MCPError::invalidRequest("Bad Request: Session already initialized"));
        }
        std::string generated = sessionIDGenerator_->generateSessionID();
        if (generated.empty() || !isValidSessionID(generated)) {
            logger_.error("Generated session ID contains invalid characters");
            // The error's own prefix is the only one: "Internal error: Invalid session ID ...".
            return HTTPResponse::error(500, MCPError::internalError("Invalid session ID generated"));
        }
        sessionID_ = std::move(generated);
        logger_.info("Session initialized",
                     [&] { return logging::Metadata{{"sessionID", *sessionID_}}; });
        const Value* params = parsed->find("params");
        const Value* requested = params ? params->find("protocolVersion") : nullptr;
        auto text = requested ? requested->jsonString() : std::nullopt;
        protocolVersion = text ? std::move(*text) : headerVersion(request);
    } else {
        protocolVersion = headerVersion(request);
    }
    return openRequestStream(std::move(request), id, std::move(protocolVersion), lock);
}

HTTPResponse StatefulHTTPServerTransport::openRequestStream(HTTPRequest request, const ID& id,
                                                            std::string protocolVersion,
                                                            Lock& lock) {
    (void)lock;
    const HTTPEventStore::StreamKey key = nextStreamKey_++;
    requestStreams_.emplace(id, key);
    StreamState& state = streams_[key];
    state.request = id;
    std::string body = std::move(*request.body);
    request.body = body;  // the handler's context keeps a copy; the server reads the original
    httpRequestContexts_.insert_or_assign(id, std::move(request));
    HTTPResponse answer = attachStream(key, state, id.description(), protocolVersion, {});
    // Registered before the server sees the request, so an answer given at once finds its stream.
    incoming_.yield(std::move(body));
    return answer;
}

HTTPResponse StatefulHTTPServerTransport::attachStream(
    HTTPEventStore::StreamKey key, StreamState& state, const std::string& streamID,
    const std::string& protocolVersion,
    const std::vector<std::pair<std::string, std::string>>& replayed) {
    if (state.source) {
        // A reader that was replaced gets a clean end instead of silence.
        state.source->finish();
    }
    auto [stream, source] = MessageStream::make();
    const std::uint64_t attachment = nextAttachment_++;
    state.source = source;
    state.attachment = attachment;
    state.queued.clear();
    state.queuedBytes = 0;
    source.onConsumerGone([weak = weak_from_this(), key, attachment] {
        if (auto self = weak.lock()) {
            self->detach(key, attachment);
        }
    });
    for (const auto& [eventID, message] : replayed) {
        // A replay is bounded by the store; it is counted, never cut short.
        std::string chunk = SSEEvent::message(eventID, message).formatted();
        state.queued.push_back(chunk.size());
        state.queuedBytes += chunk.size();
        source.yield(std::move(chunk));
    }
    writePriming(key, state, streamID, protocolVersion);
    return HTTPResponse::stream(std::move(stream), streamHeaders());
}

void StatefulHTTPServerTransport::writePriming(HTTPEventStore::StreamKey key, StreamState& state,
                                               const std::string& streamID,
                                               const std::string& protocolVersion) {
    if (!wantsPriming(protocolVersion)) {
        return;
    }
    std::string eventID = store_.store(key, streamID, std::nullopt);
    SSEEvent priming{std::move(eventID), std::nullopt, "", retryInterval_};
    if (state.source) {
        state.source->yield(priming.formatted());
    }
}

HTTPResponse StatefulHTTPServerTransport::handleGet(const HTTPRequest& request, Lock& lock) {
    HTTPValidationContext context{"GET", sessionID_, false, &Version::supported()};
    if (auto answer = validationPipeline_->validate(request, context)) {
        return std::move(*answer);
    }
    if (auto lastEventID = request.header(HTTPHeaderName::lastEventID)) {
        return replay(*lastEventID, request, lock);
    }
    StreamState& state = streams_[HTTPEventStore::kStandaloneStream];
    if (state.source) {
        return refuse(409, MCPError::invalidRequest(
                               "Conflict: Only one SSE stream is allowed per session"));
    }
    // What the server sent before the session's first GET has no other way to the client.
    std::vector<std::pair<std::string, std::string>> earlier;
    if (!std::exchange(standaloneOpened_, true)) {
        earlier = store_.eventsOf(HTTPEventStore::kStandaloneStream);
    }
    return attachStream(HTTPEventStore::kStandaloneStream, state, std::string(kStandaloneStreamID),
                        headerVersion(request), earlier);
}

HTTPResponse StatefulHTTPServerTransport::replay(const std::string& lastEventID,
                                                 const HTTPRequest& request, Lock& lock) {
    (void)lock;
    auto events = store_.eventsAfter(lastEventID);
    if (!events) {
        return refuse(400, MCPError::invalidRequest("Invalid Last-Event-ID"));
    }
    if (events->gap) {
        logger_.warning("Resumed the standalone stream after events that are no longer stored",
                        [&] { return logging::Metadata{{"lastEventID", lastEventID}}; });
    }
    const std::string streamID = lastEventID.substr(0, lastEventID.rfind('_'));
    auto existing = streams_.find(events->stream);
    const bool answered = events->stream != HTTPEventStore::kStandaloneStream &&
                          (existing == streams_.end() || existing->second.answered);
    StreamState& state = streams_[events->stream];
    HTTPResponse answer =
        attachStream(events->stream, state, streamID, headerVersion(request), events->events);
    if (answered) {
        // Its response is among the replayed events: nothing more will come on this stream.
        state.source->finish();
        streams_.erase(events->stream);
    }
    return answer;
}

HTTPResponse StatefulHTTPServerTransport::handleDelete(const HTTPRequest& request, Lock& lock) {
    HTTPValidationContext context{"DELETE", sessionID_, false, &Version::supported()};
    if (auto answer = validationPipeline_->validate(request, context)) {
        return std::move(*answer);
    }
    terminateLocked(lock);
    HTTPHeaders headers;
    if (sessionID_) {
        headers.set(HTTPHeaderName::sessionID, *sessionID_);
    }
    return HTTPResponse::ok(std::move(headers));
}

// --- Routing ---------------------------------------------------------------------------------

void StatefulHTTPServerTransport::route(HTTPEventStore::StreamKey key, const std::string& streamID,
                                        std::string message) {
    std::string eventID = store_.store(key, streamID, message);
    auto state = streams_.find(key);
    if (state != streams_.end() && state->second.source) {
        if (deliver(state->second, SSEEvent::message(std::move(eventID), message).formatted())) {
            return;
        }
        // Its reader is gone or too slow: the event waits in the store.
        if (key == HTTPEventStore::kStandaloneStream && !state->second.source) {
            streams_.erase(state);  // a new GET may open the standalone stream again
            return;
        }
    }
    if (key == HTTPEventStore::kStandaloneStream) {
        logger_.debug("No standalone GET stream connected, message stored for replay");
    } else {
        logger_.debug("No active stream for request, message stored for replay",
                      [&] { return logging::Metadata{{"requestID", streamID}}; });
    }
}

bool StatefulHTTPServerTransport::deliver(StreamState& state, std::string chunk) {
    // The source's buffer is first in, first out: the chunks still in it are the newest ones.
    const std::size_t waiting = state.source->buffered();
    while (state.queued.size() > waiting) {
        state.queuedBytes -= state.queued.front();
        state.queued.pop_front();
    }
    if (!state.queued.empty() && state.queuedBytes + chunk.size() > maxQueuedBytesPerStream_) {
        logger_.warning("Event stream reader is too slow; its stream is ended and later events "
                        "are stored for resumption",
                        [&] {
                            return logging::Metadata{
                                {"queuedBytes", std::to_string(state.queuedBytes)}};
                        });
        state.source->finish();
        state.source.reset();
        state.queued.clear();
        state.queuedBytes = 0;
        return false;
    }
    const std::size_t size = chunk.size();
    if (!state.source->yield(std::move(chunk))) {
        state.source.reset();
        return false;
    }
    state.queued.push_back(size);
    state.queuedBytes += size;
    return true;
}

void StatefulHTTPServerTransport::routeResponse(const ID& id, std::string message) {
    auto found = requestStreams_.find(id);
    if (found == requestStreams_.end()) {
        logger_.debug("No active stream for request, response dropped",
                      [&] { return logging::Metadata{{"requestID", id.description()}}; });
        return;  // no request of that id is in flight: no stream to store it under
    }
    const HTTPEventStore::StreamKey key = found->second;
    route(key, id.description(), std::move(message));
    closeRequestStream(id);
}

void StatefulHTTPServerTransport::closeRequestStream(const ID& id) {
    auto found = requestStreams_.find(id);
    if (found == requestStreams_.end()) {
        return;
    }
    auto state = streams_.find(found->second);
    if (state != streams_.end()) {
        if (state->second.source) {
            state->second.source->finish();
        }
        streams_.erase(state);
    }
    store_.endStream(found->second);
    requestStreams_.erase(found);
    httpRequestContexts_.erase(id);
}

void StatefulHTTPServerTransport::detach(HTTPEventStore::StreamKey key, std::uint64_t attachment) {
    Lock lock(mutex_);
    auto state = streams_.find(key);
    if (state == streams_.end() || state->second.attachment != attachment) {
        return;  // ended already, or replaced by a newer reader
    }
    state->second.source.reset();
    logger_.debug("Event stream reader went away; later events are stored for replay");
    if (key == HTTPEventStore::kStandaloneStream) {
        streams_.erase(state);
    }
}

// --- Session ---------------------------------------------------------------------------------

void StatefulHTTPServerTransport::terminate() {
    Lock lock(mutex_);
    terminateLocked(lock);
}

void StatefulHTTPServerTransport::terminateLocked(Lock& lock) {
    (void)lock;
    if (terminated_) {
        return;
    }
    terminated_ = true;
    logger_.info("Terminating session",
                 [&] { return logging::Metadata{{"sessionID", sessionID_.value_or("none")}}; });
    for (auto& [key, state] : streams_) {
        if (state.source) {
            state.source->finish();
        }
    }
    streams_.clear();
    requestStreams_.clear();
    httpRequestContexts_.clear();
    store_.clear();
    incoming_.finish();
}

std::optional<std::string> StatefulHTTPServerTransport::sessionID() const {
    Lock lock(mutex_);
    return sessionID_;
}

bool StatefulHTTPServerTransport::isTerminated() const {
    Lock lock(mutex_);
    return terminated_;
}

std::size_t StatefulHTTPServerTransport::openStreamCount() const {
    Lock lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        streams_.begin(), streams_.end(), [](const auto& entry) { return entry.second.source; }));
}

HTTPHeaders StatefulHTTPServerTransport::streamHeaders() const {
    HTTPHeaders headers;
    if (sessionID_) {
        headers.set(HTTPHeaderName::sessionID, *sessionID_);
    }
    headers.set(HTTPHeaderName::contentType, "text/event-stream");
    headers.set(HTTPHeaderName::cacheControl, "no-cache, no-transform");
    headers.set(HTTPHeaderName::connection, "keep-alive");
    return headers;
}

HTTPResponse StatefulHTTPServerTransport::refuse(int status, MCPError error,
                                                 HTTPHeaders extra) const {
    return HTTPResponse::error(status, std::move(error), sessionID_, std::move(extra));
}

}  // namespace mcp
