// The server's own handlers: "initialize", "ping" and "notifications/cancelled", and the
// cancellation it sends for its own requests.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "MCP/Messages/Version.h"
#include "MCP/Server/Server.h"
#include "MCP/Server/ServerInternal.h"

namespace mcp {

namespace asio = boost::asio;

void Server::registerDefaultHandlers(InitializeHook initializeHook) {
    std::weak_ptr<Server> weak = weak_from_this();
    withMethodHandler<Initialize>(
        [weak, hook = std::move(initializeHook)](
            Initialize::Parameters parameters) -> asio::awaitable<Initialize::Result> {
            auto self = weak.lock();
            if (!self) {
                throw MCPError::internalError("Server was deallocated");
            }
            Initialize::Result result = co_await self->initialize(std::move(parameters), hook);
            co_return result;
        });
    withMethodHandler<Ping>([](Empty) -> asio::awaitable<Empty> { co_return Empty{}; });
}

void Server::registerCancellationHandler() {
    std::weak_ptr<Server> weak = weak_from_this();
    onNotification<CancelledNotification>(
        [weak](Message<CancelledNotification> message) -> asio::awaitable<void> {
            if (auto self = weak.lock()) {
                // Dispatched inline by the receive loop, so already on the strand.
                co_await self->handleCancellation(std::move(message.params));
            }
        });
}

asio::awaitable<Initialize::Result> Server::initialize(Initialize::Parameters parameters,
                                                       InitializeHook hook) {
    // Request handlers run on the strand: the handshake state is changed right here. It is
    // claimed before the hook runs, so that a second "initialize" arriving meanwhile is refused
    // instead of succeeding too.
    if (client_.isInitialized || initializing_) {
        throw MCPError::invalidRequest("Server is already initialized");
    }
    initializing_ = true;
    if (hook) {
        std::exception_ptr failure;
        try {
            co_await hook(parameters.clientInfo, parameters.capabilities);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            initializing_ = false;
            std::rethrow_exception(failure);
        }
    }
    std::string version = Version::negotiate(parameters.protocolVersion);
    client_ = ClientState{true, std::move(parameters.clientInfo),
                          std::move(parameters.capabilities), version};
    initializing_ = false;
    Initialize::Result result{.protocolVersion = std::move(version),
                              .capabilities = capabilities(),
                              .serverInfo = serverInfo_,
                              .instructions = instructions_};
    co_return result;
}

asio::awaitable<void> Server::handleCancellation(CancelledNotification::Parameters parameters) {
    const std::string requestId =
        parameters.requestId ? parameters.requestId->description() : std::string("none");
    const std::string reason = parameters.reason.value_or("none");
    logEvent(logging::Level::debug, "Received cancellation notification", [&] {
        return logging::Metadata{{"requestId", requestId}, {"reason", reason}};
    });
    if (!parameters.requestId) {
        logEvent(logging::Level::warning,
                 "Received cancellation notification with no requestId (violates spec MUST)", [&] {
                     return logging::Metadata{{"reason", reason}};
                 });
        co_return;
    }
    std::vector<std::shared_ptr<RunningRequest>> running;
    std::erase_if(pendingRequestTasks_, [&](const std::shared_ptr<RunningRequest>& request) {
        if (!(request->id == *parameters.requestId)) {
            return false;
        }
        running.push_back(request);
        return true;
    });
    if (running.empty()) {
        logEvent(logging::Level::trace,
                 "Cancellation notification for unknown or completed request", [&] {
                     return logging::Metadata{{"requestId", requestId}};
                 });
        co_return;
    }
    for (const auto& request : running) {
        cancelRunningRequest(*request);
    }
    logEvent(logging::Level::debug, "Cancelled request", [&] {
        return logging::Metadata{{"requestId", requestId}};
    });
}

asio::awaitable<void> Server::cancelRequest(ID id, std::optional<std::string> reason) {
    auto self = shared_from_this();
    co_await asio::co_spawn(strand_, cancelRequestOnStrand(std::move(id), std::move(reason)),
                            asio::use_awaitable);
}

asio::awaitable<void> Server::cancelRequestOnStrand(ID id, std::optional<std::string> reason) {
    if (!connection_) {
        throw MCPError::internalError("Server connection not initialized");
    }
    // Nothing may go on waiting for an answer the server itself withdrew.
    if (auto pending = removePendingRequest(id)) {
        pending->resume(MCPError::internalError("Request cancelled"));
    }
    Value message = makeMessage<CancelledNotification>(
                        {.requestId = std::move(id), .reason = std::move(reason)})
                        .toValue();
    co_await sendValue(std::move(message));
}

}  // namespace mcp
