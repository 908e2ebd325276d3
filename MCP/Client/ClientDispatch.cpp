// The client's inbound dispatch: responses and batches of responses end waiting requests,
// notifications go to their handlers in arrival order, and each request of the server runs in a
// task of its own and is always answered.

#include <boost/asio/bind_cancellation_slot.hpp>
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

void Client::dispatch(std::string_view element) {
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
        return;
    }
    ReceivedMessage& message = *received;
    if (auto* response = std::get_if<Response<AnyMethod>>(&message)) {
        handleResponse(std::move(*response));
        return;
    }
    if (auto* notification = std::get_if<Message<AnyNotification>>(&message)) {
        enqueueNotification(std::move(*notification));
        return;
    }
    if (auto* request = std::get_if<Request<AnyMethod>>(&message)) {
        startIncomingRequest(std::move(*request));
        return;
    }
    if (auto* batch = std::get_if<BatchMessage>(&message)) {
        // Each member that reads as an answer reaches its caller, whatever the others hold.
        std::vector<Response<AnyMethod>> responses;
        responses.reserve(batch->elements.size());
        std::vector<std::string> undecodable;
        for (Value& member : batch->elements) {
            try {
                responses.push_back(Response<AnyMethod>::fromValue(std::move(member)));
            } catch (const DecodingError&) {
                // Decoding reads the member in place: it is still whole here.
                undecodable.push_back(toJson(member));
            }
        }
        if (!responses.empty()) {
            for (const std::string& member : undecodable) {
                logEvent(logging::Level::warning,
                         "Dropped a member of a batch answer that is not a response", [&] {
                             return logging::Metadata{{"message", member}};
                         });
            }
            handleBatchResponse(std::move(responses));
            return;
        }
    }
    logEvent(logging::Level::warning,
             "Unexpected message received by client (not single/batch response or notification)",
             [&] { return unexpectedMessageMetadata(element); });
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

void Client::enqueueNotification(Message<AnyNotification> message) {
    if (queuedNotifications_.size() >= kMaxQueuedNotifications) {
        // The loop must go on reading: the answers the handlers wait for come the same way.
        logEvent(logging::Level::warning,
                 "Notification dropped: too many notifications wait for their handlers", [&] {
                     return logging::Metadata{{"method", message.method}};
                 });
        return;
    }
    queuedNotifications_.push_back(std::move(message));
    if (!std::exchange(notificationsRunning_, true)) {
        asio::co_spawn(strand_, runQueuedNotifications(shared_from_this()), asio::detached);
    }
}

asio::awaitable<void> Client::runQueuedNotifications(std::shared_ptr<Client> self) {
    (void)self;  // the queue's task keeps the client alive
    while (!queuedNotifications_.empty()) {
        Message<AnyNotification> message = std::move(queuedNotifications_.front());
        queuedNotifications_.pop_front();
        co_await handleMessage(std::move(message));
    }
    notificationsRunning_ = false;
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
        // A server that floods the client is refused rather than given unbounded tasks: the
        // refusals queue for one task that sends them, and beyond a bound are dropped too.
        if (queuedRefusals_.size() >= kMaxQueuedNotifications) {
            logEvent(logging::Level::warning, "Server request dropped: too many refusals wait",
                     [&] {
                         return logging::Metadata{{"id", request.id.description()}};
                     });
            return;
        }
        queuedRefusals_.push_back(responseText(Response<AnyMethod>{
            std::move(request.id), MCPError::internalError("Too many requests in progress")}));
        if (!std::exchange(refusalsRunning_, true)) {
            asio::co_spawn(strand_, sendQueuedRefusals(self), asio::detached);
        }
        return;
    }
    ++runningServerRequests_;
    auto run = std::make_shared<ServerRequestRun>();
    // A later request under the same id is the one a cancellation then reaches.
    serverRequestRuns_.insert_or_assign(request.id, run);
    ID id = request.id;
    // A task of its own: a handler that asks the server something needs the loop to read the
    // answer meanwhile.
    asio::co_spawn(strand_, handleIncomingRequest(self, std::move(request), run),
                   asio::bind_cancellation_slot(
                       run->signal.slot(), [self, run, id = std::move(id)](std::exception_ptr) {
                           --self->runningServerRequests_;
                           auto found = self->serverRequestRuns_.find(id);
                           if (found != self->serverRequestRuns_.end() && found->second == run) {
                               self->serverRequestRuns_.erase(found);
                           }
                       }));
}

asio::awaitable<void> Client::sendQueuedRefusals(std::shared_ptr<Client> self) {
    (void)self;
    while (!queuedRefusals_.empty()) {
        std::string text = std::move(queuedRefusals_.front());
        queuedRefusals_.pop_front();
        try {
            co_await sendTextOnStrand(std::move(text));
        } catch (...) {
            // Gone with the connection: the server waits for nothing any more.
        }
    }
    refusalsRunning_ = false;
}

void Client::cancelServerRequest(const ID& id) {
    auto found = serverRequestRuns_.find(id);
    if (found == serverRequestRuns_.end()) {
        return;  // answered already, or never seen
    }
    std::shared_ptr<ServerRequestRun> run = std::move(found->second);
    serverRequestRuns_.erase(found);
    run->cancelled = true;
    run->signal.emit(asio::cancellation_type::terminal);
}

asio::awaitable<void> Client::handleIncomingRequest(std::shared_ptr<Client> self,
                                                    Request<AnyMethod> request,
                                                    std::shared_ptr<ServerRequestRun> run) {
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
            if (!run->cancelled) {
                co_await sendResponse(response);
            }
        } catch (...) {
            failure = std::current_exception();
        }
        if (run->cancelled) {
            // The server withdrew the request: it waits for no answer.
            logEvent(logging::Level::debug, "Server request cancelled; no answer is sent", [&] {
                return logging::Metadata{{"id", id.description()}};
            });
            co_return;
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
