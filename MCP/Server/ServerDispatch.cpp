// The server's dispatch: telling received messages apart and handing batches, requests,
// notifications and responses to their handlers. Everything here runs on the server's strand,
// request handlers included.

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "MCP/JSON/JsonElement.h"
#include "MCP/Messages/MessageClassification.h"
#include "MCP/Messages/UnknownMethod.h"
#include "MCP/Messages/detail/ParsedEnvelope.h"
#include "MCP/Server/Server.h"
#include "MCP/Server/ServerInternal.h"

namespace mcp {

namespace asio = boost::asio;

namespace {

// What classifyMessage() reads as a request, made straight from the parse when it is the usual
// one: an object without "result" and "error" whose last "jsonrpc" is "2.0", whose last "id" is a
// text or an integer and whose last "method" is a text; its "params" become the request's Value
// (absent: null). Anything else is left to classifyMessage().
std::optional<Request<AnyMethod>> plainRequest(const JsonElement& message) {
    const detail::ParsedEnvelope envelope(message);
    if (!envelope.id || !envelope.method || envelope.result || envelope.error ||
        !envelope.hasVersion()) {
        return std::nullopt;
    }
    std::optional<std::string_view> method = envelope.method->string();
    std::optional<ID> id = detail::plainID(*envelope.id);
    if (!method || !id) {
        return std::nullopt;
    }
    return Request<AnyMethod>{std::move(*id), std::string(*method),
                              envelope.params ? envelope.params->toValue() : Value()};
}

}  // namespace

std::optional<asio::awaitable<void>> Server::dispatchElement(std::string_view element) {
    // Read from one parse: the usual request straight from it, anything else as a whole.
    std::optional<ReceivedMessage> received;
    const bool parsed = visitJson(element, [&](const JsonElement& root) {
        if (std::optional<Request<AnyMethod>> request = plainRequest(root)) {
            received.emplace(std::move(*request));
        } else {
            received.emplace(classifyMessage(root.toValue()));
        }
    });
    if (!parsed) {
        // Invalid, or a number only the slower reader takes.
        received.emplace(classifyMessage(element));
    }
    ReceivedMessage& message = *received;
    if (auto* request = std::get_if<Request<AnyMethod>>(&message)) {
        return startRequest(std::move(*request));
    }
    if (auto* notification = std::get_if<Message<AnyNotification>>(&message)) {
        return handleNotificationElement(std::move(*notification));
    }
    if (auto* response = std::get_if<Response<AnyMethod>>(&message)) {
        handleResponse(std::move(*response));
        return std::nullopt;
    }
    if (auto* batch = std::get_if<BatchMessage>(&message)) {
        std::optional<ServerBatch> items;
        try {
            items = ServerBatch::fromValue(Value(std::move(batch->elements)));
        } catch (const DecodingError&) {
        }
        if (!items) {
            // An array is no response, request or notification either.
            return reportElementFailure(MCPError::parseError("Invalid message format"),
                                        std::nullopt);
        }
        return startBatch(std::move(*items));
    }
    auto& invalid = std::get<InvalidMessage>(message);
    return reportElementFailure(std::move(invalid.error), std::move(invalid.id));
}

asio::awaitable<void> Server::handleNotificationElement(Message<AnyNotification> message) {
    std::exception_ptr failure;
    try {
        co_await handleMessage(std::move(message));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // A notification is never answered, not even with an error.
        const std::string description = detail::describeError(failure);
        logEvent(logging::Level::error, "Error processing message", [&] {
            return logging::Metadata{{"error", description}};
        });
    }
}

asio::awaitable<void> Server::reportElementFailure(MCPError error, std::optional<ID> id) {
    logEvent(logging::Level::error, "Error processing message", [&] {
        return logging::Metadata{{"error", std::string(error.what())}};
    });
    try {
        co_await sendErrorAnswer(error, std::move(id));
    } catch (...) {
        // The peer cannot be told; the loop goes on.
    }
}

asio::awaitable<void> Server::sendErrorAnswer(const MCPError& error, std::optional<ID> id) {
    std::string bytes = errorAnswerText(error, id);
    std::optional<Transport::Answer> answered(Transport::Answer{std::move(id), true});
    co_await sendOnStrand(std::move(bytes), std::move(answered));
}

bool Server::admits(std::string_view method, bool strict) const {
    // Strict servers take nothing but the handshake before it is done.
    return !strict || method == Initialize::name || method == Ping::name || client_.isInitialized;
}

std::optional<asio::awaitable<void>> Server::startRequest(Request<AnyMethod> request) {
    const Configuration configuration = this->configuration();
    if (runningRequests_ >= configuration.maxConcurrentRequests) {
        // Answered by the loop itself, which reads nothing more until the answer is out: a client
        // that floods the server and never reads holds it up instead of making it hold the
        // answers.
        return refuseOverLimit(std::move(request.id));
    }
    ++runningRequests_;
    std::shared_ptr<RequestHandlerBox> box;
    if (admits(request.method, configuration.strict)) {
        box = servingHandler(request.method);
    }
    if (!box || !connection_) {
        // Answered by the server itself, with an error.
        auto self = shared_from_this();
        asio::co_spawn(strand_, runRequest(self, std::move(request)),
                       [self](std::exception_ptr) { --self->runningRequests_; });
        return std::nullopt;
    }
    logEvent(logging::Level::trace, "Processing request", [&] {
        return logging::Metadata{{"method", request.method}, {"id", request.id.description()}};
    });

    // Each request is served by a task of its own, taken from the idle workers when one waits.
    auto running = recordRunningRequest(request.id, request.method);
    handToWorker(RequestJob{std::move(box), std::move(request), std::move(running), connection_});
    return std::nullopt;
}

std::shared_ptr<Server::RunningRequest> Server::recordRunningRequest(const ID& id,
                                                                     const std::string& method) {
    auto running = std::make_shared<RunningRequest>(id, method);
    pendingRequestTasks_.push_back(running);
    return running;
}

void Server::forgetRunningRequest(const std::shared_ptr<RunningRequest>& running) {
    // Only this request's entry goes: another request under the same id keeps its own.
    for (auto entry = pendingRequestTasks_.rbegin(); entry != pendingRequestTasks_.rend();
         ++entry) {
        if (*entry == running) {
            std::swap(*entry, pendingRequestTasks_.back());
            pendingRequestTasks_.pop_back();
            return;
        }
    }
}

void Server::cancelRunningRequest(RunningRequest& running) {
    running.cancelled = true;
    // A worker still serves the request while its entry exists: its signal reaches this one.
    if (auto worker = running.worker.lock()) {
        worker->signal.emit(asio::cancellation_type::terminal);
    } else {
        running.signal.emit(asio::cancellation_type::terminal);
    }
}

void Server::finishRequest(const std::shared_ptr<RunningRequest>& running, bool dropped) {
    --runningRequests_;
    forgetRunningRequest(running);
    if (dropped) {
        logEvent(logging::Level::debug, "Request cancelled", [&] {
            return logging::Metadata{{"id", running->id.description()},
                                     {"method", running->method}};
        });
    }
}

asio::awaitable<void> Server::refuseOverLimit(std::optional<ID> id) {
    try {
        co_await sendErrorAnswer(MCPError::internalError("Too many requests in progress"),
                                 std::move(id));
    } catch (...) {
    }
}

asio::awaitable<void> Server::runRequest(std::shared_ptr<Server> self, Request<AnyMethod> request) {
    (void)self;
    co_await handleRequest(std::move(request), true);
}

std::optional<asio::awaitable<void>> Server::startBatch(ServerBatch batch) {
    // A batch runs in a task of its own, so that a handler inside it may wait for an answer from
    // the client, which only the receive loop can take in.
    if (runningRequests_ >= configuration().maxConcurrentRequests) {
        return refuseOverLimit(std::nullopt);
    }
    ++runningRequests_;
    auto self = shared_from_this();
    asio::co_spawn(strand_, runBatch(self, std::move(batch)),
                   [self](std::exception_ptr) { --self->runningRequests_; });
    return std::nullopt;
}

asio::awaitable<void> Server::runBatch(std::shared_ptr<Server> self, ServerBatch batch) {
    (void)self;
    std::exception_ptr failure;
    try {
        co_await handleBatch(std::move(batch));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure && !isResourceTemporarilyUnavailable(failure)) {
        const std::string description = detail::describeError(failure);
        logEvent(logging::Level::error, "Error processing message", [&] {
            return logging::Metadata{{"error", description}};
        });
        try {
            co_await sendErrorAnswer(detail::toMCPError(failure), std::nullopt);
        } catch (...) {
        }
    }
}

asio::awaitable<void> Server::handleBatch(ServerBatch batch) {
    logEvent(logging::Level::trace, "Processing batch request", [&] {
        return logging::Metadata{{"size", std::to_string(batch.items.size())}};
    });
    if (batch.items.empty()) {
        co_await sendErrorAnswer(MCPError::invalidRequest("Batch array must not be empty"),
                                 std::nullopt);
        co_return;
    }
    // The answers' texts, joined into one array as they come.
    std::string answers;
    auto answer = [&](const Response<AnyMethod>& response) {
        answers += answers.empty() ? '[' : ',';
        answers += responseText(response);
    };
    for (ServerBatch::Item& item : batch.items) {
        if (auto* message = std::get_if<Message<AnyNotification>>(&item)) {
            try {
                co_await handleMessage(std::move(*message));
            } catch (...) {
                // A notification is never answered, in a batch neither.
            }
            continue;
        }
        auto& request = std::get<Request<AnyMethod>>(item);
        ID id = request.id;
        std::exception_ptr failure;
        try {
            if (auto response = co_await handleRequest(std::move(request), false)) {
                answer(*response);
            }
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            answer(Response<AnyMethod>{std::move(id), detail::toMCPError(failure)});
        }
    }
    if (answers.empty()) {
        co_return;
    }
    answers += ']';
    co_await sendOnStrand(std::move(answers));
}

asio::awaitable<std::optional<Response<AnyMethod>>> Server::handleRequest(
    Request<AnyMethod> request, bool sendResponse) {
    if (!sendResponse && request.method.empty()) {
        std::optional<Response<AnyMethod>> refused(Response<AnyMethod>{
            std::move(request.id), MCPError::invalidRequest("Invalid batch item format")});
        co_return refused;
    }
    logEvent(logging::Level::trace, "Processing request", [&] {
        return logging::Metadata{{"method", request.method}, {"id", request.id.description()}};
    });
    std::optional<Response<AnyMethod>> response;
    std::shared_ptr<RequestHandlerBox> box;
    if (!admits(request.method, configuration().strict)) {
        response.emplace(Response<AnyMethod>{
            std::move(request.id), MCPError::invalidRequest("Server is not initialized")});
    } else if (box = requestHandler(request.method); !box) {
        response.emplace(
            Response<AnyMethod>{std::move(request.id), unknownMethodError(request.method)});
    }
    if (!response) {
        const ID id = request.id;
        auto running = recordRunningRequest(request.id, request.method);
        std::shared_ptr<Transport> connection = connection_;
        std::exception_ptr failure;
        try {
            HandlerContext context{id, std::nullopt};
            if (connection && connection->providesHTTPRequestContexts()) {
                context.httpContext = co_await connection->httpRequestContext(id);
            }
            if (running->cancelled) {
                // Cancelled while the context was fetched: the handler never runs.
                throw boost::system::system_error(asio::error::operation_aborted);
            }
            auto handlerExecutor = detail::bindHandlerContext(strand_, std::move(context));
            auto token = asio::bind_cancellation_slot(running->signal.slot(), asio::use_awaitable);
            response = co_await asio::co_spawn(handlerExecutor, runHandler(box, std::move(request)),
                                               token);
        } catch (...) {
            failure = std::current_exception();
        }
        forgetRunningRequest(running);
        if (failure) {
            if (running->cancelled && detail::isOperationAborted(failure)) {
                logEvent(logging::Level::debug, "Request cancelled", [&] {
                    return logging::Metadata{{"id", id.description()}, {"method", running->method}};
                });
                co_await tellRequestEnded(connection, id);
                co_return std::nullopt;
            }
            response.emplace(Response<AnyMethod>{id, detail::toMCPError(failure)});
        }
    }
    if (!sendResponse) {
        co_return response;
    }
    std::string bytes = responseText(*response);
    std::optional<Transport::Answer> answered(
        Transport::Answer{response->id, response->failure() != nullptr});
    co_await sendOnStrand(std::move(bytes), std::move(answered));
    co_return std::nullopt;
}

asio::awaitable<void> Server::tellRequestEnded(const std::shared_ptr<Transport>& connection,
                                               const ID& id) {
    if (!connection) {
        co_return;
    }
    try {
        co_await connection->requestEndedWithoutAnswer(id);
    } catch (...) {
        // Only a courtesy to the transport: nothing to answer either way.
    }
}

asio::awaitable<Response<AnyMethod>> Server::runHandler(std::shared_ptr<RequestHandlerBox> box,
                                                        Request<AnyMethod> request) {
    // A request cancelled before its handler began never runs it.
    auto state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none) {
        throw boost::system::system_error(asio::error::operation_aborted);
    }
    Response<AnyMethod> answer = co_await box->handle(std::move(request));
    co_return answer;
}

asio::awaitable<void> Server::handleMessage(Message<AnyNotification> message) {
    logEvent(logging::Level::trace, "Processing notification", [&] {
        return logging::Metadata{{"method", message.method}};
    });
    if (configuration().strict && message.method != InitializedNotification::name &&
        !client_.isInitialized) {
        throw MCPError::invalidRequest("Server is not initialized");
    }
    const auto handlers = notificationHandlers(message.method);
    // Named, not a temporary: g++ 12 mishandles temporaries inside a co_await expression.
    const std::function<void(const std::string&)> logFailure = [&](const std::string& description) {
        logEvent(logging::Level::error, "Error handling notification", [&] {
            return logging::Metadata{{"method", message.method}, {"error", description}};
        });
    };
    co_await runNotificationHandlers(handlers, message, logFailure);
}

void Server::handleResponse(Response<AnyMethod> response) {
    std::optional<AnyPendingRequest> pending = removePendingRequest(response.id);
    if (!pending) {
        logEvent(logging::Level::warning, "Received response for unknown request", [&] {
            return logging::Metadata{{"id", response.id.description()}};
        });
        return;
    }
    if (Value* result = response.success()) {
        pending->resume(std::move(*result));
    } else {
        pending->resume(*response.failure());
    }
}

std::optional<AnyPendingRequest> Server::removePendingRequest(const ID& id) {
    auto found = pendingRequests_.find(id);
    if (found == pendingRequests_.end()) {
        return std::nullopt;
    }
    AnyPendingRequest pending = std::move(found->second);
    pendingRequests_.erase(found);
    return pending;
}

}  // namespace mcp
