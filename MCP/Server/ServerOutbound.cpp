// The server's requests and notifications to the client: sampling, elicitation, roots and log
// entries, with the capability checks of strict mode.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>

#include "MCP/Server/Server.h"
#include "MCP/Server/ServerInternal.h"

namespace mcp {

namespace asio = boost::asio;

asio::awaitable<void> Server::checkClientCapability(std::string_view method) {
    auto self = shared_from_this();
    co_await asio::co_spawn(strand_, checkCapabilityOnStrand(method), asio::use_awaitable);
}

asio::awaitable<void> Server::checkCapabilityOnStrand(std::string_view method) {
    if (!connection_) {
        throw MCPError::internalError("Server connection not initialized");
    }
    if (!configuration().strict) {
        co_return;
    }
    const auto& capabilities = client_.clientCapabilities;
    if (!capabilities) {
        throw MCPError::methodNotFound("Client capabilities not initialized");
    }
    if (method == CreateSamplingMessage::name && !capabilities->sampling) {
        throw MCPError::methodNotFound("Sampling is not supported by the client");
    }
    if (method == CreateElicitation::name && !capabilities->elicitation) {
        throw MCPError::methodNotFound("Elicitation is not supported by the client");
    }
    if (method == ListRoots::name && !capabilities->roots) {
        throw MCPError::methodNotFound("Roots is not supported by the client");
    }
}

asio::awaitable<void> Server::registerAndSend(ID id, AnyPendingRequest pending, std::string bytes) {
    auto self = shared_from_this();
    // Read before the hop: the handler's context is bound where the handler runs.
    std::optional<ID> related = relatedRequest();
    co_await asio::co_spawn(strand_,
                            registerAndSendOnStrand(std::move(id), std::move(pending),
                                                    std::move(bytes), std::move(related)),
                            asio::use_awaitable);
}

asio::awaitable<void> Server::registerAndSendOnStrand(ID id, AnyPendingRequest pending,
                                                      std::string bytes,
                                                      std::optional<ID> related) {
    if (!connection_) {
        throw MCPError::internalError("Server connection not initialized");
    }
    if (phase_ == Phase::ended) {
        // No loop reads the client's answers any more.
        throw MCPError::internalError("Server disconnected");
    }
    std::shared_ptr<Transport> connection = connection_;
    // Stored before the bytes leave, so the answer always finds its entry. An entry under the
    // same id stays: replacing it would leave its caller without an answer.
    if (!pendingRequests_.try_emplace(id, std::move(pending)).second) {
        throw MCPError::internalError("A request with this ID is already pending");
    }
    std::exception_ptr failure;
    try {
        if (related) {
            co_await connection->sendRelated(std::move(bytes), std::move(related));
        } else {
            co_await connection->send(std::move(bytes));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // When the entry is gone already (answered, or failed by stop()), the caller's wait has its
    // outcome and the send error is dropped.
    if (failure && removePendingRequest(id)) {
        std::rethrow_exception(failure);
    }
}

void Server::withdrawPendingRequest(ID id) {
    auto self = shared_from_this();
    asio::post(strand_, [self, id = std::move(id)]() mutable {
        if (!self->removePendingRequest(id)) {
            return;  // answered, failed or withdrawn already: the client was told or needs nothing
        }
        asio::co_spawn(self->strand_, self->sendWithdrawal(self, std::move(id)), asio::detached);
    });
}

asio::awaitable<void> Server::sendWithdrawal(std::shared_ptr<Server> self, ID id) {
    (void)self;
    Value message = makeMessage<CancelledNotification>({.requestId = std::move(id)}).toValue();
    co_await sendValue(std::move(message));
}

asio::awaitable<CreateSamplingMessage::Result> Server::createSamplingMessage(
    CreateSamplingMessage::Parameters parameters) {
    co_await checkClientCapability(CreateSamplingMessage::name);
    parameters.tools.reset();
    parameters.toolChoice.reset();
    parameters.metadata.reset();
    auto request = makeRequest<CreateSamplingMessage>(ID::newRandom(), std::move(parameters));
    CreateSamplingMessage::Result result = co_await send(std::move(request));
    co_return result;
}

asio::awaitable<CreateElicitation::Result> Server::createElicitation(
    std::string message, Elicitation::RequestSchema requestedSchema,
    std::optional<Elicitation::Mode> mode, std::optional<Metadata> meta) {
    co_await checkClientCapability(CreateElicitation::name);
    ElicitationFormParameters form{.message = std::move(message),
                                   .mode = mode,
                                   .requestedSchema = std::move(requestedSchema),
                                   ._meta = std::move(meta)};
    auto request =
        makeRequest<CreateElicitation>(ID::newRandom(), ElicitationParameters(std::move(form)));
    CreateElicitation::Result result = co_await send(std::move(request));
    co_return result;
}

asio::awaitable<CreateElicitation::Result> Server::createElicitation(std::string message,
                                                                     std::string url,
                                                                     std::string elicitationId,
                                                                     std::optional<Metadata> meta) {
    co_await checkClientCapability(CreateElicitation::name);
    auto parameters = ElicitationURLParameters::make(std::move(message), std::move(url),
                                                     std::move(elicitationId), std::move(meta));
    auto request = makeRequest<CreateElicitation>(ID::newRandom(),
                                                  ElicitationParameters(std::move(parameters)));
    CreateElicitation::Result result = co_await send(std::move(request));
    co_return result;
}

asio::awaitable<std::vector<Root>> Server::listRoots() {
    co_await checkClientCapability(ListRoots::name);
    auto request = makeRequest<ListRoots>(ID::newRandom());
    ListRoots::Result result = co_await send(std::move(request));
    co_return std::move(result.roots);
}

asio::awaitable<void> Server::log(LogLevel level, std::optional<std::string> logger, Value data) {
    auto message = makeMessage<LogMessageNotification>(
        {.level = level, .logger = std::move(logger), .data = std::move(data)});
    co_await notify(std::move(message));
}

}  // namespace mcp
