// Client: an MCP client that talks to one server over one Transport.
//
// connect() attaches a transport, starts the receive loop and runs the "initialize" handshake;
// the typed operations send requests and wait for their answers; handlers registered here answer
// the server's own requests (sampling, elicitation, roots) and take its notifications.
//
//   auto client = std::make_shared<mcp::Client>(io.get_executor(), "my-client", "1.0.0");
//   mcp::Initialize::Result server = co_await client->connect(transport);
//   auto [tools, next] = co_await client->listTools();
//   auto [content, isError] = co_await client->callTool("add", mcp::Object{{"a", 1}, {"b", 2}});
//   co_await client->disconnect();
//
// Requests: each waits in the pending-request table under its id from before its bytes leave
// until the first of: its answer, cancelRequest() (or a cancelled awaiter of its context), the
// optional time-out, the end of the connection, or a failed transport send. (The server's
// "notifications/cancelled" names a request of the server: it cancels that request's handler,
// which then sends no answer, and never touches a request of the client.) Whoever takes the entry
// out resumes it, so each waiter gets exactly one outcome:
//   the typed result                   an answer carrying a result that fits the type
//   the server's MCPError              an error answer
//   TypeMismatchError                  a result that does not fit
//   CancellationError                  cancelRequest(), a withdrawn context
//   internalError "Request timed out"  Configuration::requestTimeout passed
//   internalError "Client disconnected"              disconnect()
//   connectionClosed, or the stream's error          the transport's stream ended or failed
//   connectionClosed                                 the transport lost its connection (below)
//   the transport's send error                       the bytes could not be handed over
//
// A transport that replaces a broken connection without ending its stream (the network
// transport) says so through its connection-change handler: on `lost` every pending request fails
// with connectionClosed (its answer is gone with the connection) and new requests wait; on
// `replaced` a client that was initialized runs initialize() again on the new connection, and
// the waiting requests go out once that handshake has ended (a failed one is logged).
//
// Thread-safety: the client is an actor. Its protocol state (connection, handshake results,
// pending requests, the receive loop) lives on its own strand; callers await from any executor.
// What a request needs (the pending-request table, the connection, the server's capabilities)
// is changed on the strand behind a small lock, so that a request enters the table and goes to
// the transport from the caller's own coroutine, without a hop onto the strand; whatever takes
// an entry out resumes it outside the lock. Handler registration, capabilities and
// configuration may be used from any thread (they sit behind the same lock). The receive loop
// handles responses one after another in arrival order and never waits for a handler:
// notifications go to a queue of their own, whose handlers run one notification after another in
// arrival order (so a handler may itself ask the server something), and each request of the
// server runs in a task of its own. The queue holds at most kMaxQueuedNotifications; a
// notification that finds it full is dropped with a warning (a notification has no answer to
// wait for). Create clients with std::make_shared: running tasks keep the client alive until
// they end.
#pragma once

#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Logging/Level.h"
#include "MCP/Client/ClientConfiguration.h"
#include "MCP/Client/ClientRequestText.h"
#include "MCP/Core/Actor.h"
#include "MCP/Core/AsyncResult.h"
#include "MCP/Core/Handlers.h"
#include "MCP/Core/PendingRequest.h"
#include "MCP/Core/RequestContext.h"
#include "MCP/Core/Transport.h"
#include "MCP/JSON/JsonElement.h"
#include "MCP/Messages/Cancellation.h"
#include "MCP/Messages/ClientCapabilities.h"
#include "MCP/Messages/Completion.h"
#include "MCP/Messages/Elicitation.h"
#include "MCP/Messages/ID.h"
#include "MCP/Messages/Implementation.h"
#include "MCP/Messages/Initialize.h"
#include "MCP/Messages/LoggingMessages.h"
#include "MCP/Messages/MCPError.h"
#include "MCP/Messages/Message.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/Prompts.h"
#include "MCP/Messages/Request.h"
#include "MCP/Messages/Resources.h"
#include "MCP/Messages/Response.h"
#include "MCP/Messages/Roots.h"
#include "MCP/Messages/SamplingRequest.h"
#include "MCP/Messages/Tools.h"

namespace mcp {

class ClientBatch;

class Client : public std::enable_shared_from_this<Client> {
public:
    using Info = ClientInfo;
    using Capabilities = ClientCapabilities;
    using Configuration = ClientConfiguration;
    using Batch = ClientBatch;

    // `executor` runs the client's strand, which runs the handlers of the server's requests and
    // notifications too. Does no I/O.
    Client(boost::asio::any_io_executor executor, std::string name, std::string version,
           std::optional<std::string> title = std::nullopt,
           std::optional<std::string> description = std::nullopt,
           std::optional<std::string> websiteUrl = std::nullopt,
           std::optional<std::vector<Icon>> icons = std::nullopt, Capabilities capabilities = {},
           Configuration configuration = {});
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    const Info& clientInfo() const noexcept { return clientInfo_; }
    const std::string& name() const noexcept { return clientInfo_.name; }
    const std::optional<std::string>& title() const noexcept { return clientInfo_.title; }
    const std::string& version() const noexcept { return clientInfo_.version; }

    Capabilities capabilities() const;
    void setCapabilities(Capabilities capabilities);
    Configuration configuration() const;
    void setConfiguration(Configuration configuration);

    // --- Connection -----------------------------------------------------------------------------

    // Attaches `transport` (dropping one held before), connects it, starts the receive loop,
    // registers the "notifications/cancelled" listener (once per client) and runs initialize().
    // Throws the transport's connect error (the transport stays attached, no loop runs), MCPError
    // internalError "Client is already connected" while a loop runs over an attached transport
    // (the running connection is left alone), and initialize()'s errors (the loop keeps running).
    boost::asio::awaitable<Initialize::Result> connect(std::shared_ptr<Transport> transport);
    // Detaches the transport, fails every pending request with internalError "Client
    // disconnected", ends the receive loop, disconnects the transport and waits for the loop to
    // end. Handler tables and the handshake's results stay. Never throws.
    boost::asio::awaitable<void> disconnect();
    // Whether a receive loop runs over an attached transport. The loop ends by itself when the
    // transport's stream ends or fails; every pending request then fails with connectionClosed
    // (or the stream's error) and new requests are refused with connectionClosed.
    boost::asio::awaitable<bool> isConnected();

    // The handshake's results: absent before the first successful initialize().
    struct ServerState {
        std::optional<ServerCapabilities> capabilities;
        std::optional<std::string> protocolVersion;
        std::optional<std::string> instructions;
    };
    boost::asio::awaitable<ServerState> serverState();
    // The requests waiting for their answers.
    boost::asio::awaitable<std::size_t> pendingRequestCount();

    // --- Handlers -------------------------------------------------------------------------------

    // Appends a handler of notification N; handlers of one name run in registration order, one
    // after another, and one that fails (logged) does not stop the others.
    template <Notification N>
    Client& onNotification(std::function<boost::asio::awaitable<void>(Message<N>)> handler);
    // Registers the handler of the server's request M, replacing an earlier one. It answers with
    // its result; an MCPError it throws is the answer as it is, any other error internalError
    // with its description (parameters that do not fit M's make such an error too).
    template <Method M>
    Client& withMethodHandler(
        std::function<boost::asio::awaitable<typename M::Result>(typename M::Parameters)> handler);
    // "sampling/createMessage", "elicitation/create" and "roots/list" (answered with {roots}).
    Client& withSamplingHandler(std::function<boost::asio::awaitable<CreateSamplingMessage::Result>(
                                    CreateSamplingMessage::Parameters)>
                                    handler);
    Client& withElicitationHandler(std::function<boost::asio::awaitable<CreateElicitation::Result>(
                                       CreateElicitation::Parameters)>
                                       handler);
    Client& withRootsHandler(std::function<boost::asio::awaitable<std::vector<Root>>()> handler);

    // --- Sending --------------------------------------------------------------------------------

    // Enters the request in the pending table and hands its bytes to the transport; returns once
    // the transport has them (or failed to take them: that error then ends the request's task,
    // as operation_aborted does when the caller is cancelled before the transport took them).
    // The request is never refused for capabilities. Throws MCPError internalError "Client
    // connection not initialized" without a transport, connectionClosed once the receive loop
    // has ended, internalError "A request with this ID is already pending" for an id that waits
    // (the earlier request keeps waiting), and EncodingError for parameters JSON cannot carry.
    template <Method M>
    boost::asio::awaitable<RequestContext<typename M::Result>> send(Request<M> request);

    // Sends a notification. Throws "Client connection not initialized", EncodingError and the
    // transport's send error.
    template <Notification N>
    boost::asio::awaitable<void> notify(Message<N> message);

    // Gives up on request `id`: its waiters fail with CancellationError (when it still waits),
    // and "notifications/cancelled" {requestId, reason?} goes to the server in any case. Throws
    // as notify(), after the waiters have been failed.
    boost::asio::awaitable<void> cancelRequest(ID id, std::optional<std::string> reason = {});

    // Sends the requests `body` adds to the batch as one JSON array, after `body` returns. Each
    // member is entered in the pending table when it is added and answered like any request,
    // whether the server answers with one array or separately. Throws "Client connection not
    // initialized" before `body` runs; when `body` fails, or the batch cannot be encoded or sent,
    // every member fails with that error and it is thrown. An empty batch sends nothing.
    boost::asio::awaitable<void> withBatch(
        std::function<boost::asio::awaitable<void>(Batch&)> body);

    // --- Typed operations
    // ------------------------------------------------------------------------- Each sends one
    // request with a fresh random id and waits for its answer. With strict configuration each first
    // needs the server's capability: methodNotFound "Server capabilities not initialized" before
    // the handshake, else "<Feature> is not supported by the server" (Prompts, Resources, Resource
    // subscription, Tools, Logging, Completions); nothing is sent.

    // "initialize": stores the server's capabilities, protocol version and instructions, then
    // sends "notifications/initialized". A protocol version the client does not support fails
    // with internalError (nothing stored, nothing more sent).
    boost::asio::awaitable<Initialize::Result> initialize();
    boost::asio::awaitable<void> ping();
    // The description and messages of prompt `name`.
    boost::asio::awaitable<std::pair<std::optional<std::string>, std::vector<PromptMessage>>>
    getPrompt(std::string name,
              std::optional<std::map<std::string, std::string>> arguments = std::nullopt);
    // One page each: the items and the cursor of the next page.
    boost::asio::awaitable<std::pair<std::vector<Prompt>, std::optional<std::string>>> listPrompts(
        std::optional<std::string> cursor = std::nullopt);
    boost::asio::awaitable<std::vector<ResourceContent>> readResource(std::string uri);
    boost::asio::awaitable<std::pair<std::vector<Resource>, std::optional<std::string>>>
    listResources(std::optional<std::string> cursor = std::nullopt);
    boost::asio::awaitable<void> subscribeToResource(std::string uri);
    boost::asio::awaitable<std::pair<std::vector<ResourceTemplate>, std::optional<std::string>>>
    listResourceTemplates(std::optional<std::string> cursor = std::nullopt);
    boost::asio::awaitable<std::pair<std::vector<Tool>, std::optional<std::string>>> listTools(
        std::optional<std::string> cursor = std::nullopt);
    // "tools/call": the content and the error flag of the result.
    boost::asio::awaitable<std::pair<std::vector<ToolContent>, std::optional<bool>>> callTool(
        std::string name, std::optional<Object> arguments = std::nullopt,
        std::optional<Metadata> meta = std::nullopt);
    // "tools/call" without waiting: the request's context, whose task gives the whole result.
    boost::asio::awaitable<RequestContext<CallTool::Result>> sendToolCall(
        std::string name, std::optional<Object> arguments = std::nullopt,
        std::optional<Metadata> meta = std::nullopt);
    boost::asio::awaitable<void> setLoggingLevel(LogLevel level);
    // "completion/complete" for an argument of a prompt (its title is not sent) or a resource.
    boost::asio::awaitable<Complete::Result::Completion> complete(
        PromptReference prompt, std::string argumentName, std::string argumentValue,
        std::optional<std::map<std::string, std::string>> context = std::nullopt);
    boost::asio::awaitable<Complete::Result::Completion> complete(
        ResourceReference resource, std::string argumentName, std::string argumentValue,
        std::optional<std::map<std::string, std::string>> context = std::nullopt);
    // "notifications/roots/list_changed", whatever the client's capabilities say.
    boost::asio::awaitable<void> notifyRootsChanged();

private:
    friend class ClientBatch;
    struct PendingEntry;
    struct RequestTimer;
    struct ServerRequestRun;
    struct BatchState;

    // What a typed operation needs the server to have announced.
    enum class Feature {
        none,
        handshake,  // as none, and never held back while the connection is being replaced
        prompts,
        resources,
        resourceSubscription,
        tools,
        logging,
        completions,
    };

    // Registration (any thread).
    void registerRequestHandler(std::string name, std::shared_ptr<RequestHandlerBox> box);
    void registerNotificationHandler(std::string name, std::shared_ptr<NotificationHandlerBox> box);
    std::shared_ptr<RequestHandlerBox> requestHandler(std::string_view name) const;
    std::vector<std::shared_ptr<NotificationHandlerBox>> notificationHandlers(
        std::string_view name) const;
    void registerCancellationListener();

    // Life cycle (strand).
    boost::asio::awaitable<void> connectOnStrand(std::shared_ptr<Transport> transport);
    boost::asio::awaitable<void> disconnectOnStrand();
    boost::asio::awaitable<void> receiveLoop(std::shared_ptr<Client> self,
                                             std::shared_ptr<Transport> transport,
                                             std::uint64_t generation);
    void endLoop(std::exception_ptr error, std::uint64_t generation);
    // The transport replaced its connection: what was in flight is failed, and the handshake
    // is repeated on the new connection before new requests go out.
    void connectionChanged(std::uint64_t generation, Transport::ConnectionChange change);
    boost::asio::awaitable<void> repeatHandshake(std::shared_ptr<Client> self, std::uint64_t round);
    // New requests wait while the gate is closed (any thread may look, the strand changes it).
    std::optional<AsyncResult<bool>> requestGate(Feature feature) const;
    void closeRequestGate();
    void openRequestGate();
    void failPendingRequests(const std::exception_ptr& error);

    // Requests (strand).
    // Sends M with `parameters` and waits for its result, handed back through `project`: a
    // typed operation that only reshapes the result needs no coroutine of its own.
    template <Method M, class Project = std::identity>
    boost::asio::awaitable<std::remove_cvref_t<std::invoke_result_t<Project, typename M::Result>>>
    ask(Feature feature, typename M::Parameters parameters, Project project = {});
    template <Method M>
    boost::asio::awaitable<RequestContext<typename M::Result>> sendChecked(Feature feature,
                                                                           Request<M> request);
    // Requests (any thread). enterPending() checks `feature` and the connection and enters
    // the request, all under the lock; it gives the transport to send the request over.
    // `serial` (from nextSerial()) tells this request's entry from a later one under the same id.
    std::shared_ptr<Transport> enterPending(Feature feature, const ID& id, std::uint64_t serial,
                                            AnyPendingRequest pending);
    std::uint64_t nextSerial() noexcept;
    // Hands an entered request's bytes to `connection`; a failed send ends the request with
    // its error.
    boost::asio::awaitable<void> sendEntered(std::shared_ptr<Transport> connection, const ID& id,
                                             std::uint64_t serial, std::string bytes);
    // The same in a task of its own, for a caller that waits for the answer only.
    void startSending(std::shared_ptr<Transport> connection, ID id, std::uint64_t serial,
                      std::string bytes);
    // Ends request `id` (when `serial` is the entry's) with `error` when it still waits.
    void failPendingRequest(const ID& id, std::uint64_t serial, const std::exception_ptr& error);
    // Takes out the entry under `id`; with a serial, only when the entry is that request's.
    std::optional<AnyPendingRequest> removePendingRequest(const ID& id,
                                                          std::optional<std::uint64_t> serial = {});
    void stopTimer(std::shared_ptr<RequestTimer> timer);
    // With the lock held.
    void checkCapability(Feature feature) const;
    void checkCanRegister() const;
    std::function<void()> withdrawal(const ID& id, std::uint64_t serial);
    void withdraw(ID id, std::uint64_t serial);
    boost::asio::awaitable<void> expire(std::shared_ptr<Client> self, ID id,
                                        std::shared_ptr<RequestTimer> timer);
    boost::asio::awaitable<void> sendText(std::string bytes);
    boost::asio::awaitable<void> sendTextOnStrand(std::string bytes);
    boost::asio::awaitable<void> cancelRequestOnStrand(ID id, std::optional<std::string> reason);
    boost::asio::awaitable<Initialize::Result> initializeOnStrand();

    // Batches (strand).
    boost::asio::awaitable<void> withBatchOnStrand(
        std::function<boost::asio::awaitable<void>(Batch&)> body);
    boost::asio::awaitable<void> addBatchMember(std::shared_ptr<BatchState> batch, ID id,
                                                AnyPendingRequest pending, std::string bytes);
    boost::asio::awaitable<void> addBatchMemberOnStrand(std::shared_ptr<BatchState> batch, ID id,
                                                        AnyPendingRequest pending,
                                                        std::string bytes);
    void failBatchMembers(const std::vector<ID>& ids, const std::exception_ptr& error);

    // Inbound dispatch (strand).
    // Handles one received message without waiting for any handler.
    void dispatch(std::string_view element);
    // A successful response read in place, resumed straight from the parse; false (nothing
    // done) for any other message.
    bool handleParsedResponse(const JsonElement& message);
    void handleResponse(Response<AnyMethod> response);
    // Hands `outcome` to the request waiting under `id`, or logs that none waits.
    void answerPendingRequest(const ID& id, PendingOutcome&& outcome);
    void handleBatchResponse(std::vector<Response<AnyMethod>> responses);
    // Queues a notification for its handlers; starts the task that runs them when none runs.
    void enqueueNotification(Message<AnyNotification> message);
    boost::asio::awaitable<void> runQueuedNotifications(std::shared_ptr<Client> self);
    boost::asio::awaitable<void> handleMessage(Message<AnyNotification> message);
    void startIncomingRequest(Request<AnyMethod> request);
    boost::asio::awaitable<void> handleIncomingRequest(std::shared_ptr<Client> self,
                                                       Request<AnyMethod> request,
                                                       std::shared_ptr<ServerRequestRun> run);
    boost::asio::awaitable<void> sendQueuedRefusals(std::shared_ptr<Client> self);
    // The server withdrew its request `id`: its handler is cancelled and sends no answer.
    void cancelServerRequest(const ID& id);
    boost::asio::awaitable<void> sendResponse(const Response<AnyMethod>& response);

    // Logging through the connection's logger (strand only; nothing without a connection).
    template <class MessageProducer, class MetadataProducer>
    void logEvent(logging::Level level, const MessageProducer& message,
                  const MetadataProducer& metadata,
                  std::source_location location = std::source_location::current()) const;

    // Room for the text of a usual request, so that writing it allocates once.
    static constexpr std::size_t kRequestTextReserve = 256;

public:
    // The notifications that may wait for their handlers at once.
    static constexpr std::size_t kMaxQueuedNotifications = 1024;

private:
    const Strand strand_;
    const Info clientInfo_;

    // Behind mutex_.
    mutable std::mutex mutex_;
    Capabilities capabilities_;
    Configuration configuration_;
    bool cancellationListenerRegistered_ = false;
    std::unordered_map<ID, PendingEntry> pendingRequests_;
    std::atomic<std::uint64_t> lastSerial_{0};

    HandlerRegistry handlers_;

    // Strand only; connection_, server_ and phase_ change behind mutex_ too, so that requests
    // may read them under it from any thread.
    std::shared_ptr<Transport> connection_;
    ServerState server_;
    std::size_t runningServerRequests_ = 0;
    // Refusals of the server's requests over the limit, sent by one task in arrival order.
    std::deque<std::string> queuedRefusals_;
    bool refusalsRunning_ = false;
    // The running handlers of the server's requests, by the server's ids.
    std::unordered_map<ID, std::shared_ptr<ServerRequestRun>> serverRequestRuns_;
    // Notifications waiting for their handlers, and whether the task that runs them is running.
    std::deque<Message<AnyNotification>> queuedNotifications_;
    bool notificationsRunning_ = false;
    // idle: no loop (never connected, disconnected, or the connect failed); connecting: connect()
    // waits for the transport; running: the loop runs; ended: the loop ended by itself.
    enum class Phase { idle, connecting, running, ended };
    Phase phase_ = Phase::idle;
    // Counts connects and disconnects, so that a connect or loop overtaken by disconnect() knows.
    std::uint64_t generation_ = 0;
    std::shared_ptr<boost::asio::cancellation_signal> loopSignal_;
    std::optional<AsyncResult<bool>> loopDone_;
    // Closed from a lost connection until the handshake on its replacement ended; counts the
    // changes, so that a handshake overtaken by another loss leaves the gate closed.
    std::optional<AsyncResultSource<bool>> gateOpener_;
    std::uint64_t connectionRound_ = 0;
    // Behind mutex_, read without it first: whether requests must wait, and for what.
    std::atomic<bool> gateClosed_{false};
    std::optional<AsyncResult<bool>> gate_;
};

// Client::Batch: the requests of one withBatch() call. addRequest() may be called from several
// tasks of the body; requests added after the body returned are refused. A handle: copies share
// the one batch, so a task of the body that may outlive it keeps a copy (not a reference to the
// batch withBatch() lends the body), and its late requests are then refused safely.
class ClientBatch {
public:
    ClientBatch(const ClientBatch&) = default;
    ClientBatch& operator=(const ClientBatch&) = default;

    // Enters `request` (with the caller's own id) in the client's pending table and in the batch;
    // returns the result the answer will bring, to be awaited after withBatch() has returned.
    // Throws EncodingError for parameters JSON cannot carry and internalError "A request with
    // this ID is already pending" (the batch is then unchanged), and internalError "The batch
    // was already sent" once withBatch() has read it.
    // Not a coroutine: what the request needs is taken before the call returns, so the handle
    // itself may be gone before the returned awaitable is awaited.
    template <Method M>
    boost::asio::awaitable<AsyncResult<typename M::Result>> addRequest(Request<M> request);

private:
    friend class Client;
    explicit ClientBatch(const std::shared_ptr<Client>& client);

    template <Method M>
    static boost::asio::awaitable<AsyncResult<typename M::Result>> add(
        std::shared_ptr<Client::BatchState> state, Request<M> request);

    std::shared_ptr<Client::BatchState> state_;
};

// What the copies of one Client::Batch share.
struct Client::BatchState {
    std::weak_ptr<Client> client;
    // Strand of the client only.
    std::vector<std::string> requests;
    std::vector<ID> ids;
    bool closed = false;
};

// ---------------------------------------------------------------------------------------------

namespace detail {

// The box of a handler registered with Client::withMethodHandler: answers with the request's id
// and the handler's result.
template <Method M>
std::shared_ptr<RequestHandlerBox> clientRequestHandler(
    std::function<boost::asio::awaitable<typename M::Result>(typename M::Parameters)> handler) {
    return std::make_shared<TypedRequestHandler<M>>(
        [handler = std::move(handler)](Request<M> request) -> boost::asio::awaitable<Response<M>> {
            typename M::Result result = co_await handler(std::move(request.params));
            co_return makeResponse<M>(std::move(request.id), std::move(result));
        });
}

}  // namespace detail

template <Notification N>
Client& Client::onNotification(std::function<boost::asio::awaitable<void>(Message<N>)> handler) {
    registerNotificationHandler(std::string(N::name),
                                std::make_shared<TypedNotificationHandler<N>>(std::move(handler)));
    return *this;
}

template <Method M>
Client& Client::withMethodHandler(
    std::function<boost::asio::awaitable<typename M::Result>(typename M::Parameters)> handler) {
    registerRequestHandler(std::string(M::name),
                           detail::clientRequestHandler<M>(std::move(handler)));
    return *this;
}

template <Method M>
boost::asio::awaitable<RequestContext<typename M::Result>> Client::send(Request<M> request) {
    return sendChecked<M>(Feature::none, std::move(request));
}

template <Method M>
boost::asio::awaitable<RequestContext<typename M::Result>> Client::sendChecked(Feature feature,
                                                                               Request<M> request) {
    using Result = typename M::Result;
    while (auto gate = requestGate(feature)) {
        co_await gate->value();
    }
    PendingRequest<Result> pending;
    const std::uint64_t serial = nextSerial();
    RequestContext<Result> context{request.id, pending.result(), withdrawal(request.id, serial)};
    std::string bytes;
    detail::appendRequestText(bytes, request);
    std::shared_ptr<Transport> connection =
        enterPending(feature, request.id, serial, AnyPendingRequest(std::move(pending)));
    co_await sendEntered(std::move(connection), request.id, serial, std::move(bytes));
    co_return context;
}

template <Method M, class Project>
boost::asio::awaitable<std::remove_cvref_t<std::invoke_result_t<Project, typename M::Result>>>
Client::ask(Feature feature, typename M::Parameters parameters, Project project) {
    using Result = typename M::Result;
    // Built apart from the call: g++ 12 mishandles a temporary argument of a coroutine call
    // inside co_await.
    Request<M> request = makeRequest<M>(ID::newRandom(), std::move(parameters));
    std::string bytes;
    bytes.reserve(kRequestTextReserve);
    detail::appendRequestText(bytes, request);
    while (auto gate = requestGate(feature)) {
        co_await gate->value();
    }
    // The caller alone waits for the answer: one shared call, no multi-awaiter result.
    auto call = std::make_shared<PendingCall<Result>>();
    const std::uint64_t serial = nextSerial();
    std::shared_ptr<Transport> connection =
        enterPending(feature, request.id, serial, AnyPendingRequest(call));
    // Without a coroutine when the transport takes the bytes at once: the frames are a good
    // part of a request's cost. Otherwise the send runs in a task of its own and the caller
    // waits for the outcome alone, so that its time-out, its cancellation or the end of the
    // connection release it even while the bytes are stuck behind a peer that stopped reading.
    std::exception_ptr failure;
    try {
        if (!connection->trySend(bytes)) {
            startSending(std::move(connection), request.id, serial, std::move(bytes));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        failPendingRequest(request.id, serial, failure);
    }
    std::optional<Result> result;
    try {
        result = co_await PendingCall<Result>::wait(call);
    } catch (const boost::system::system_error& error) {
        // A caller that stops waiting before the outcome came withdraws the request.
        if (error.code() != boost::asio::error::operation_aborted || call->isDone()) {
            throw;
        }
        withdraw(std::move(request.id), serial);
        throw;
    }
    co_return project(std::move(*result));
}

template <Notification N>
boost::asio::awaitable<void> Client::notify(Message<N> message) {
    std::string bytes;
    detail::appendNotificationText(bytes, message);
    co_await sendText(std::move(bytes));
}

template <Method M>
boost::asio::awaitable<AsyncResult<typename M::Result>> ClientBatch::addRequest(
    Request<M> request) {
    return add<M>(state_, std::move(request));
}

template <Method M>
boost::asio::awaitable<AsyncResult<typename M::Result>> ClientBatch::add(
    std::shared_ptr<Client::BatchState> state, Request<M> request) {
    using Result = typename M::Result;
    PendingRequest<Result> pending;
    AsyncResult<Result> result = pending.result();
    std::string bytes;
    detail::appendRequestText(bytes, request);
    std::shared_ptr<Client> client = state->client.lock();
    if (!client) {
        throw MCPError::internalError("The batch was already sent");
    }
    co_await client->addBatchMember(std::move(state), std::move(request.id),
                                    AnyPendingRequest(std::move(pending)), std::move(bytes));
    co_return result;
}

}  // namespace mcp
