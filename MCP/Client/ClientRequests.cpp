// The client's outgoing side: the pending-request table, sending requests and notifications,
// cancellation, time-outs and batches.

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "MCP/Client/Client.h"
#include "MCP/Client/ClientInternal.h"

namespace mcp {

namespace asio = boost::asio;

namespace {

// What a coroutine awaits on the strand when the caller's cancellation must not reach it: a
// transport send cut short could leave half a message on the wire.
auto uncancellable() {
    return asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable);
}

std::string cancellationText(const ID& id, const std::optional<std::string>& reason) {
    std::string bytes;
    detail::appendNotificationText(
        bytes, makeMessage<CancelledNotification>({.requestId = id, .reason = reason}));
    return bytes;
}

}  // namespace

// --- The pending-request table ------------------------------------------------------------------

void Client::checkCapability(Feature feature) const {
    if (feature == Feature::none || feature == Feature::handshake || !configuration_.strict) {
        return;
    }
    if (!server_.capabilities) {
        throw MCPError::methodNotFound("Server capabilities not initialized");
    }
    const ServerCapabilities& capabilities = *server_.capabilities;
    const char* missing = nullptr;
    switch (feature) {
        case Feature::none:
        case Feature::handshake:
            break;
        case Feature::prompts:
            missing = capabilities.prompts ? nullptr : "Prompts";
            break;
        case Feature::resources:
            missing = capabilities.resources ? nullptr : "Resources";
            break;
        case Feature::resourceSubscription:
            missing = capabilities.resources && capabilities.resources->subscribe
                          ? nullptr
                          : "Resource subscription";
            break;
        case Feature::tools:
            missing = capabilities.tools ? nullptr : "Tools";
            break;
        case Feature::logging:
            missing = capabilities.logging ? nullptr : "Logging";
            break;
        case Feature::completions:
            missing = capabilities.completions ? nullptr : "Completions";
            break;
    }
    if (missing != nullptr) {
        throw MCPError::methodNotFound(std::string(missing) + " is not supported by the server");
    }
}

void Client::checkCanRegister() const {
    if (!connection_) {
        throw MCPError::internalError("Client connection not initialized");
    }
    if (phase_ == Phase::ended) {
        // No loop reads the server's answers any more.
        throw MCPError::connectionClosed();
    }
}

std::uint64_t Client::nextSerial() noexcept {
    return lastSerial_.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::shared_ptr<Transport> Client::enterPending(Feature feature, const ID& id, std::uint64_t serial,
                                                AnyPendingRequest pending) {
    std::shared_ptr<Transport> connection;
    std::shared_ptr<RequestTimer> timer;
    {
        std::lock_guard lock(mutex_);
        checkCapability(feature);
        checkCanRegister();
        if (auto timeout = configuration_.requestTimeout) {
            timer = std::make_shared<RequestTimer>(strand_, *timeout);
        }
        // Replacing an entry would leave the earlier request's caller without an answer; a
        // refused `pending` is dropped, which fails its own caller.
        if (!pendingRequests_.try_emplace(id, std::move(pending), timer, serial).second) {
            throw MCPError::internalError("A request with this ID is already pending");
        }
        connection = connection_;
    }
    if (timer) {
        asio::co_spawn(strand_, expire(shared_from_this(), id, timer), asio::detached);
    }
    return connection;
}

std::optional<AnyPendingRequest> Client::removePendingRequest(const ID& id,
                                                              std::optional<std::uint64_t> serial) {
    decltype(pendingRequests_)::node_type node;
    {
        std::lock_guard lock(mutex_);
        auto found = pendingRequests_.find(id);
        if (found == pendingRequests_.end() || (serial && found->second.serial != *serial)) {
            return std::nullopt;
        }
        node = pendingRequests_.extract(found);
    }
    if (node.empty()) {
        return std::nullopt;
    }
    PendingEntry& entry = node.mapped();
    if (entry.timer) {
        stopTimer(std::move(entry.timer));
    }
    return std::move(entry.pending);
}

void Client::failPendingRequest(const ID& id, std::uint64_t serial,
                                const std::exception_ptr& error) {
    if (auto pending = removePendingRequest(id, serial)) {
        pending->resume(error);
    }
}

void Client::stopTimer(std::shared_ptr<RequestTimer> timer) {
    // The timer is the strand's: its wait started there.
    if (strand_.running_in_this_thread()) {
        timer->cancel();
        return;
    }
    asio::post(strand_, [timer = std::move(timer)] { timer->cancel(); });
}

asio::awaitable<void> Client::expire(std::shared_ptr<Client> self, ID id,
                                     std::shared_ptr<RequestTimer> timer) {
    (void)self;
    auto [error] = co_await timer->timer.async_wait(asio::as_tuple(asio::use_awaitable));
    if (error) {
        co_return;  // answered, cancelled or disconnected first
    }
    std::optional<AnyPendingRequest> pending;
    {
        // The entry must still be this request's: the id may have been used again since.
        std::lock_guard lock(mutex_);
        auto found = pendingRequests_.find(id);
        if (found == pendingRequests_.end() || found->second.timer != timer) {
            co_return;
        }
        pending.emplace(std::move(found->second.pending));
        pendingRequests_.erase(found);
    }
    pending->resume(MCPError::internalError("Request timed out"));
    try {
        std::string text = cancellationText(id, "Request timed out");
        co_await sendTextOnStrand(std::move(text));
    } catch (...) {
        // The server cannot be told; the caller has its outcome.
    }
}

// --- Requests -----------------------------------------------------------------------------------

void Client::startSending(std::shared_ptr<Transport> connection, ID id, std::uint64_t serial,
                          std::string bytes) {
    asio::co_spawn(
        strand_,
        [self = shared_from_this(), connection = std::move(connection), id = std::move(id), serial,
         bytes = std::move(bytes)]() mutable -> asio::awaitable<void> {
            co_await self->sendEntered(std::move(connection), id, serial, std::move(bytes));
        },
        asio::detached);
}

asio::awaitable<void> Client::sendEntered(std::shared_ptr<Transport> connection, const ID& id,
                                          std::uint64_t serial, std::string bytes) {
    std::exception_ptr failure;
    try {
        co_await connection->send(std::move(bytes));
    } catch (...) {
        failure = std::current_exception();
    }
    // When the entry is gone already (answered, cancelled, disconnected), the caller has its
    // outcome and the send error is dropped.
    if (failure) {
        failPendingRequest(id, serial, failure);
    }
}

std::function<void()> Client::withdrawal(const ID& id, std::uint64_t serial) {
    return [weak = weak_from_this(), id, serial] {
        if (auto self = weak.lock()) {
            self->withdraw(id, serial);
        }
    };
}

void Client::withdraw(ID id, std::uint64_t serial) {
    auto self = shared_from_this();
    asio::post(strand_, [self, id = std::move(id), serial]() mutable {
        // Only this request's entry: a later request may use the id by now.
        auto pending = self->removePendingRequest(id, serial);
        if (!pending) {
            return;  // answered or failed already: nothing to withdraw
        }
        pending->resume(std::make_exception_ptr(CancellationError()));
        asio::co_spawn(
            self->strand_,
            [self, id = std::move(id)]() -> asio::awaitable<void> {
                try {
                    std::string text = cancellationText(id, std::nullopt);
                    co_await self->sendTextOnStrand(std::move(text));
                } catch (...) {
                }
            },
            asio::detached);
    });
}

asio::awaitable<void> Client::cancelRequest(ID id, std::optional<std::string> reason) {
    auto self = shared_from_this();
    co_await asio::co_spawn(strand_, cancelRequestOnStrand(std::move(id), std::move(reason)),
                            uncancellable());
}

asio::awaitable<void> Client::cancelRequestOnStrand(ID id, std::optional<std::string> reason) {
    if (auto pending = removePendingRequest(id)) {
        pending->resume(std::make_exception_ptr(CancellationError()));
    }
    std::string text = cancellationText(id, reason);
    co_await sendTextOnStrand(std::move(text));
}

// --- Notifications and answers ------------------------------------------------------------------

asio::awaitable<void> Client::sendText(std::string bytes) {
    if (strand_.running_in_this_thread()) {
        co_await sendTextOnStrand(std::move(bytes));
        co_return;
    }
    auto self = shared_from_this();
    co_await asio::co_spawn(strand_, sendTextOnStrand(std::move(bytes)), uncancellable());
}

asio::awaitable<void> Client::sendTextOnStrand(std::string bytes) {
    if (!connection_) {
        throw MCPError::internalError("Client connection not initialized");
    }
    // Held across the send: disconnect() may clear connection_ meanwhile.
    std::shared_ptr<Transport> connection = connection_;
    co_await connection->send(std::move(bytes));
}

// --- Batches ------------------------------------------------------------------------------------

asio::awaitable<void> Client::withBatch(std::function<asio::awaitable<void>(Batch&)> body) {
    auto self = shared_from_this();
    co_await asio::co_spawn(strand_, withBatchOnStrand(std::move(body)), asio::use_awaitable);
}

asio::awaitable<void> Client::withBatchOnStrand(std::function<asio::awaitable<void>(Batch&)> body) {
    while (auto gate = requestGate(Feature::none)) {
        co_await gate->value();  // the connection is being replaced
    }
    if (!connection_) {
        throw MCPError::internalError("Client connection not initialized");
    }
    std::shared_ptr<Transport> connection = connection_;
    ClientBatch batch(shared_from_this());
    BatchState& state = *batch.state_;
    std::exception_ptr failure;
    try {
        co_await body(batch);
    } catch (...) {
        failure = std::current_exception();
    }
    state.closed = true;
    const std::vector<std::string> requests = std::exchange(state.requests, {});
    const std::vector<ID> ids = std::exchange(state.ids, {});
    if (failure) {
        // Nothing is sent: no answer will ever come for the members.
        failBatchMembers(ids, failure);
        std::rethrow_exception(failure);
    }
    if (requests.empty()) {
        logEvent(logging::Level::debug, "Batch requested but no requests were added.",
                 logging::DeferredMetadata{});
        co_return;
    }
    logEvent(logging::Level::debug, "Sending batch request", [&] {
        return logging::Metadata{{"count", std::to_string(requests.size())}};
    });
    std::size_t size = 1;
    for (const auto& request : requests) {
        size += request.size() + 1;
    }
    std::string bytes;
    bytes.reserve(size);
    for (const auto& request : requests) {
        bytes += bytes.empty() ? '[' : ',';
        bytes += request;
    }
    bytes += ']';
    try {
        co_await connection->send(std::move(bytes));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        failBatchMembers(ids, failure);
        std::rethrow_exception(failure);
    }
}

ClientBatch::ClientBatch(const std::shared_ptr<Client>& client)
    : state_(std::make_shared<Client::BatchState>()) {
    state_->client = client;
}

asio::awaitable<void> Client::addBatchMember(std::shared_ptr<BatchState> batch, ID id,
                                             AnyPendingRequest pending, std::string bytes) {
    auto self = shared_from_this();
    co_await asio::co_spawn(
        strand_, addBatchMemberOnStrand(batch, std::move(id), std::move(pending), std::move(bytes)),
        asio::use_awaitable);
}

asio::awaitable<void> Client::addBatchMemberOnStrand(std::shared_ptr<BatchState> batch, ID id,
                                                     AnyPendingRequest pending, std::string bytes) {
    if (batch->closed) {
        throw MCPError::internalError("The batch was already sent");
    }
    enterPending(Feature::none, id, nextSerial(), std::move(pending));
    batch->ids.push_back(std::move(id));
    batch->requests.push_back(std::move(bytes));
    co_return;
}

void Client::failBatchMembers(const std::vector<ID>& ids, const std::exception_ptr& error) {
    for (const ID& id : ids) {
        if (auto pending = removePendingRequest(id)) {
            pending->resume(error);
        }
    }
}

}  // namespace mcp
