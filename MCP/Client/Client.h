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
// server's "notifications/cancelled", the optional time-out, the end of the connection, or a
// failed transport send. Whoever takes the entry out resumes it, so each waiter gets exactly one
// outcome:
//   the typed result                   an answer carrying a result that fits the type
//   the server's MCPError              an error answer
//   TypeMismatchError                  a result that does not fit
//   CancellationError                  cancelRequest(), a withdrawn context, the server's cancel
//   internalError "Request timed out"  Configuration::requestTimeout passed
//   internalError "Client disconnected"              disconnect()
//   connectionClosed, or the stream's error          the transport's stream ended or failed
//   the transport's send error                       the bytes could not be handed over
//
// Thread-safety: the client is an actor. Its protocol state (connection, handshake results,
// pending requests, the receive loop) lives on its own strand; callers await from any executor.
// What a request needs (the pending-request table, the connection, the server's capabilities)
// is changed on the strand behind a small lock, so that a request enters the table and goes to
// the transport from the caller's own coroutine, without a hop onto the strand; whatever takes
// an entry out resumes it outside the lock. Handler registration, capabilities and
// configuration may be used from any thread (they sit behind the same lock). The receive loop
// handles responses and notifications one after another in arrival order; each request of the
// server runs in a task of its own, so a handler that itself asks the server something does not
// hold up the loop. Create clients with std::make_shared: running tasks keep the client alive until
// they end.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
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

    // What a typed operation needs the server to have announced.
    enum class Feature {
        none,
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
    std::shared_ptr<Transport> enterPending(Feature feature, const ID& id,
                                            AnyPendingRequest pending);
    // Hands an entered request's bytes to `connection`; a failed send ends the request with
    // its error.
    boost::asio::awaitable<void> sendEntered(std::shared_ptr<Transport> connection, const ID& id,
                                             std::string bytes);
    // Ends request `id` with `error` when it still waits.
    void failPendingRequest(const ID& id, const std::exception_ptr& error);
    std::optional<AnyPendingRequest> removePendingRequest(const ID& id);
    void stopTimer(std::shared_ptr<RequestTimer> timer);
    // With the lock held.
    void checkCapability(Feature feature) const;
    void checkCanRegister() const;
    std::function<void()> withdrawal(const ID& id);
    void withdraw(ID id);
    boost::asio::awaitable<void> expire(std::shared_ptr<Client> self, ID id,
                                        std::shared_ptr<RequestTimer> timer);
    boost::asio::awaitable<void> sendText(std::string bytes);
    boost::asio::awaitable<void> sendTextOnStrand(std::string bytes);
    boost::asio::awaitable<void> cancelRequestOnStrand(ID id, std::optional<std::string> reason);
    boost::asio::awaitable<Initialize::Result> initializeOnStrand();

    // Batches (strand).
    boost::asio::awaitable<void> withBatchOnStrand(
        std::function<boost::asio::awaitable<void>(Batch&)> body);
    boost::asio::awaitable<void> addBatchMember(ClientBatch& batch, ID id,
                                                AnyPendingRequest pending, std::string bytes);
    boost::asio::awaitable<void> addBatchMemberOnStrand(ClientBatch& batch, ID id,
                                                        AnyPendingRequest pending,
                                                        std::string bytes);
    void failBatchMembers(const std::vector<ID>& ids, const std::exception_ptr& error);

    // Inbound dispatch (strand).
    // Handles one received message; what is left to await (a notification's handlers) comes back.
    std::optional<boost::asio::awaitable<void>> dispatch(std::string_view element);
    // A successful response read in place, resumed straight from the parse; false (nothing
    // done) for any other message.
    bool handleParsedResponse(const JsonElement& message);
    void handleResponse(Response<AnyMethod> response);
    // Hands `outcome` to the request waiting under `id`, or logs that none waits.
    void answerPendingRequest(const ID& id, PendingOutcome&& outcome);
    void handleBatchResponse(std::vector<Response<AnyMethod>> responses);
    boost::asio::awaitable<void> handleMessage(Message<AnyNotification> message);
    void startIncomingRequest(Request<AnyMethod> request);
    boost::asio::awaitable<void> handleIncomingRequest(std::shared_ptr<Client> self,
                                                       Request<AnyMethod> request);
    boost::asio::awaitable<void> sendResponse(const Response<AnyMethod>& response);

    // Logging through the connection's logger (strand only; nothing without a connection).
    template <class MessageProducer, class MetadataProducer>
    void logEvent(logging::Level level, const MessageProducer& message,
                  const MetadataProducer& metadata,
                  std::source_location location = std::source_location::current()) const;

    // Room for the text of a usual request, so that writing it allocates once.
    static constexpr std::size_t kRequestTextReserve = 256;

    const Strand strand_;
    const Info clientInfo_;

    // Behind mutex_.
    mutable std::mutex mutex_;
    Capabilities capabilities_;
    Configuration configuration_;
    bool cancellationListenerRegistered_ = false;
    std::unordered_map<ID, PendingEntry> pendingRequests_;

    HandlerRegistry handlers_;

    // Strand only; connection_, server_ and phase_ change behind mutex_ too, so that requests
    // may read them under it from any thread.
    std::shared_ptr<Transport> connection_;
    ServerState server_;
    std::size_t runningServerRequests_ = 0;
    // idle: no loop (never connected, disconnected, or the connect failed); connecting: connect()
    // waits for the transport; running: the loop runs; ended: the loop ended by itself.
    enum class Phase { idle, connecting, running, ended };
    Phase phase_ = Phase::idle;
    // Counts connects and disconnects, so that a connect or loop overtaken by disconnect() knows.
    std::uint64_t generation_ = 0;
    std::shared_ptr<boost::asio::cancellation_signal> loopSignal_;
    std::optional<AsyncResult<bool>> loopDone_;
};

// Client::Batch: the requests of one withBatch() call. addRequest() may be called from several
// tasks of the body; requests added after the body returned are refused.
class ClientBatch {
public:
    ClientBatch(const ClientBatch&) = delete;
    ClientBatch& operator=(const ClientBatch&) = delete;

    // Enters `request` (with the caller's own id) in the client's pending table and in the batch;
    // returns the result the answer will bring, to be awaited after withBatch() has returned.
    // Throws EncodingError for parameters JSON cannot carry and internalError "A request with
    // this ID is already pending" (the batch is then unchanged), and internalError "The batch
    // was already sent" once withBatch() has read it.
    template <Method M>
    boost::asio::awaitable<AsyncResult<typename M::Result>> addRequest(Request<M> request);

private:
    friend class Client;
    explicit ClientBatch(Client& client) : client_(client) {}

    Client& client_;
    // Strand of the client only.
    std::vector<std::string> requests_;
    std::vector<ID> ids_;
    bool closed_ = false;
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
    PendingRequest<Result> pending;
    RequestContext<Result> context{request.id, pending.result(), withdrawal(request.id)};
    std::string bytes;
    detail::appendRequestText(bytes, request);
    std::shared_ptr<Transport> connection =
        enterPending(feature, request.id, AnyPendingRequest(std::move(pending)));
    co_await sendEntered(std::move(connection), request.id, std::move(bytes));
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
    // The caller alone waits for the answer: one shared call, no multi-awaiter result.
    auto call = std::make_shared<PendingCall<Result>>();
    std::shared_ptr<Transport> connection =
        enterPending(feature, request.id, AnyPendingRequest(call));
    // Sent here rather than through sendEntered(), and without a coroutine when the transport
    // takes the bytes at once: the frames are a good part of a request's cost.
    std::exception_ptr failure;
    try {
        if (!connection->trySend(bytes)) {
            co_await connection->send(std::move(bytes));
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        failPendingRequest(request.id, failure);
    }
    std::optional<Result> result;
    try {
        result = co_await PendingCall<Result>::wait(call);
    } catch (const boost::system::system_error& error) {
        // A caller that stops waiting before the outcome came withdraws the request.
        if (error.code() != boost::asio::error::operation_aborted || call->isDone()) {
            throw;
        }
        withdraw(std::move(request.id));
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
    using Result = typename M::Result;
    PendingRequest<Result> pending;
    AsyncResult<Result> result = pending.result();
    std::string bytes;
    detail::appendRequestText(bytes, request);
    co_await client_.addBatchMember(*this, std::move(request.id),
                                    AnyPendingRequest(std::move(pending)), std::move(bytes));
    co_return result;
}

}  // namespace mcp
