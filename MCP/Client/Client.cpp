// The client actor: construction, registration, connection, the receive loop and disconnection.

#include "MCP/Client/Client.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>

#include "MCP/Client/ClientInternal.h"

namespace mcp {

namespace asio = boost::asio;

namespace {

bool cancelled(const asio::cancellation_state& state) {
    return state.cancelled() != asio::cancellation_type::none;
}

}  // namespace

Client::Client(asio::any_io_executor executor, std::string name, std::string version,
               std::optional<std::string> title, std::optional<std::string> description,
               std::optional<std::string> websiteUrl, std::optional<std::vector<Icon>> icons,
               Capabilities capabilities, Configuration configuration)
    : strand_(asio::make_strand(executor)),
      clientInfo_{.name = std::move(name),
                  .title = std::move(title),
                  .version = std::move(version),
                  .description = std::move(description),
                  .websiteUrl = std::move(websiteUrl),
                  .icons = std::move(icons)},
      capabilities_(std::move(capabilities)),
      configuration_(configuration) {}

Client::~Client() = default;

Client::Capabilities Client::capabilities() const {
    std::lock_guard lock(mutex_);
    return capabilities_;
}

void Client::setCapabilities(Capabilities capabilities) {
    std::lock_guard lock(mutex_);
    capabilities_ = std::move(capabilities);
}

Client::Configuration Client::configuration() const {
    std::lock_guard lock(mutex_);
    return configuration_;
}

void Client::setConfiguration(Configuration configuration) {
    std::lock_guard lock(mutex_);
    configuration_ = configuration;
}

// --- Registration -------------------------------------------------------------------------------

void Client::registerRequestHandler(std::string name, std::shared_ptr<RequestHandlerBox> box) {
    handlers_.setRequestHandler(std::move(name), std::move(box));
}

void Client::registerNotificationHandler(std::string name,
                                         std::shared_ptr<NotificationHandlerBox> box) {
    handlers_.addNotificationHandler(std::move(name), std::move(box));
}

std::shared_ptr<RequestHandlerBox> Client::requestHandler(std::string_view name) const {
    return handlers_.requestHandler(name);
}

std::vector<std::shared_ptr<NotificationHandlerBox>> Client::notificationHandlers(
    std::string_view name) const {
    return handlers_.notificationHandlers(name);
}

void Client::registerCancellationListener() {
    {
        std::lock_guard lock(mutex_);
        if (std::exchange(cancellationListenerRegistered_, true)) {
            return;
        }
    }
    std::weak_ptr<Client> weak = weak_from_this();
    onNotification<CancelledNotification>(
        [weak](Message<CancelledNotification> message) -> asio::awaitable<void> {
            auto self = weak.lock();
            if (!self) {
                co_return;
            }
            // Dispatched by the receive loop, so already on the strand.
            const auto& parameters = message.params;
            self->logEvent(logging::Level::debug, "Received cancellation notification", [&] {
                return logging::Metadata{
                    {"requestId",
                     parameters.requestId ? parameters.requestId->description() : "none"},
                    {"reason", parameters.reason.value_or("none")}};
            });
            if (parameters.requestId) {
                // The id is one of the server's requests: the client's own live apart.
                self->cancelServerRequest(*parameters.requestId);
            }
            co_return;
        });
}

// --- Connection ---------------------------------------------------------------------------------

asio::awaitable<Initialize::Result> Client::connect(std::shared_ptr<Transport> transport) {
    auto self = shared_from_this();
    co_await asio::co_spawn(strand_, connectOnStrand(std::move(transport)), asio::use_awaitable);
    Initialize::Result result = co_await initialize();
    co_return result;
}

asio::awaitable<void> Client::connectOnStrand(std::shared_ptr<Transport> transport) {
    // A second loop would read the same stream and answer the server twice.
    if (phase_ == Phase::connecting || phase_ == Phase::running) {
        throw MCPError::internalError("Client is already connected");
    }
    const std::uint64_t generation = ++generation_;
    {
        std::lock_guard lock(mutex_);
        phase_ = Phase::connecting;
        connection_ = transport;
    }
    // Heard on the transport's executor; handled on the strand, by this connection only.
    transport->setConnectionChangeHandler([weak = weak_from_this(),
                                           generation](Transport::ConnectionChange change) {
        if (auto self = weak.lock()) {
            asio::post(self->strand_,
                       [self, generation, change] { self->connectionChanged(generation, change); });
        }
    });
    std::exception_ptr failure;
    try {
        co_await transport->connect();
    } catch (...) {
        failure = std::current_exception();
    }
    if (generation != generation_) {
        // disconnect() came meanwhile and has cleared up: no loop may start now.
        throw MCPError::internalError("Client disconnected");
    }
    if (failure) {
        std::lock_guard lock(mutex_);
        phase_ = Phase::idle;
        std::rethrow_exception(failure);
    }
    logEvent(logging::Level::debug, "Client connected", [&] {
        return logging::Metadata{{"name", clientInfo_.name}, {"version", clientInfo_.version}};
    });
    {
        std::lock_guard lock(mutex_);
        phase_ = Phase::running;
    }
    auto [done, result] = AsyncResult<bool>::make();
    loopDone_ = result;
    auto signal = std::make_shared<asio::cancellation_signal>();
    loopSignal_ = signal;
    asio::co_spawn(strand_, receiveLoop(shared_from_this(), std::move(transport), generation),
                   asio::bind_cancellation_slot(
                       signal->slot(), [signal, done = std::move(done)](std::exception_ptr) {
                           done.setValue(true);
                       }));
    registerCancellationListener();
}

asio::awaitable<bool> Client::isConnected() {
    auto self = shared_from_this();
    co_return co_await asio::co_spawn(
        strand_,
        [this]() -> asio::awaitable<bool> {
            co_return connection_ != nullptr&& phase_ == Phase::running;
        },
        asio::use_awaitable);
}

asio::awaitable<Client::ServerState> Client::serverState() {
    auto self = shared_from_this();
    co_return co_await asio::co_spawn(
        strand_, [this]() -> asio::awaitable<ServerState> { co_return server_; },
        asio::use_awaitable);
}

asio::awaitable<std::size_t> Client::pendingRequestCount() {
    auto self = shared_from_this();
    co_return co_await asio::co_spawn(
        strand_,
        [this]() -> asio::awaitable<std::size_t> {
            std::lock_guard lock(mutex_);
            co_return pendingRequests_.size();
        },
        asio::use_awaitable);
}

asio::awaitable<void> Client::disconnect() {
    auto self = shared_from_this();
    co_await asio::co_spawn(strand_, disconnectOnStrand(), asio::use_awaitable);
}

asio::awaitable<void> Client::disconnectOnStrand() {
    logEvent(logging::Level::debug, "Initiating client disconnect...", logging::DeferredMetadata{});
    // Everything is taken before the first suspension: requests sent from here on find no
    // connection, and answers that still arrive find no entry.
    ++generation_;
    std::shared_ptr<Transport> connection;
    {
        std::lock_guard lock(mutex_);
        connection = std::exchange(connection_, nullptr);
        phase_ = Phase::idle;
    }
    std::shared_ptr<asio::cancellation_signal> signal = std::exchange(loopSignal_, nullptr);
    std::optional<AsyncResult<bool>> done = std::exchange(loopDone_, std::nullopt);
    if (connection) {
        connection->setConnectionChangeHandler({});
    }
    // Requests held back for a replaced connection now find none.
    openRequestGate();
    failPendingRequests(std::make_exception_ptr(MCPError::internalError("Client disconnected")));
    auto log = [&](const char* message) {
        detail::logThrough(connection.get(), logging::Level::debug, message,
                           logging::DeferredMetadata{}, std::source_location::current());
    };
    log("Pending requests cancelled.");
    if (signal) {
        signal->emit(asio::cancellation_type::terminal);
        log("Message loop task cancellation requested.");
    }
    if (connection) {
        co_await connection->disconnect();
        log("Transport disconnected.");
    } else {
        log("No active transport connection to disconnect.");
    }
    if (done) {
        co_await done->value();
        log("Client message loop task finished.");
    }
    log("Client disconnect complete.");
}

void Client::failPendingRequests(const std::exception_ptr& error) {
    std::unordered_map<ID, PendingEntry> pending;
    {
        std::lock_guard lock(mutex_);
        pending.swap(pendingRequests_);
    }
    for (auto& [id, entry] : pending) {
        if (entry.timer) {
            entry.timer->cancel();
        }
        entry.pending.resume(error);
    }
}

// --- Receive loop -------------------------------------------------------------------------------

asio::awaitable<void> Client::receiveLoop(std::shared_ptr<Client> self,
                                          std::shared_ptr<Transport> transport,
                                          std::uint64_t generation) {
    (void)self;  // the loop keeps the client alive
    std::exception_ptr endError;
    bool stopped = false;
    while (!stopped) {
        if (cancelled(co_await asio::this_coro::cancellation_state)) {
            stopped = true;
            break;
        }
        MessageStream stream = transport->receive();
        bool again = false;
        while (true) {
            std::optional<std::string> element;
            std::exception_ptr failure;
            try {
                element = co_await stream.next();
            } catch (...) {
                failure = std::current_exception();
            }
            if (cancelled(co_await asio::this_coro::cancellation_state)) {
                stopped = true;
                break;
            }
            if (failure) {
                if (isResourceTemporarilyUnavailable(failure)) {
                    // Nothing to read yet: ask the transport again in a moment.
                    asio::steady_timer pause(co_await asio::this_coro::executor,
                                             std::chrono::milliseconds(10));
                    co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
                    again = true;
                    break;
                }
                const std::string description = detail::describeError(failure);
                logEvent(logging::Level::error, "Error in message handling loop", [&] {
                    return logging::Metadata{{"error", description}};
                });
                endError = failure;
                break;
            }
            if (!element) {
                break;  // the stream ended: the server is gone
            }
            dispatch(*element);
        }
        if (!again) {
            break;
        }
    }
    if (!stopped) {
        endLoop(endError ? endError : std::make_exception_ptr(MCPError::connectionClosed()),
                generation);
    }
    logEvent(logging::Level::debug, "Client message handling loop task is terminating.",
             logging::DeferredMetadata{});
}

void Client::endLoop(std::exception_ptr error, std::uint64_t generation) {
    if (generation != generation_) {
        return;  // disconnect() came first and has cleared up
    }
    {
        std::lock_guard lock(mutex_);
        phase_ = Phase::ended;
    }
    loopSignal_.reset();
    loopDone_.reset();
    // Requests held back for a replaced connection are now refused with connectionClosed.
    openRequestGate();
    // Nothing will take their answers in any more.
    failPendingRequests(error);
}

// --- A connection replaced under the transport --------------------------------------------------

void Client::connectionChanged(std::uint64_t generation, Transport::ConnectionChange change) {
    if (generation != generation_ || phase_ != Phase::running) {
        return;  // an earlier connection's word, or the loop is over
    }
    const std::uint64_t round = ++connectionRound_;
    if (change == Transport::ConnectionChange::lost) {
        closeRequestGate();
        logEvent(logging::Level::warning,
                 "Connection lost: the requests in flight fail, new ones wait for its replacement",
                 logging::DeferredMetadata{});
        failPendingRequests(std::make_exception_ptr(MCPError::connectionClosed()));
        return;
    }
    if (!server_.protocolVersion) {
        openRequestGate();  // never initialized: nothing to repeat
        return;
    }
    asio::co_spawn(strand_, repeatHandshake(shared_from_this(), round), asio::detached);
}

asio::awaitable<void> Client::repeatHandshake(std::shared_ptr<Client> self, std::uint64_t round) {
    (void)self;
    std::exception_ptr failure;
    try {
        co_await initializeOnStrand();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        const std::string description = detail::describeError(failure);
        logEvent(logging::Level::error, "Handshake on the replaced connection failed", [&] {
            return logging::Metadata{{"error", description}};
        });
    } else {
        logEvent(logging::Level::debug, "Handshake repeated on the replaced connection",
                 logging::DeferredMetadata{});
    }
    if (round == connectionRound_) {
        openRequestGate();
    }
}

std::optional<AsyncResult<bool>> Client::requestGate(Feature feature) const {
    if (feature == Feature::handshake || !gateClosed_.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    return gate_;
}

void Client::closeRequestGate() {
    if (gateOpener_) {
        return;
    }
    auto [opener, gate] = AsyncResult<bool>::make();
    gateOpener_.emplace(std::move(opener));
    std::lock_guard lock(mutex_);
    gate_.emplace(std::move(gate));
    gateClosed_.store(true, std::memory_order_release);
}

void Client::openRequestGate() {
    if (!gateOpener_) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        gate_.reset();
        gateClosed_.store(false, std::memory_order_release);
    }
    std::exchange(gateOpener_, std::nullopt)->setValue(true);
}

}  // namespace mcp
