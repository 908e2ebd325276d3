// The HTTP client transport's state, connection and POST exchange: building requests, the
// authorizer's challenges, and what each answer's status and content type lead to.
#include "MCP/HTTP/HTTPClientTransport.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/detached.hpp>

#include "Logging/NoOpLogHandler.h"
#include "MCP/Core/detail/ErrorText.h"
#include "MCP/HTTP/HTTPResponse.h"
#include "MCP/JSON/JsonElement.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/Messages/MCPError.h"
#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/detail/ASCIIText.h"

namespace mcp {

namespace asio = boost::asio;
using detail::describeError;

namespace {

// Runs a step of the authorizer; its failure becomes "Authorization flow failed: ..." (a
// cancellation stays what it is).
template <class T>
asio::awaitable<T> authorizing(asio::awaitable<T> step) {
    std::exception_ptr failure;
    try {
        co_return co_await std::move(step);
    } catch (...) {
        failure = std::current_exception();
    }
    if (detail::isOperationAborted(failure)) {
        std::rethrow_exception(failure);
    }
    throw MCPError::internalError("Authorization flow failed: " + describeError(failure));
}

asio::awaitable<void> validateAndPrepare(HTTPClientAuthorizer& authorizer, URL endpoint,
                                         fw::http::Client& session) {
    authorizer.validateEndpoint(endpoint);
    co_await authorizer.prepareAuthorization(std::move(endpoint), session);
}

}  // namespace

HTTPClientTransport::HTTPClientTransport(asio::any_io_executor executor, URL endpoint,
                                         Configuration configuration, bool streaming,
                                         std::optional<std::string> protocolVersion,
                                         double sseInitializationTimeout,
                                         std::shared_ptr<HTTPClientAuthorizer> authorizer,
                                         RequestModifier requestModifier,
                                         std::optional<logging::Logger> logger)
    : logger_(logger ? std::move(*logger)
                     : logging::Logger("mcp.transport.http.client", logging::NoOpLogHandler())),
      strand_(asio::make_strand(executor)),
      endpoint_(std::move(endpoint)),
      configuration_(std::move(configuration)),
      session_(strand_, configuration_.http),
      streaming_(streaming),
      sseInitializationTimeout_(sseInitializationTimeout),
      authorizer_(std::move(authorizer)),
      requestModifier_(std::move(requestModifier)),
      protocolVersion_(std::move(protocolVersion)),
      initialSessionIDTimer_(strand_) {
    auto [stream, source] = MessageStream::make();
    messageStream_.emplace(std::move(stream));
    messageContinuation_.emplace(std::move(source));
}

HTTPClientTransport::~HTTPClientTransport() = default;

MessageStream HTTPClientTransport::receive() { return MessageStream::takeOnce(messageStream_); }

asio::awaitable<std::optional<std::string>> HTTPClientTransport::sessionID() {
    return onStrand(strand_, [self = shared_from_this()]()
                                 -> asio::awaitable<std::optional<std::string>> {
        co_return self->sessionID_;
    });
}

asio::awaitable<std::optional<std::string>> HTTPClientTransport::protocolVersion() {
    return onStrand(strand_, [self = shared_from_this()]()
                                 -> asio::awaitable<std::optional<std::string>> {
        co_return self->protocolVersion_;
    });
}

asio::awaitable<void> HTTPClientTransport::setProtocolVersion(std::optional<std::string> version) {
    return onStrand(strand_, [self = shared_from_this(),
                              version = std::move(version)]() mutable -> asio::awaitable<void> {
        self->protocolVersion_ = std::move(version);
        co_return;
    });
}

asio::awaitable<void> HTTPClientTransport::useProtocolVersion(std::string version) {
    co_await setProtocolVersion(std::move(version));
}

// --- Connection ---------------------------------------------------------------------------------

asio::awaitable<void> HTTPClientTransport::connect() {
    return onStrand(strand_, [self = shared_from_this()]() -> asio::awaitable<void> {
        co_await self->connectOnStrand();
    });
}

asio::awaitable<void> HTTPClientTransport::connectOnStrand() {
    if (isConnected_) {
        co_return;
    }
    isConnected_ = true;
    if (streaming_ && !streamingStarted_) {
        streamingStarted_ = true;
        asio::co_spawn(strand_, startListeningForServerEvents(shared_from_this()),
                       asio::bind_cancellation_slot(streamingSignal_.slot(), asio::detached));
    }
    logger_.debug("HTTP transport connected");
}

asio::awaitable<void> HTTPClientTransport::disconnect() {
    return onStrand(strand_, [self = shared_from_this()]() -> asio::awaitable<void> {
        co_await self->disconnectOnStrand();
    });
}

asio::awaitable<void> HTTPClientTransport::disconnectOnStrand() {
    if (!isConnected_) {
        co_return;
    }
    isConnected_ = false;
    stopStreaming();
    co_await endSession();
    session_.shutdown();
    messageContinuation_->finish();
    // Ends a wait for the first session id.
    initialSessionIDSignalled_ = true;
    initialSessionIDTimer_.cancel();
    for (auto* timer : sleeping_) {
        timer->cancel();
    }
    logger_.debug("HTTP clienttransport disconnected");
}

asio::awaitable<void> HTTPClientTransport::endSession() {
    if (!sessionID_) {
        co_return;
    }
    // Ends the session on the server, so that it does not hold it until it expires. Best effort:
    // a short wait, no authorization flow, and no failure of disconnect().
    fw::http::Request request;
    request.method = "DELETE";
    request.url = endpoint_.absoluteString();
    if (protocolVersion_) {
        request.headers.set(HTTPHeaderName::protocolVersion, *protocolVersion_);
    }
    request.headers.set(HTTPHeaderName::sessionID, *sessionID_);
    request = finish(std::move(request));
    const auto limit = std::min<std::chrono::milliseconds>(configuration_.requestTimeout,
                                                           kSessionEndTimeout);
    request.connectTimeout = limit;
    request.idleTimeout = limit;
    try {
        fw::http::Response response = co_await session_.send(std::move(request));
        if (response.status >= 300 && response.status != 404 && response.status != 405) {
            logger_.debug("The server did not end the session",
                          [&] { return logging::Metadata{{"status", std::to_string(response.status)}}; });
        }
    } catch (...) {
        logger_.debug("The session could not be ended",
                      [&] { return logging::Metadata{{"error", describeError(std::current_exception())}}; });
    }
    sessionID_.reset();
}

void HTTPClientTransport::stopStreaming() {
    if (streamingStopped_) {
        return;
    }
    streamingStopped_ = true;
    streamingSignal_.emit(asio::cancellation_type::terminal);
    cancelActiveGET();
}

void HTTPClientTransport::cancelActiveGET() {
    if (auto active = std::exchange(activeGET_, nullptr)) {
        active->emit(asio::cancellation_type::terminal);
    }
}

// --- Requests -----------------------------------------------------------------------------------

fw::http::Request HTTPClientTransport::makePost(const std::string& message) const {
    fw::http::Request request;
    request.method = "POST";
    request.url = endpoint_.absoluteString();
    request.headers.set(HTTPHeaderName::accept, "application/json, text/event-stream");
    request.headers.set(HTTPHeaderName::contentType, "application/json");
    request.body = message;
    if (protocolVersion_) {
        request.headers.set(HTTPHeaderName::protocolVersion, *protocolVersion_);
    }
    if (sessionID_) {
        request.headers.set(HTTPHeaderName::sessionID, *sessionID_);
    }
    return finish(std::move(request));
}

fw::http::Request HTTPClientTransport::finish(fw::http::Request request) const {
    request.connectTimeout = configuration_.requestTimeout;
    request.idleTimeout = configuration_.requestTimeout;
    // Within the endpoint's origin only: credentials never follow a redirect elsewhere.
    request.followSameOriginRedirects = true;
    if (authorizer_) {
        if (auto authorization = authorizer_->authorizationHeader(endpoint_)) {
            request.headers.set(HTTPHeaderName::authorization, *authorization);
        }
    }
    return requestModifier_ ? requestModifier_(std::move(request)) : request;
}

asio::awaitable<void> HTTPClientTransport::prepareAuthorization() {
    if (!authorizer_) {
        co_return;
    }
    co_await authorizing(validateAndPrepare(*authorizer_, endpoint_, session_));
}

// --- POST exchange ------------------------------------------------------------------------------

asio::awaitable<void> HTTPClientTransport::send(std::string message) {
    return onStrand(strand_, [self = shared_from_this(),
                              message = std::move(message)]() mutable -> asio::awaitable<void> {
        co_await self->sendOnStrand(std::move(message));
    });
}

asio::awaitable<void> HTTPClientTransport::sendOnStrand(std::string message) {
    if (!isConnected_) {
        throw MCPError::internalError("Transport not connected");
    }
    co_await prepareAuthorization();
    // The method is needed only when a challenge comes, so the body is parsed only then.
    std::optional<std::optional<std::string>> method;
    const std::optional<ID> awaited = requestID(message);
    for (int attempt = 0;; ++attempt) {
        std::optional<HTTPAuthenticationChallengeError> challenge;
        fw::http::Request request = makePost(message);
        // What a refusal refuses: the authorizer may have a newer token by the time it hears.
        std::optional<std::string> sentAuthorization =
            request.headers.get(HTTPHeaderName::authorization);
        try {
            fw::http::Response response = co_await session_.send(std::move(request));
            co_await processResponse(std::move(response), awaited);
            co_return;
        } catch (const HTTPAuthenticationChallengeError& error) {
            challenge = error;
        }
        const std::string refusal = authorizationFailureMessage(challenge->statusCode);
        if (!authorizer_) {
            throw MCPError::internalError(refusal);
        }
        if (!method) {
            method = jsonRPCMethod(message);
        }
        const bool retry = co_await authorizing(authorizer_->handleChallenge(
            static_cast<int>(challenge->statusCode), std::move(challenge->headers), endpoint_,
            *method, std::move(sentAuthorization), session_));
        if (!retry || attempt + 1 >= authorizer_->maxAuthorizationAttempts()) {
            throw MCPError::internalError(refusal);
        }
    }
}

void HTTPClientTransport::sessionExpired() {
    logger_.warning("Session has expired");
    sessionID_.reset();
    // Nothing more can come on the GET stream of a session that is gone, and without a session
    // id its reconnections would be refused for ever.
    stopStreaming();
    throw MCPError::internalError("Session expired");
}

void HTTPClientTransport::takeSessionID(const fw::http::Headers& headers) {
    const std::string* value = headers.find(HTTPHeaderName::sessionID);
    if (!value) {
        return;
    }
    const bool first = !sessionID_;
    sessionID_ = *value;
    if (first) {
        triggerInitialSessionIDSignal();
    }
    logger_.debug("Session ID received", [&] { return logging::Metadata{{"sessionID", *value}}; });
}

asio::awaitable<void> HTTPClientTransport::processResponse(fw::http::Response response,
                                                           const std::optional<ID>& awaited) {
    const std::string contentType =
        response.headers.get(HTTPHeaderName::contentType).value_or(std::string());
    takeSessionID(response.headers);
    processHTTPResponse(response, contentType);

    if (contentType.find("text/event-stream") != std::string::npos) {
        logger_.trace("Received SSE response, processing in streaming task");
        const bool hadData = co_await processPostEventStream(std::move(response.body), awaited);
        if (!hadData) {
            logger_.debug("POST SSE stream closed without data, triggering GET reconnection");
            cancelActiveGET();
        }
    } else if (contentType.find("application/json") != std::string::npos) {
        std::string data = co_await response.body.readAll();
        logger_.trace("Received JSON response", [&] {
            return logging::Metadata{{"size", std::to_string(data.size())}};
        });
        const bool answers = !awaited || responseID(data) == awaited;
        messageContinuation_->yield(std::move(data));
        if (!answers) {
            throw MCPError::internalError("The server's answer to request " +
                                          awaited->description() + " is not its response.");
        }
    } else {
        logger_.warning([&] { return "Unexpected content type: " + contentType; });
    }
}

void HTTPClientTransport::processHTTPResponse(const fw::http::Response& response,
                                              const std::string& contentType) {
    const int status = response.status;
    if (status >= 200 && status <= 299) {
        return;
    }
    switch (status) {
    case 400: throw MCPError::internalError("Bad request");
    case 401:
    case 403:
        throw HTTPAuthenticationChallengeError(
            status, std::map<std::string, std::string>(response.headers.begin(),
                                                        response.headers.end()));
    case 404:
        if (sessionID_) {
            sessionExpired();
        }
        throw MCPError::internalError("Endpoint not found");
    case 405:
        if (streaming_) {
            stopStreaming();
            throw MCPError::internalError("Server does not support streaming");
        }
        throw MCPError::internalError("Method not allowed");
    case 408: throw MCPError::internalError("Request timeout");
    case 429: throw MCPError::internalError("Too many requests");
    default: break;
    }
    if (status >= 500 && status <= 599) {
        throw MCPError::internalError("Server error: " + std::to_string(status));
    }
    throw MCPError::internalError("Unexpected HTTP response: " + std::to_string(status) + " (" +
                                  contentType + ")");
}

// --- Helpers ------------------------------------------------------------------------------------

std::optional<std::string> HTTPClientTransport::jsonRPCMethod(std::string_view message) {
    auto parsed = tryParseJson(message);
    const Object* object = parsed ? parsed->objectValue() : nullptr;
    if (!object || object->empty()) {
        return std::nullopt;
    }
    const Value* member = object->find("method");
    const std::string* text = member ? member->stringValue() : nullptr;
    if (!text) {
        return std::nullopt;
    }
    std::string_view method = asciiTrimmed(*text);
    if (method.empty()) {
        return std::nullopt;
    }
    return std::string(method);
}

namespace {

// The "id" member of a message of the given form: beside a text "method" (request), or beside
// "result" or "error" (response).
enum class MessageForm { request, response };

std::optional<ID> idOf(std::string_view message, MessageForm form) {
    std::optional<ID> id;
    visitJson(message, [&](const JsonElement& root) {
        if (root.kind() != JsonElement::Kind::object) {
            return;
        }
        if (form == MessageForm::request) {
            auto method = root.find("method");
            if (!method || !method->string()) {
                return;
            }
        } else if (!root.find("result") && !root.find("error")) {
            return;
        }
        auto member = root.find("id");
        if (!member) {
            return;
        }
        if (auto text = member->string()) {
            id.emplace(*text);
        } else if (auto number = member->integer()) {
            id.emplace(*number);
        }
    });
    return id;
}

}  // namespace

std::optional<ID> HTTPClientTransport::requestID(std::string_view message) {
    return idOf(message, MessageForm::request);
}

std::optional<ID> HTTPClientTransport::responseID(std::string_view message) {
    return idOf(message, MessageForm::response);
}

std::string HTTPClientTransport::authorizationFailureMessage(std::int64_t statusCode) {
    return statusCode == 403 ? "Access forbidden" : "Authentication required";
}

}  // namespace mcp
