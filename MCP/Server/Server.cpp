// The server actor: construction, registration, life cycle, the receive loop and sending.

#include "MCP/Server/Server.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "MCP/JSON/JsonWriter.h"
#include "MCP/Server/ServerInternal.h"

namespace mcp {

namespace asio = boost::asio;

namespace detail {

std::string describeError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& exception) {
        return exception.what();
    } catch (...) {
        return "An unknown error occurred.";
    }
}

MCPError toMCPError(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const MCPError& mcpError) {
        return mcpError;
    } catch (...) {
        return MCPError::internalError(describeError(error));
    }
}

bool isOperationAborted(const std::exception_ptr& error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (const boost::system::system_error& systemError) {
        return systemError.code() == asio::error::operation_aborted;
    } catch (...) {
        return false;
    }
}

namespace {
thread_local const std::optional<ServerHandlerContext>* tBoundContext = nullptr;
}

const ServerHandlerContext* boundHandlerContext() noexcept {
    return tBoundContext && *tBoundContext ? &**tBoundContext : nullptr;
}

HandlerContextScope::HandlerContextScope(
    const std::optional<ServerHandlerContext>* context) noexcept
    : previous_(tBoundContext) {
    tBoundContext = context;
}

HandlerContextScope::~HandlerContextScope() {
    tBoundContext = previous_;
}

}  // namespace detail

Server::Server(asio::any_io_executor executor, std::string name, std::string version,
               std::optional<std::string> title, std::optional<std::string> instructions,
               Capabilities capabilities, Configuration configuration)
    : strand_(asio::make_strand(executor)),
      serverInfo_{
          .name = std::move(name), .title = std::move(title), .version = std::move(version)},
      instructions_(std::move(instructions)),
      capabilities_(std::move(capabilities)),
      strict_(configuration.strict),
      maxConcurrentRequests_(configuration.maxConcurrentRequests) {}

Server::~Server() = default;

Server::Capabilities Server::capabilities() const {
    std::lock_guard lock(registryMutex_);
    return capabilities_;
}

void Server::setCapabilities(Capabilities capabilities) {
    std::lock_guard lock(registryMutex_);
    capabilities_ = std::move(capabilities);
}

Server::Configuration Server::configuration() const {
    return {.strict = strict_.load(std::memory_order_relaxed),
            .maxConcurrentRequests = maxConcurrentRequests_.load(std::memory_order_relaxed)};
}

void Server::setConfiguration(Configuration configuration) {
    strict_.store(configuration.strict, std::memory_order_relaxed);
    maxConcurrentRequests_.store(configuration.maxConcurrentRequests, std::memory_order_relaxed);
}

std::optional<Server::HandlerContext> Server::currentHandlerContext() {
    if (const HandlerContext* context = detail::boundHandlerContext()) {
        return *context;
    }
    return std::nullopt;
}

void Server::registerRequestHandler(std::string name, std::shared_ptr<RequestHandlerBox> box) {
    handlers_.setRequestHandler(std::move(name), std::move(box));
}

void Server::registerNotificationHandler(std::string name,
                                         std::shared_ptr<NotificationHandlerBox> box) {
    handlers_.addNotificationHandler(std::move(name), std::move(box));
}

std::shared_ptr<RequestHandlerBox> Server::requestHandler(std::string_view name) const {
    return handlers_.requestHandler(name);
}

std::shared_ptr<RequestHandlerBox> Server::servingHandler(std::string_view name) {
    // Read before the lookup: a registration in between makes the next request look again.
    const std::uint64_t version = handlers_.requestHandlersVersion();
    if (version != lastHandler_.version || name != lastHandler_.method) {
        lastHandler_ = HandlerLookup{version, std::string(name), handlers_.requestHandler(name)};
    }
    return lastHandler_.box;
}

std::vector<std::shared_ptr<NotificationHandlerBox>> Server::notificationHandlers(
    std::string_view name) const {
    return handlers_.notificationHandlers(name);
}

// --- Life cycle ---------------------------------------------------------------------------------

asio::awaitable<void> Server::start(std::shared_ptr<Transport> transport,
                                    InitializeHook initializeHook) {
    auto self = shared_from_this();
    co_await asio::co_spawn(strand_, startOnStrand(std::move(transport), std::move(initializeHook)),
                            asio::use_awaitable);
}

asio::awaitable<void> Server::startOnStrand(std::shared_ptr<Transport> transport,
                                            InitializeHook initializeHook) {
    // A second loop over the same server would answer every message twice.
    if (phase_ == Phase::starting || phase_ == Phase::running) {
        throw MCPError::internalError("Server is already running");
    }
    phase_ = Phase::starting;
    const std::uint64_t generation = ++generation_;
    connection_ = transport;
    registerDefaultHandlers(std::move(initializeHook));
    if (!std::exchange(cancellationHandlerRegistered_, true)) {
        registerCancellationHandler();
    }
    std::exception_ptr failure;
    try {
        co_await transport->connect();
    } catch (...) {
        failure = std::current_exception();
    }
    if (generation != generation_) {
        // stop() came meanwhile: it has disconnected and cleared, and no loop may start now.
        throw MCPError::internalError("Server stopped while starting");
    }
    if (failure) {
        phase_ = Phase::idle;
        std::rethrow_exception(failure);
    }
    logEvent(logging::Level::debug, "Server started", [&] {
        return logging::Metadata{{"name", serverInfo_.name}, {"version", serverInfo_.version}};
    });
    phase_ = Phase::running;
    receiving_ = true;
    auto [done, result] = AsyncResult<LoopEnd>::make();
    loopDone_ = result;
    auto signal = std::make_shared<asio::cancellation_signal>();
    loopSignal_ = signal;
    auto self = shared_from_this();
    // The loop's executor is the strand in a small wrapper, cheap to copy on every wait.
    asio::co_spawn(
        detail::bindHandlerContext(strand_, std::nullopt),
        receiveLoop(self, std::move(transport), generation),
        asio::bind_cancellation_slot(signal->slot(), [signal, done = std::move(done)](
                                                         std::exception_ptr error, LoopEnd end) {
            done.setValue(error ? LoopEnd::streamError : end);
        }));
}

asio::awaitable<void> Server::stop() {
    auto self = shared_from_this();
    co_await asio::co_spawn(strand_, stopOnStrand(), asio::use_awaitable);
}

asio::awaitable<void> Server::stopOnStrand() {
    ++generation_;
    if (loopSignal_) {
        loopSignal_->emit(asio::cancellation_type::terminal);
    }
    if (phase_ == Phase::running || phase_ == Phase::starting) {
        lastLoopEnd_ = LoopEnd::stopped;
    }
    phase_ = Phase::idle;
    loopSignal_.reset();
    loopDone_.reset();
    receiving_ = false;
    // The running handlers' answers could no longer be delivered: cancelled, they end now
    // instead of holding the program up until they are done.
    for (const auto& running : std::exchange(pendingRequestTasks_, {})) {
        cancelRunningRequest(*running);
    }
    closeIdleWorkers();
    failPendingRequests();
    if (auto connection = std::exchange(connection_, nullptr)) {
        co_await connection->disconnect();
    }
}

void Server::failPendingRequests() {
    auto pending = std::exchange(pendingRequests_, {});
    for (auto& [id, request] : pending) {
        request.resume(MCPError::internalError("Server disconnected"));
    }
}

asio::awaitable<std::variant<Server::LoopEnd, AsyncResult<Server::LoopEnd>>>
Server::loopDoneOnStrand() {
    if (loopDone_) {
        co_return *loopDone_;
    }
    co_return lastLoopEnd_;
}

asio::awaitable<Server::LoopEnd> Server::waitUntilCompleted() {
    auto self = shared_from_this();
    std::variant<LoopEnd, AsyncResult<LoopEnd>> done =
        co_await asio::co_spawn(strand_, loopDoneOnStrand(), asio::use_awaitable);
    if (auto* running = std::get_if<AsyncResult<LoopEnd>>(&done)) {
        LoopEnd end = co_await running->value();
        co_return end;
    }
    co_return std::get<LoopEnd>(done);
}

asio::awaitable<Server::ClientState> Server::clientStateOnStrand() {
    co_return client_;
}

asio::awaitable<Server::ClientState> Server::clientState() {
    auto self = shared_from_this();
    ClientState state =
        co_await asio::co_spawn(strand_, clientStateOnStrand(), asio::use_awaitable);
    co_return state;
}

asio::awaitable<Server::Load> Server::loadOnStrand() {
    co_return Load{runningRequests_, pendingRequests_.size()};
}

asio::awaitable<Server::Load> Server::load() {
    auto self = shared_from_this();
    Load load = co_await asio::co_spawn(strand_, loadOnStrand(), asio::use_awaitable);
    co_return load;
}

// --- Receive loop -------------------------------------------------------------------------------

asio::awaitable<Server::LoopEnd> Server::receiveLoop(std::shared_ptr<Server> self,
                                                     std::shared_ptr<Transport> transport,
                                                     std::uint64_t generation) {
    (void)self;  // the loop keeps the server alive
    MessageStream stream = transport->receive();
    LoopEnd end = LoopEnd::endOfInput;
    try {
        while (true) {
            if (auto state = co_await asio::this_coro::cancellation_state;
                state.cancelled() != asio::cancellation_type::none) {
                end = LoopEnd::stopped;
                break;
            }
            std::optional<std::string> element;
            try {
                element = co_await stream.next();
            } catch (const boost::system::system_error& error) {
                if (error.code() == asio::error::operation_aborted) {
                    end = LoopEnd::stopped;
                    break;
                }
                throw;
            }
            if (!element) {
                break;
            }
            auto state = co_await asio::this_coro::cancellation_state;
            if (state.cancelled() != asio::cancellation_type::none) {
                end = LoopEnd::stopped;
                break;
            }
            // Requests, batches and responses are handed on at once; a notification's handlers
            // and an error answer are awaited here, in arrival order.
            if (auto rest = dispatchElement(*element)) {
                co_await std::move(*rest);
            }
        }
    } catch (...) {
        end = LoopEnd::streamError;
        const std::string description = detail::describeError(std::current_exception());
        logEvent(logging::Level::error, "Fatal error in message handling loop", [&] {
            return logging::Metadata{{"error", description}};
        });
    }
    endLoop(end, generation);
    logEvent(logging::Level::debug, "Server finished", logging::DeferredMetadata{});
    co_return generation == generation_ ? end : LoopEnd::stopped;
}

void Server::endLoop(LoopEnd end, std::uint64_t generation) {
    if (generation != generation_) {
        return;  // stop() came first and has cleared up
    }
    phase_ = Phase::ended;
    lastLoopEnd_ = end;
    receiving_ = false;
    loopSignal_.reset();
    loopDone_.reset();
    closeIdleWorkers();
    // Nothing will take their answers in any more.
    failPendingRequests();
}

// --- Sending ------------------------------------------------------------------------------------

std::optional<ID> Server::relatedRequest() {
    const HandlerContext* context = detail::boundHandlerContext();
    return context ? std::optional<ID>(context->id) : std::nullopt;
}

asio::awaitable<void> Server::sendValue(Value message) {
    // Read before any hop: the handler's context is bound where the handler runs.
    std::optional<ID> related = relatedRequest();
    std::string bytes;
    appendJson(bytes, message);
    if (strand_.running_in_this_thread()) {
        co_await sendOnStrand(std::move(bytes), std::nullopt, std::move(related));
        co_return;
    }
    auto self = shared_from_this();
    co_await asio::co_spawn(strand_,
                            sendOnStrand(std::move(bytes), std::nullopt, std::move(related)),
                            asio::use_awaitable);
}

asio::awaitable<void> Server::sendOnStrand(std::string bytes,
                                           std::optional<Transport::Answer> answer,
                                           std::optional<ID> related) {
    if (!connection_) {
        throw MCPError::internalError("Server connection not initialized");
    }
    // Held across the send: stop() may clear connection_ meanwhile.
    std::shared_ptr<Transport> connection = connection_;
    if (answer) {
        co_await connection->sendAnswer(std::move(bytes), std::move(*answer));
    } else if (related) {
        co_await connection->sendRelated(std::move(bytes), std::move(related));
    } else {
        co_await connection->send(std::move(bytes));
    }
}

}  // namespace mcp
