// Server: an MCP server that serves one client over one Transport.
//
// It answers "initialize" (negotiating the protocol version) and "ping" itself, dispatches every
// other request and notification to the handlers registered by method name, answers each request
// with a result or a JSON-RPC error, cancels a running handler on "notifications/cancelled", and
// sends its own requests ("sampling/createMessage", "elicitation/create", "roots/list") and log
// notifications to the client.
//
//   auto server = std::make_shared<mcp::Server>(io.get_executor(), "Frameweaver", "1.0.0");
//   server->withMethodHandler<mcp::ListTools>(
//       [](mcp::ListTools::Parameters) -> boost::asio::awaitable<mcp::ListTools::Result> {
//           co_return mcp::ListTools::Result{.tools = myTools()};
//       });
//   co_await server->start(transport);      // returns once connected; the loop runs on
//   ...                                     // when the channel ends:
//   co_await server->stop();
//
// Thread-safety: the server is an actor. Its protocol state (connection, handshake, running
// requests, its own pending requests) lives on its own strand, and every coroutine below hops
// there. Handler registration and the capabilities and configuration may be used from any thread
// (they sit behind a lock). Each request handler runs in a task of its own on the server's
// strand, so handlers interleave at their suspension points and a waiting handler holds up
// nothing else (work that computes for long belongs on an executor of its own); a handler that
// wants to stop early when its request is cancelled awaits cancellable operations or checks
// boost::asio::this_coro::cancellation_state. Create servers with std::make_shared: running tasks
// keep the server alive until they end.
#pragma once

#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "Logging/Level.h"
#include "MCP/Core/Actor.h"
#include "MCP/Core/AsyncResult.h"
#include "MCP/Core/Handlers.h"
#include "MCP/Core/PendingRequest.h"
#include "MCP/Core/Transport.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/JSON/TypedJson.h"
#include "MCP/Messages/Cancellation.h"
#include "MCP/Messages/ClientCapabilities.h"
#include "MCP/Messages/Elicitation.h"
#include "MCP/Messages/ID.h"
#include "MCP/Messages/Implementation.h"
#include "MCP/Messages/Initialize.h"
#include "MCP/Messages/LoggingMessages.h"
#include "MCP/Messages/MCPError.h"
#include "MCP/Messages/Message.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/Request.h"
#include "MCP/Messages/Response.h"
#include "MCP/Messages/Roots.h"
#include "MCP/Messages/SamplingRequest.h"
#include "MCP/Messages/ServerCapabilities.h"
#include "MCP/Server/ServerBatch.h"
#include "MCP/Server/ServerConfiguration.h"
#include "MCP/Server/ServerHandlerContext.h"

namespace mcp {

class Server : public std::enable_shared_from_this<Server> {
public:
    using Info = ServerInfo;
    using Capabilities = ServerCapabilities;
    using Configuration = ServerConfiguration;
    using HandlerContext = ServerHandlerContext;
    using Batch = ServerBatch;
    // Called with the client's identity and capabilities before "initialize" is answered; an
    // error it throws is the answer and leaves the server uninitialized.
    using InitializeHook =
        std::function<boost::asio::awaitable<void>(ClientInfo, ClientCapabilities)>;

    // `executor` runs the server's strand, which runs its request handlers too. Does no I/O.
    Server(boost::asio::any_io_executor executor, std::string name, std::string version,
           std::optional<std::string> title = std::nullopt,
           std::optional<std::string> instructions = std::nullopt, Capabilities capabilities = {},
           Configuration configuration = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    const Info& serverInfo() const noexcept { return serverInfo_; }
    const std::string& name() const noexcept { return serverInfo_.name; }
    const std::string& version() const noexcept { return serverInfo_.version; }
    const std::optional<std::string>& title() const noexcept { return serverInfo_.title; }
    const std::optional<std::string>& instructions() const noexcept { return instructions_; }

    Capabilities capabilities() const;
    void setCapabilities(Capabilities capabilities);
    Configuration configuration() const;
    void setConfiguration(Configuration configuration);

    // The context of the request whose handler is running on this thread (and in the tasks the
    // handler starts on its own executor); absent anywhere else.
    static std::optional<HandlerContext> currentHandlerContext();

    // --- Life cycle ---------------------------------------------------------------------------

    // Why a receive loop ended: its transport's stream finished, failed, or stop() ended it.
    enum class LoopEnd { endOfInput, streamError, stopped };

    // Installs the "initialize" and "ping" handlers (replacing ones registered under those
    // names) and, the first time, the cancellation handler, connects the transport and starts the
    // receive loop in the background. Returns once connected. Throws the transport's connect
    // error (the server then keeps the transport until stop()), MCPError internalError "Server is
    // already running" while another start or a receive loop is under way, and internalError
    // "Server stopped while starting" when stop() came during the connection (no loop runs
    // then). A server whose loop has ended may be started again.
    boost::asio::awaitable<void> start(std::shared_ptr<Transport> transport,
                                       InitializeHook initializeHook = {});
    // Ends the receive loop, fails every request waiting for the client with internalError
    // "Server disconnected", cancels every running request handler (as a cancellation from the
    // client would: its answer could no longer be delivered, so none is sent), and disconnects
    // the transport. Never throws; returns at once when never started.
    boost::asio::awaitable<void> stop();
    // Returns when the receive loop has ended, and why. At once when no loop runs, with how the
    // last one ended (`stopped` when stop() ended it, and when none ran).
    boost::asio::awaitable<LoopEnd> waitUntilCompleted();

    // --- Handlers -------------------------------------------------------------------------------

    // Registers the handler of method M, replacing an earlier one. Parameters that do not fit
    // M::Parameters are answered with invalidParams (-32602) and the handler does not run. An
    // MCPError the handler throws is the answer as it is; any other exception becomes
    // internalError with its what() as detail.
    template <Method M>
    Server& withMethodHandler(
        std::function<boost::asio::awaitable<typename M::Result>(typename M::Parameters)> handler);
    // The same for a handler that takes its request's context as an argument, for one that moves
    // work to an executor of its own, where currentHandlerContext() does not reach.
    template <Method M>
    Server& withMethodHandler(std::function<boost::asio::awaitable<typename M::Result>(
                                  typename M::Parameters, HandlerContext)>
                                  handler);
    // Appends a handler of notification N; handlers of one name run in registration order, and
    // one that fails (logged) does not stop the others.
    template <Notification N>
    Server& onNotification(std::function<boost::asio::awaitable<void>(Message<N>)> handler);

    // --- Sending --------------------------------------------------------------------------------

    // Each throws MCPError internalError "Server connection not initialized" without a
    // connection, EncodingError for a value JSON cannot carry, and the transport's send error.
    template <Method M>
    boost::asio::awaitable<void> sendResponse(Response<M> response) {
        Value encoded = std::move(response).toValue();
        co_await sendValue(std::move(encoded));
    }
    template <Notification N>
    boost::asio::awaitable<void> notify(Message<N> message) {
        Value encoded = std::move(message).toValue();
        co_await sendValue(std::move(encoded));
    }

    // Sends a request to the client and waits for its response, with no time limit: the typed
    // result, the client's MCPError, TypeMismatchError when the result does not fit, the
    // transport's send error, or internalError "Server disconnected" when the server stops or its
    // receive loop ends (at once when it has ended already). A request whose id is still waiting
    // is refused with internalError "A request with this ID is already pending".
    // Cancelling the awaiting coroutine withdraws the request: its entry is removed, the client
    // is told once with "notifications/cancelled", and the caller gets operation_aborted.
    template <Method M>
    boost::asio::awaitable<typename M::Result> send(Request<M> request);

    // Tells the client that the server's request `id` is withdrawn ("notifications/cancelled",
    // reason left out when absent). A request of the server still waiting under that id is
    // removed and its caller fails with internalError "Request cancelled". Throws as notify().
    boost::asio::awaitable<void> cancelRequest(ID id, std::optional<std::string> reason = {});

    // --- Requests and notifications to the client ----------------------------------------------
    // With strict configuration each request first needs the client's capability: methodNotFound
    // "Client capabilities not initialized" before "initialize", else "<Name> is not supported by
    // the client" (Sampling, Elicitation, Roots) when the client did not announce it.

    // "sampling/createMessage"; the parameters' tools, toolChoice and metadata are not sent.
    boost::asio::awaitable<CreateSamplingMessage::Result> createSamplingMessage(
        CreateSamplingMessage::Parameters parameters);
    // "elicitation/create" in form mode.
    boost::asio::awaitable<CreateElicitation::Result> createElicitation(
        std::string message, Elicitation::RequestSchema requestedSchema,
        std::optional<Elicitation::Mode> mode = std::nullopt,
        std::optional<Metadata> meta = std::nullopt);
    // "elicitation/create" in URL mode.
    boost::asio::awaitable<CreateElicitation::Result> createElicitation(
        std::string message, std::string url, std::string elicitationId,
        std::optional<Metadata> meta = std::nullopt);
    // "roots/list"; the roots of the answer.
    boost::asio::awaitable<std::vector<Root>> listRoots();
    // "notifications/message" with {level, logger?, data}; sent whatever the client asked for.
    boost::asio::awaitable<void> log(LogLevel level, std::optional<std::string> logger, Value data);
    template <Codable T>
    boost::asio::awaitable<void> log(LogLevel level, std::optional<std::string> logger,
                                     const T& data) {
        Value converted = encodeValue(data);
        co_await log(level, std::move(logger), std::move(converted));
    }

    // --- Inspection -----------------------------------------------------------------------------

    // The handshake as the server recorded it.
    struct ClientState {
        bool isInitialized = false;
        std::optional<ClientInfo> clientInfo;
        std::optional<ClientCapabilities> clientCapabilities;
        std::optional<std::string> protocolVersion;
    };
    boost::asio::awaitable<ClientState> clientState();
    // The number of request handlers running and of the server's requests waiting for the
    // client.
    struct Load {
        std::size_t runningRequests = 0;
        std::size_t pendingRequests = 0;
    };
    boost::asio::awaitable<Load> load();

private:
    struct RunningRequest;
    struct RequestJob;
    struct RequestWorker;

    // Registration (any thread).
    void registerRequestHandler(std::string name, std::shared_ptr<RequestHandlerBox> box);
    void registerNotificationHandler(std::string name, std::shared_ptr<NotificationHandlerBox> box);
    std::shared_ptr<RequestHandlerBox> requestHandler(std::string_view name) const;
    // The same on the strand, remembering the last lookup: requests mostly repeat one method.
    std::shared_ptr<RequestHandlerBox> servingHandler(std::string_view name);
    std::vector<std::shared_ptr<NotificationHandlerBox>> notificationHandlers(
        std::string_view name) const;
    void registerDefaultHandlers(InitializeHook initializeHook);
    void registerCancellationHandler();

    // Strand operations.
    boost::asio::awaitable<void> sendValue(Value message);
    // With `answer`, the bytes are the answer to a request and go out through sendAnswer();
    // with `related`, they were sent by that request's handler and go through sendRelated().
    boost::asio::awaitable<void> sendOnStrand(
        std::string bytes, std::optional<Transport::Answer> answer = std::nullopt,
        std::optional<ID> related = std::nullopt);
    // The request whose handler is running on this thread, if any.
    static std::optional<ID> relatedRequest();
    boost::asio::awaitable<void> startOnStrand(std::shared_ptr<Transport> transport,
                                               InitializeHook initializeHook);
    boost::asio::awaitable<void> stopOnStrand();
    boost::asio::awaitable<std::variant<LoopEnd, AsyncResult<LoopEnd>>> loopDoneOnStrand();
    boost::asio::awaitable<ClientState> clientStateOnStrand();
    boost::asio::awaitable<Load> loadOnStrand();
    boost::asio::awaitable<LoopEnd> receiveLoop(std::shared_ptr<Server> self,
                                                std::shared_ptr<Transport> transport,
                                                std::uint64_t generation);
    void endLoop(LoopEnd end, std::uint64_t generation);
    void failPendingRequests();
    boost::asio::awaitable<void> runRequest(std::shared_ptr<Server> self,
                                            Request<AnyMethod> request);
    void handToWorker(RequestJob&& job);
    void startWorker();
    boost::asio::awaitable<void> runWorker(std::shared_ptr<Server> self,
                                           std::shared_ptr<RequestWorker> worker);
    void closeIdleWorkers();
    std::shared_ptr<RunningRequest> recordRunningRequest(const ID& id, const std::string& method);
    void forgetRunningRequest(const std::shared_ptr<RunningRequest>& running);
    // Cancels the handler of `running`, which then sends no answer.
    void cancelRunningRequest(RunningRequest& running);
    void finishRequest(const std::shared_ptr<RunningRequest>& running, bool dropped);
    boost::asio::awaitable<void> runBatch(std::shared_ptr<Server> self, ServerBatch batch);
    static boost::asio::awaitable<Response<AnyMethod>> runHandler(
        std::shared_ptr<RequestHandlerBox> box, Request<AnyMethod> request);
    boost::asio::awaitable<void> cancelRequestOnStrand(ID id, std::optional<std::string> reason);
    boost::asio::awaitable<void> checkCapabilityOnStrand(std::string_view method);
    boost::asio::awaitable<void> registerAndSendOnStrand(ID id, AnyPendingRequest pending,
                                                         std::string bytes,
                                                         std::optional<ID> related);
    boost::asio::awaitable<void> sendWithdrawal(std::shared_ptr<Server> self, ID id);
    std::optional<boost::asio::awaitable<void>> dispatchElement(std::string_view element);
    boost::asio::awaitable<void> handleNotificationElement(Message<AnyNotification> message);
    boost::asio::awaitable<void> reportElementFailure(MCPError error, std::optional<ID> id);
    boost::asio::awaitable<void> handleBatch(ServerBatch batch);
    bool admits(std::string_view method, bool strict) const;
    std::optional<boost::asio::awaitable<void>> startRequest(Request<AnyMethod> request);
    std::optional<boost::asio::awaitable<void>> startBatch(ServerBatch batch);
    boost::asio::awaitable<void> refuseOverLimit(std::optional<ID> id);
    boost::asio::awaitable<void> sendErrorAnswer(const MCPError& error, std::optional<ID> id);
    static boost::asio::awaitable<void> tellRequestEnded(
        const std::shared_ptr<Transport>& connection, const ID& id);
    boost::asio::awaitable<std::optional<Response<AnyMethod>>> handleRequest(
        Request<AnyMethod> request, bool sendResponse);
    boost::asio::awaitable<void> handleMessage(Message<AnyNotification> message);
    void handleResponse(Response<AnyMethod> response);

    // The initialize and cancellation handlers' strand work.
    boost::asio::awaitable<Initialize::Result> initialize(Initialize::Parameters parameters,
                                                          InitializeHook hook);
    boost::asio::awaitable<void> handleCancellation(CancelledNotification::Parameters parameters);

    // Outbound requests.
    boost::asio::awaitable<void> checkClientCapability(std::string_view method);
    boost::asio::awaitable<void> registerAndSend(ID id, AnyPendingRequest pending,
                                                 std::string bytes);
    void withdrawPendingRequest(ID id);
    std::optional<AnyPendingRequest> removePendingRequest(const ID& id);

    // Logging through the connection's logger (strand only; nothing without a connection).
    template <class MessageProducer, class MetadataProducer>
    void logEvent(logging::Level level, const MessageProducer& message,
                  const MetadataProducer& metadata,
                  std::source_location location = std::source_location::current()) const;

    const Strand strand_;
    const Info serverInfo_;
    const std::optional<std::string> instructions_;

    // Behind registryMutex_.
    mutable std::mutex registryMutex_;
    Capabilities capabilities_;
    // The configuration, read for every request: each field on its own, without the lock.
    std::atomic<bool> strict_;
    std::atomic<std::size_t> maxConcurrentRequests_;

    HandlerRegistry handlers_;

    // Strand only.
    std::shared_ptr<Transport> connection_;
    // servingHandler()'s last lookup, while the registry's version is the same.
    struct HandlerLookup {
        std::uint64_t version = 0;
        std::string method;
        std::shared_ptr<RequestHandlerBox> box;
    };
    HandlerLookup lastHandler_;
    // A handful at a time: a list searched from the newest costs less than a hash table.
    std::vector<std::shared_ptr<RunningRequest>> pendingRequestTasks_;
    std::size_t runningRequests_ = 0;
    std::vector<std::shared_ptr<RequestWorker>> idleWorkers_;
    bool receiving_ = false;
    std::unordered_map<ID, AnyPendingRequest> pendingRequests_;
    ClientState client_;
    bool initializing_ = false;
    // idle: never started, or stopped; starting: start() connects; running: the loop runs;
    // ended: the loop ended by itself and stop() has not come yet.
    enum class Phase { idle, starting, running, ended };
    Phase phase_ = Phase::idle;
    // Counts starts and stops, so that a start or a loop that was overtaken by stop() knows.
    std::uint64_t generation_ = 0;
    bool cancellationHandlerRegistered_ = false;
    std::shared_ptr<boost::asio::cancellation_signal> loopSignal_;
    std::optional<AsyncResult<LoopEnd>> loopDone_;
    LoopEnd lastLoopEnd_ = LoopEnd::stopped;
};

// ---------------------------------------------------------------------------------------------

namespace detail {

// The box of a handler registered with Server::withMethodHandler: parameters that do not fit are
// the client's mistake (invalidParams), not the server's.
template <Method M>
class ServerRequestHandler final : public RequestHandlerBox {
public:
    using Handler =
        std::function<boost::asio::awaitable<typename M::Result>(typename M::Parameters)>;
    using ContextHandler = std::function<boost::asio::awaitable<typename M::Result>(
        typename M::Parameters, ServerHandlerContext)>;
    explicit ServerRequestHandler(Handler handler) : handler_(std::move(handler)) {}
    explicit ServerRequestHandler(ContextHandler handler) : contextHandler_(std::move(handler)) {}

    boost::asio::awaitable<Response<AnyMethod>> handle(Request<AnyMethod> request) override {
        typename M::Result result = co_await run(request);
        Response<AnyMethod> response{std::move(request.id), encodeValue(std::move(result))};
        co_return response;
    }

    // The result is written straight from its type; when that fails, once more through its
    // Value, whose error names the offending member.
    boost::asio::awaitable<std::string> answer(Request<AnyMethod> request) override {
        typename M::Result result = co_await run(request);
        std::string text;
        text.reserve(kAnswerTextReserve);
        try {
            mcp::detail::appendResultEnvelope(
                text, request.id, [&](std::string& out) { appendTypedJson(out, result); });
        } catch (const EncodingError&) {
            text.clear();
            Response<AnyMethod>{std::move(request.id), encodeValue(std::move(result))}.appendJsonTo(
                text);
        }
        co_return text;
    }

private:
    // Room for the text of a usual answer, so that writing it allocates once.
    static constexpr std::size_t kAnswerTextReserve = 256;

    boost::asio::awaitable<typename M::Result> run(Request<AnyMethod>& request) {
        if (handler_) {
            return handler_(parameters(request));
        }
        // The box runs on the request's executor, where its context is bound.
        const ServerHandlerContext* bound = boundHandlerContext();
        return contextHandler_(parameters(request),
                               bound ? *bound : ServerHandlerContext{request.id, std::nullopt});
    }

    static typename M::Parameters parameters(Request<AnyMethod>& request) {
        try {
            return mcp::detail::decodeErasedParams<typename M::Parameters>(request.params);
        } catch (const DecodingError& error) {
            throw MCPError::invalidParams(std::string(error.what()));
        }
    }

    const Handler handler_;
    const ContextHandler contextHandler_;
};

}  // namespace detail

template <Method M>
Server& Server::withMethodHandler(
    std::function<boost::asio::awaitable<typename M::Result>(typename M::Parameters)> handler) {
    registerRequestHandler(std::string(M::name),
                           std::make_shared<detail::ServerRequestHandler<M>>(std::move(handler)));
    return *this;
}

template <Method M>
Server& Server::withMethodHandler(std::function<boost::asio::awaitable<typename M::Result>(
                                      typename M::Parameters, HandlerContext)>
                                      handler) {
    registerRequestHandler(std::string(M::name),
                           std::make_shared<detail::ServerRequestHandler<M>>(std::move(handler)));
    return *this;
}

template <Notification N>
Server& Server::onNotification(std::function<boost::asio::awaitable<void>(Message<N>)> handler) {
    registerNotificationHandler(std::string(N::name),
                                std::make_shared<TypedNotificationHandler<N>>(std::move(handler)));
    return *this;
}

template <Method M>
boost::asio::awaitable<typename M::Result> Server::send(Request<M> request) {
    using Result = typename M::Result;
    PendingRequest<Result> pending;
    // The caller keeps only the handle; the table owns the request, so an entry that is dropped
    // fails this wait instead of leaving it for ever.
    AsyncResult<Result> answer = pending.result();
    ID id = request.id;
    Value encoded = std::move(request).toValue();
    std::string bytes;
    appendJson(bytes, encoded);
    co_await registerAndSend(id, AnyPendingRequest(std::move(pending)), std::move(bytes));
    std::exception_ptr failure;
    try {
        Result result = co_await answer.take();
        co_return result;
    } catch (const boost::system::system_error& error) {
        if (error.code() != boost::asio::error::operation_aborted) {
            throw;
        }
        failure = std::current_exception();
    }
    // The caller was cancelled: withdraw the request so that nothing waits for it.
    withdrawPendingRequest(std::move(id));
    std::rethrow_exception(failure);
}

}  // namespace mcp
