// The server's dispatch: telling received messages apart and handing batches, requests,
// notifications and responses to their handlers. Everything here runs on the server's strand,
// request handlers included.

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "MCP/JsonParser.h"
#include "MCP/JsonWriter.h"
#include "MCP/Server.h"
#include "MCP/ServerInternal.h"

// g++ 12 takes the sized delete of Asio's coroutine frames for a mismatch with their allocator.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace mcp {

namespace asio = boost::asio;

namespace {

// An error answer to a message whose request id cannot be read: JSON-RPC 2.0 wants "id": null.
Value errorWithoutId(const MCPError& error) {
    return Value(Object::fromEntries({{"error", error.toValue()},
                                      {"id", Value()},
                                      {"jsonrpc", Value(std::string(detail::kJsonRpcVersion))}}));
}

// The id of an element none of the message forms could read, when it has a usable one.
std::optional<ID> readableId(const Value* id) {
    if (id == nullptr) {
        return std::nullopt;
    }
    if (const std::string* text = id->stringValue()) {
        return ID(*text);
    }
    if (id->kind() == Value::Kind::Int) {
        return ID(*id->intValue());
    }
    return std::nullopt;
}

// The members that tell the message forms apart, found in one pass.
struct EnvelopeShape {
    const Value* id = nullptr;
    bool hasResult = false;
    bool hasError = false;
    bool hasMethod = false;

    explicit EnvelopeShape(const Object& object) {
        for (const auto& [key, member] : object) {
            if (key == "id") {
                id = &member;
            } else if (key == "result") {
                hasResult = true;
            } else if (key == "error") {
                hasError = true;
            } else if (key == "method") {
                hasMethod = true;
            }
        }
    }
};

}  // namespace

std::optional<asio::awaitable<void>> Server::dispatchElement(std::string_view element) {
    std::optional<ID> failedId;
    try {
        std::optional<Value> parsed = tryParseJson(element);
        if (!parsed) {
            throw MCPError::parseError("Invalid message format");
        }
        Value& value = *parsed;
        if (value.arrayValue() != nullptr) {
            std::optional<ServerBatch> batch;
            try {
                batch = ServerBatch::fromValue(std::move(value));
            } catch (const DecodingError&) {
            }
            if (!batch) {
                // An array is no response, request or notification either.
                throw MCPError::parseError("Invalid message format");
            }
            startBatch(std::move(*batch));
            return std::nullopt;
        }
        const Object* object = value.objectValue();
        if (object == nullptr) {
            throw MCPError::parseError("Invalid message format");
        }
        const EnvelopeShape shape(*object);
        const Value* idMember = shape.id;
        if (idMember != nullptr && (shape.hasResult || shape.hasError)) {
            std::optional<Response<AnyMethod>> response;
            try {
                response = Response<AnyMethod>::fromValue(std::move(value));
            } catch (const DecodingError&) {
            }
            if (response) {
                handleResponse(std::move(*response));
                return std::nullopt;
            }
        }
        if (idMember != nullptr) {
            // A message with an id expects an answer: it is never taken for a notification, even
            // when the id itself is unusable.
            std::optional<ID> id = readableId(idMember);
            if (shape.hasMethod && !id && !idMember->isNull()) {
                throw MCPError::invalidRequest("ID must be string or number");
            }
            std::optional<Request<AnyMethod>> request;
            try {
                request = Request<AnyMethod>::fromValue(std::move(value));
            } catch (const DecodingError&) {
            }
            if (!request) {
                failedId = std::move(id);
                throw MCPError::parseError("Invalid message format");
            }
            startRequest(std::move(*request));
            return std::nullopt;
        }
        std::optional<Message<AnyNotification>> message;
        try {
            message = Message<AnyNotification>::fromValue(std::move(value));
        } catch (const DecodingError&) {
        }
        if (!message) {
            throw MCPError::parseError("Invalid message format");
        }
        return handleNotificationElement(std::move(*message));
    } catch (...) {
        return reportElementFailure(std::current_exception(), std::move(failedId));
    }
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

asio::awaitable<void> Server::reportElementFailure(std::exception_ptr failure,
                                                   std::optional<ID> id) {
    const std::string description = detail::describeError(failure);
    logEvent(logging::Level::error, "Error processing message", [&] {
        return logging::Metadata{{"error", description}};
    });
    try {
        co_await reportError(failure, std::move(id));
    } catch (...) {
        // The peer cannot be told; the loop goes on.
    }
}

asio::awaitable<void> Server::reportError(std::exception_ptr error, std::optional<ID> id) {
    MCPError mcpError = detail::toMCPError(error);
    if (id) {
        std::string bytes =
            detail::answerText(Response<AnyMethod>{std::move(*id), std::move(mcpError)});
        co_await sendOnStrand(std::move(bytes));
    } else {
        std::string bytes = toJson(errorWithoutId(mcpError));
        co_await sendOnStrand(std::move(bytes));
    }
}

bool Server::admits(std::string_view method, bool strict) const {
    // Strict servers take nothing but the handshake before it is done.
    return !strict || method == Initialize::name || method == Ping::name || client_.isInitialized;
}

void Server::startRequest(Request<AnyMethod> request) {
    auto self = shared_from_this();
    const Configuration configuration = this->configuration();
    if (runningRequests_ >= configuration.maxConcurrentRequests) {
        // Answered at once: a client cannot make the server hold unbounded work.
        asio::co_spawn(strand_, refuseRequest(self, std::move(request.id)), asio::detached);
        return;
    }
    ++runningRequests_;
    std::shared_ptr<RequestHandlerBox> box;
    if (admits(request.method, configuration.strict)) {
        box = requestHandler(request.method);
    }
    if (!box || !connection_) {
        // Answered by the server itself, with an error.
        asio::co_spawn(strand_, runRequest(self, std::move(request)),
                       [self](std::exception_ptr) { --self->runningRequests_; });
        return;
    }
    logEvent(logging::Level::trace, "Processing request", [&] {
        return logging::Metadata{{"method", request.method}, {"id", request.id.description()}};
    });

    // Each request is served by a task of its own, taken from the idle workers when one waits.
    auto running = recordRunningRequest(request.id, request.method);
    handToWorker(RequestJob{std::move(box), std::move(request), std::move(running), connection_});
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

asio::awaitable<void> Server::refuseRequest(std::shared_ptr<Server> self, std::optional<ID> id) {
    (void)self;
    try {
        co_await reportError(
            std::make_exception_ptr(MCPError::internalError("Too many requests in progress")),
            std::move(id));
    } catch (...) {
    }
}

asio::awaitable<void> Server::runRequest(std::shared_ptr<Server> self, Request<AnyMethod> request) {
    (void)self;
    co_await handleRequest(std::move(request), true);
}

void Server::startBatch(ServerBatch batch) {
    // A batch runs in a task of its own, so that a handler inside it may wait for an answer from
    // the client, which only the receive loop can take in.
    auto self = shared_from_this();
    if (runningRequests_ >= configuration().maxConcurrentRequests) {
        asio::co_spawn(strand_, refuseRequest(self, std::nullopt), asio::detached);
        return;
    }
    ++runningRequests_;
    asio::co_spawn(strand_, runBatch(self, std::move(batch)),
                   [self](std::exception_ptr) { --self->runningRequests_; });
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
            co_await reportError(failure, std::nullopt);
        } catch (...) {
        }
    }
}

asio::awaitable<void> Server::handleBatch(ServerBatch batch) {
    logEvent(logging::Level::trace, "Processing batch request", [&] {
        return logging::Metadata{{"size", std::to_string(batch.items.size())}};
    });
    if (batch.items.empty()) {
        std::string bytes =
            toJson(errorWithoutId(MCPError::invalidRequest("Batch array must not be empty")));
        co_await sendOnStrand(std::move(bytes));
        co_return;
    }
    // The answers' texts, joined into one array as they come.
    std::string answers;
    auto answer = [&](const Response<AnyMethod>& response) {
        answers += answers.empty() ? '[' : ',';
        answers += detail::answerText(response);
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
        std::string detail = "Unknown method: " + request.method;
        response.emplace(Response<AnyMethod>{std::move(request.id),
                                             MCPError::methodNotFound(std::move(detail))});
    }
    if (!response) {
        const ID id = request.id;
        auto running = recordRunningRequest(request.id, request.method);
        auto handlerExecutor = detail::bindHandlerContext(strand_, HandlerContext{id});
        std::exception_ptr failure;
        auto token = asio::bind_cancellation_slot(running->signal.slot(), asio::use_awaitable);
        try {
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
                co_return std::nullopt;
            }
            response.emplace(Response<AnyMethod>{id, detail::toMCPError(failure)});
        }
    }
    if (!sendResponse) {
        co_return response;
    }
    std::string bytes = detail::answerText(*response);
    co_await sendOnStrand(std::move(bytes));
    co_return std::nullopt;
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
    auto handlers = notificationHandlers(message.method);
    for (const auto& handler : handlers) {
        std::exception_ptr failure;
        try {
            co_await handler->handle(message);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            const std::string description = detail::describeError(failure);
            logEvent(logging::Level::error, "Error handling notification", [&] {
                return logging::Metadata{{"method", message.method}, {"error", description}};
            });
        }
    }
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
