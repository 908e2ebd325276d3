// The client's inbound dispatch: responses and batches of responses end waiting requests,
// notifications go to their handlers in arrival order, and each request of the server runs in a
// task of its own and is always answered.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include "MCP/Client/Client.h"
#include "MCP/Client/ClientInternal.h"
#include "MCP/JSON/JsonElement.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/Messages/MessageClassification.h"
#include "MCP/Messages/UnknownMethod.h"
#include "MCP/Messages/detail/ParsedEnvelope.h"

namespace mcp {

namespace asio = boost::asio;

namespace {

// The metadata of an unexpected message: its text when it is valid UTF-8, else nothing.
logging::Metadata unexpectedMessageMetadata(std::string_view element) {
    try {
        std::string ignored;
        appendJsonString(ignored, element);
    } catch (const EncodingError&) {
        return {};
    }
    return logging::Metadata{{"message", std::string(element)}};
}

// The outcome a response brings its waiter.
PendingOutcome outcomeOf(Response<AnyMethod>&& response) {
    if (Value* result = response.success()) {
        return PendingOutcome(std::move(*result));
    }
    return PendingOutcome(std::make_exception_ptr(*response.failure()));
}

}  // namespace

std::optional<asio::awaitable<void>> Client::dispatch(std::string_view element) {
    // The usual message, an answer to a typed request, goes to its waiter straight from the
    // parse; anything else is read as a whole, from the same parse.
    std::optional<ReceivedMessage> received;
    const bool parsed = visitJson(element, [&](const JsonElement& root) {
        if (!handleParsedResponse(root)) {
            received.emplace(classifyMessage(root.toValue()));
        }
    });
    if (!parsed) {
        // Invalid, or a number only the slower reader takes.
        received.emplace(classifyMessage(element));
    }
    if (!received) {
        return std::nullopt;
    }
    ReceivedMessage& message = *received;
    if (auto* response = std::get_if<Response<AnyMethod>>(&message)) {
        handleResponse(std::move(*response));
        return std::nullopt;
    }
    if (auto* notification = std::get_if<Message<AnyNotification>>(&message)) {
        return handleMessage(std::move(*notification));
    }
    if (auto* request = std::get_if<Request<AnyMethod>>(&message)) {
        startIncomingRequest(std::move(*request));
        return std::nullopt;
    }
    if (auto* batch = std::get_if<BatchMessage>(&message)) {
        std::vector<Response<AnyMethod>> responses;
        responses.reserve(batch->elements.size());
        bool allResponses = true;
        for (Value& member : batch->elements) {
            try {
                responses.push_back(Response<AnyMethod>::fromValue(std::move(member)));
            } catch (const DecodingError&) {
                allResponses = false;
                break;
            }
        }
        if (allResponses) {
            handleBatchResponse(std::move(responses));
            return std::nullopt;
        }
    }
    logEvent(logging::Level::warning,
             "Unexpected message received by client (not single/batch response or notification)",
             [&] { return unexpectedMessageMetadata(element); });
    return std::nullopt;
}

bool Client::handleParsedResponse(const JsonElement& message) {
    // What classifyMessage() reads as a successful response: an object whose last "jsonrpc" is
    // "2.0", whose last "id" reads as an ID, with a "result" (then taken whatever else is there).
    // Ids of other kinds, and error responses, are left to it.
    const detail::ParsedEnvelope envelope(message);
    if (!envelope.id || !envelope.result || !envelope.hasVersion()) {
        return false;
    }
    std::optional<ID> id = detail::plainID(*envelope.id);
    if (!id) {
        return false;
    }
    answerPendingRequest(*id, PendingOutcome(ParsedResult{&*envelope.result}));
    return true;
}

void Client::handleResponse(Response<AnyMethod> response) {
    answerPendingRequest(response.id, outcomeOf(std::move(response)));
}

void Client::answerPendingRequest(const ID& id, PendingOutcome&& outcome) {
    logEvent(logging::Level::trace, "Processing response", [&] {
        return logging::Metadata{{"id", id.description()}};
    });
    if (auto pending = removePendingRequest(id)) {
        pending->resume(std::move(outcome));
        return;
    }
    logEvent(logging::Level::warning, "Attempted to handle response for already removed request",
             [&] {
                 return logging::Metadata{{"id", id.description()}};
             });
}

void Client::handleBatchResponse(std::vector<Response<AnyMethod>> responses) {
    logEvent(logging::Level::trace, "Processing batch response", [&] {
        return logging::Metadata{{"count", std::to_string(responses.size())}};
    });
    for (auto& response : responses) {
        if (auto pending = removePendingRequest(response.id)) {
            pending->resume(outcomeOf(std::move(response)));
            continue;
        }
        logEvent(logging::Level::warning,
                 "Received response in batch for unknown or already handled request ID", [&] {
                     return logging::Metadata{{"id", response.id.description()}};
                 });
    }
}

asio::awaitable<void> Client::handleMessage(Message<AnyNotification> message) {
    logEvent(logging::Level::trace, "Processing notification", [&] {
        return logging::Metadata{{"method", message.method}};
    });
    const auto handlers = notificationHandlers(message.method);
    // Named, not a temporary: g++ 12 mishandles temporaries inside a co_await expression.
    const std::function<void(const std::string&)> logFailure = [&](const std::string& description) {
        logEvent(logging::Level::error, "Error handling notification", [&] {
            return logging::Metadata{{"method", message.method}, {"error", description}};
        });
    };
    co_await runNotificationHandlers(handlers, message, logFailure);
}

void Client::startIncomingRequest(Request<AnyMethod> request) {
    logEvent(logging::Level::trace, "Processing incoming request from server", [&] {
        return logging::Metadata{{"method", request.method}, {"id", request.id.description()}};
    });
    auto self = shared_from_this();
    if (runningServerRequests_ >= configuration().maxConcurrentRequests) {
        // A server that floods the client is refused rather than given unbounded tasks.
        asio::co_spawn(
            strand_,
            [self, id = std::move(request.id)]() -> asio::awaitable<void> {
                try {
                    Response<AnyMethod> refused{
                        id, MCPError::internalError("Too many requests in progress")};
                    co_await self->sendResponse(refused);
                } catch (...) {
                }
            },
            asio::detached);
        return;
    }
    ++runningServerRequests_;
    // A task of its own: a handler that asks the server something needs the loop to read the
    // answer meanwhile.
    asio::co_spawn(strand_, handleIncomingRequest(self, std::move(request)),
                   [self](std::exception_ptr) { --self->runningServerRequests_; });
}

asio::awaitable<void> Client::handleIncomingRequest(std::shared_ptr<Client> self,
                                                    Request<AnyMethod> request) {
    (void)self;
    std::shared_ptr<RequestHandlerBox> box = requestHandler(request.method);
    std::optional<Response<AnyMethod>> refusal;
    if (!box) {
        logEvent(logging::Level::warning, "No handler registered for method", [&] {
            return logging::Metadata{{"method", request.method}};
        });
        refusal.emplace(Response<AnyMethod>{request.id, unknownMethodError(request.method)});
    }
    const ID id = request.id;
    std::exception_ptr failure;
    if (refusal) {
        try {
            co_await sendResponse(*refusal);
        } catch (...) {
            failure = std::current_exception();
        }
    } else {
        try {
            Response<AnyMethod> response = co_await box->handle(std::move(request));
            co_await sendResponse(response);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            // The handler failed, or its answer could not be sent: one more try with the error.
            try {
                Response<AnyMethod> refused{id, detail::toMCPError(failure)};
                co_await sendResponse(refused);
                failure = nullptr;
            } catch (...) {
                failure = std::current_exception();
            }
        }
    }
    if (failure) {
        const std::string description = detail::describeError(failure);
        logEvent(logging::Level::error, "Failed to send error response", [&] {
            return logging::Metadata{{"error", description}};
        });
    }
}

asio::awaitable<void> Client::sendResponse(const Response<AnyMethod>& response) {
    std::string text = responseText(response);
    co_await sendTextOnStrand(std::move(text));
}

}  // namespace mcp
