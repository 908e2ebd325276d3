// The client's typed operations: the handshake, one operation per request it makes of a server,
// the handlers of the server's requests, and the roots-changed notification.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "MCP/Client/Client.h"
#include "MCP/Client/ClientInternal.h"
#include "MCP/Messages/Version.h"

namespace mcp {

namespace asio = boost::asio;

// --- Handshake ----------------------------------------------------------------------------------

asio::awaitable<Initialize::Result> Client::initialize() {
    auto self = shared_from_this();
    Initialize::Result result =
        co_await asio::co_spawn(strand_, initializeOnStrand(), asio::use_awaitable);
    co_return result;
}

asio::awaitable<Initialize::Result> Client::initializeOnStrand() {
    Initialize::Parameters parameters{.protocolVersion = Version::latest(),
                                      .capabilities = capabilities(),
                                      .clientInfo = clientInfo_};
    Initialize::Result result = co_await ask<Initialize>(Feature::handshake, std::move(parameters));
    if (!Version::isSupported(result.protocolVersion)) {
        // Nothing of the conversation could be relied on.
        throw MCPError::internalError("The server answered with protocol version \"" +
                                      result.protocolVersion +
                                      "\", which this client does not support.");
    }
    std::shared_ptr<Transport> connection;
    {
        std::lock_guard lock(mutex_);
        server_ = ServerState{result.capabilities, result.protocolVersion, result.instructions};
        connection = connection_;
    }
    // Before "notifications/initialized", so that it already goes out with the agreed version.
    if (connection) {
        co_await connection->useProtocolVersion(result.protocolVersion);
    }
    Message<InitializedNotification> initialized = makeMessage<InitializedNotification>();
    co_await notify(std::move(initialized));
    co_return result;
}

// --- Requests -----------------------------------------------------------------------------------
//
// Not coroutines: ask() reshapes the result itself, so a call costs one coroutine frame.

asio::awaitable<void> Client::ping() {
    return ask<Ping>(Feature::none, Empty{}, [](Empty) {});
}

asio::awaitable<std::pair<std::optional<std::string>, std::vector<PromptMessage>>>
Client::getPrompt(std::string name, std::optional<std::map<std::string, std::string>> arguments) {
    GetPrompt::Parameters parameters{.name = std::move(name), .arguments = std::move(arguments)};
    return ask<GetPrompt>(Feature::prompts, std::move(parameters), [](GetPrompt::Result result) {
        return std::pair{std::move(result.description), std::move(result.messages)};
    });
}

asio::awaitable<std::pair<std::vector<Prompt>, std::optional<std::string>>> Client::listPrompts(
    std::optional<std::string> cursor) {
    ListPrompts::Parameters parameters{.cursor = std::move(cursor)};
    return ask<ListPrompts>(
        Feature::prompts, std::move(parameters), [](ListPrompts::Result result) {
            return std::pair{std::move(result.prompts), std::move(result.nextCursor)};
        });
}

asio::awaitable<std::vector<ResourceContent>> Client::readResource(std::string uri) {
    ReadResource::Parameters parameters{.uri = std::move(uri)};
    return ask<ReadResource>(
        Feature::resources, std::move(parameters),
        [](ReadResource::Result result) { return std::move(result.contents); });
}

asio::awaitable<std::pair<std::vector<Resource>, std::optional<std::string>>> Client::listResources(
    std::optional<std::string> cursor) {
    ListResources::Parameters parameters{.cursor = std::move(cursor)};
    return ask<ListResources>(
        Feature::resources, std::move(parameters), [](ListResources::Result result) {
            return std::pair{std::move(result.resources), std::move(result.nextCursor)};
        });
}

asio::awaitable<void> Client::subscribeToResource(std::string uri) {
    ResourceSubscribe::Parameters parameters{.uri = std::move(uri)};
    return ask<ResourceSubscribe>(Feature::resourceSubscription, std::move(parameters),
                                  [](Empty) {});
}

asio::awaitable<std::pair<std::vector<ResourceTemplate>, std::optional<std::string>>>
Client::listResourceTemplates(std::optional<std::string> cursor) {
    ListResourceTemplates::Parameters parameters{.cursor = std::move(cursor)};
    return ask<ListResourceTemplates>(
        Feature::resources, std::move(parameters), [](ListResourceTemplates::Result result) {
            return std::pair{std::move(result.templates), std::move(result.nextCursor)};
        });
}

asio::awaitable<std::pair<std::vector<Tool>, std::optional<std::string>>> Client::listTools(
    std::optional<std::string> cursor) {
    ListTools::Parameters parameters{.cursor = std::move(cursor)};
    return ask<ListTools>(Feature::tools, std::move(parameters), [](ListTools::Result result) {
        return std::pair{std::move(result.tools), std::move(result.nextCursor)};
    });
}

asio::awaitable<std::pair<std::vector<ToolContent>, std::optional<bool>>> Client::callTool(
    std::string name, std::optional<Object> arguments, std::optional<Metadata> meta) {
    CallTool::Parameters parameters{
        ._meta = std::move(meta), .name = std::move(name), .arguments = std::move(arguments)};
    return ask<CallTool>(Feature::tools, std::move(parameters), [](CallTool::Result result) {
        return std::pair{std::move(result.content), result.isError};
    });
}

asio::awaitable<RequestContext<CallTool::Result>> Client::sendToolCall(
    std::string name, std::optional<Object> arguments, std::optional<Metadata> meta) {
    return sendChecked<CallTool>(
        Feature::tools,
        makeRequest<CallTool>(ID::newRandom(), {._meta = std::move(meta),
                                                .name = std::move(name),
                                                .arguments = std::move(arguments)}));
}

asio::awaitable<void> Client::setLoggingLevel(LogLevel level) {
    SetLoggingLevel::Parameters parameters{.level = level};
    return ask<SetLoggingLevel>(Feature::logging, std::move(parameters), [](Empty) {});
}

namespace {

Complete::Parameters completion(CompletionReference reference, std::string argumentName,
                                std::string argumentValue,
                                std::optional<std::map<std::string, std::string>> context) {
    Complete::Parameters parameters{
        .ref = std::move(reference),
        .argument = {.name = std::move(argumentName), .value = std::move(argumentValue)}};
    if (context) {
        parameters.context = Complete::Parameters::Context{.arguments = std::move(*context)};
    }
    return parameters;
}

}  // namespace

asio::awaitable<Complete::Result::Completion> Client::complete(
    PromptReference prompt, std::string argumentName, std::string argumentValue,
    std::optional<std::map<std::string, std::string>> context) {
    Complete::Parameters parameters =
        completion(PromptReference{.name = std::move(prompt.name)}, std::move(argumentName),
                   std::move(argumentValue), std::move(context));
    return ask<Complete>(Feature::completions, std::move(parameters),
                         [](Complete::Result result) { return std::move(result.completion); });
}

asio::awaitable<Complete::Result::Completion> Client::complete(
    ResourceReference resource, std::string argumentName, std::string argumentValue,
    std::optional<std::map<std::string, std::string>> context) {
    Complete::Parameters parameters = completion(std::move(resource), std::move(argumentName),
                                                 std::move(argumentValue), std::move(context));
    return ask<Complete>(Feature::completions, std::move(parameters),
                         [](Complete::Result result) { return std::move(result.completion); });
}

asio::awaitable<void> Client::notifyRootsChanged() {
    Message<RootsListChangedNotification> changed = makeMessage<RootsListChangedNotification>();
    co_await notify(std::move(changed));
}

// --- Handlers of the server's requests ----------------------------------------------------------

Client& Client::withSamplingHandler(
    std::function<asio::awaitable<CreateSamplingMessage::Result>(CreateSamplingMessage::Parameters)>
        handler) {
    return withMethodHandler<CreateSamplingMessage>(std::move(handler));
}

Client& Client::withElicitationHandler(
    std::function<asio::awaitable<CreateElicitation::Result>(CreateElicitation::Parameters)>
        handler) {
    return withMethodHandler<CreateElicitation>(std::move(handler));
}

Client& Client::withRootsHandler(std::function<asio::awaitable<std::vector<Root>>()> handler) {
    return withMethodHandler<ListRoots>(
        [handler = std::move(handler)](Empty) -> asio::awaitable<ListRoots::Result> {
            std::vector<Root> roots = co_await handler();
            ListRoots::Result result{.roots = std::move(roots)};
            co_return result;
        });
}

}  // namespace mcp
