// A client and our own server on an in-memory pair, on an io_context that the test thread runs,
// and a client over a transport the test drives by hand. Shared by the client tests.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "MCP/Client/Client.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/Server/Server.h"
#include "MCP/Transports/InMemoryTransport.h"
#include "tests/MCP/ScriptedTransport.h"
#include "tests/MCP/ServerTestSupport.h"

namespace mcp::testing {

// The text of what an operation ended with: "ok", or the error's what().
template <class T>
asio::awaitable<std::string> outcomeOf(asio::awaitable<T> operation) {
    try {
        co_await std::move(operation);
        co_return "ok";
    } catch (const std::exception& error) {
        co_return error.what();
    }
}

// A server announcing every feature, with a handler for each request a client can make. Tools
// "echo" {text} and "structured"; prompt "greeting"; resource "file:///a.txt".
inline std::shared_ptr<Server> makeFullServer(asio::any_io_executor executor,
                                              Server::Capabilities capabilities = {}) {
    auto server = std::make_shared<Server>(executor, "full", "2.0.0", std::nullopt,
                                           std::string("Be kind."), capabilities);
    server->withMethodHandler<ListTools>(
        [](ListTools::Parameters parameters) -> asio::awaitable<ListTools::Result> {
            ListTools::Result result{
                .tools = {Tool{.name = "echo", .inputSchema = Value::object({{"type", "object"}})}},
                .nextCursor = parameters.cursor ? std::nullopt : std::optional<std::string>("2")};
            co_return result;
        });
    server->withMethodHandler<CallTool>(
        [](CallTool::Parameters parameters) -> asio::awaitable<CallTool::Result> {
            const Value* text = parameters.arguments ? parameters.arguments->find("text") : nullptr;
            CallTool::Result result{
                .content = {ToolContent::text(text && text->stringValue() ? *text->stringValue()
                                                                          : parameters.name)}};
            if (parameters.name == "structured") {
                result.structuredContent = Value::object({{"n", 1}});
                result.isError = false;
            }
            co_return result;
        });
    server->withMethodHandler<ListPrompts>(
        [](ListPrompts::Parameters) -> asio::awaitable<ListPrompts::Result> {
            ListPrompts::Result result{.prompts = {Prompt{.name = "greeting"}}};
            co_return result;
        });
    server->withMethodHandler<GetPrompt>(
        [](GetPrompt::Parameters parameters) -> asio::awaitable<GetPrompt::Result> {
            std::string who = parameters.arguments && parameters.arguments->contains("who")
                                  ? parameters.arguments->at("who")
                                  : "nobody";
            GetPrompt::Result result{.description = "A greeting.",
                                     .messages = {PromptMessage::user("Hello, " + who)}};
            co_return result;
        });
    server->withMethodHandler<ListResources>(
        [](ListResources::Parameters) -> asio::awaitable<ListResources::Result> {
            ListResources::Result result{
                .resources = {Resource{.name = "a", .uri = "file:///a.txt"}}};
            co_return result;
        });
    server->withMethodHandler<ReadResource>(
        [](ReadResource::Parameters parameters) -> asio::awaitable<ReadResource::Result> {
            ReadResource::Result result{.contents = {ResourceContent::fromText(
                                            "contents of " + parameters.uri, parameters.uri)}};
            co_return result;
        });
    server->withMethodHandler<ListResourceTemplates>(
        [](ListResourceTemplates::Parameters) -> asio::awaitable<ListResourceTemplates::Result> {
            ListResourceTemplates::Result result{
                .templates = {ResourceTemplate{.uriTemplate = "file:///{name}", .name = "files"}}};
            co_return result;
        });
    server->withMethodHandler<ResourceSubscribe>(
        [](ResourceSubscribe::Parameters parameters) -> asio::awaitable<Empty> {
            if (parameters.uri != "file:///a.txt") {
                throw MCPError::invalidParams("No such resource");
            }
            co_return Empty{};
        });
    server->withMethodHandler<SetLoggingLevel>(
        [](SetLoggingLevel::Parameters) -> asio::awaitable<Empty> { co_return Empty{}; });
    server->withMethodHandler<Complete>(
        [](Complete::Parameters parameters) -> asio::awaitable<Complete::Result> {
            // Tells back what it was asked, so the test can see the request's parameters.
            std::string kind = parameters.ref.prompt()
                                   ? "prompt:" + parameters.ref.prompt()->name
                                   : "resource:" + parameters.ref.resource()->uri;
            Complete::Result result{.completion = {.values = {kind, parameters.argument.name + "=" +
                                                                        parameters.argument.value},
                                                   .total = parameters.context ? 1 : 0}};
            co_return result;
        });
    return server;
}

inline Server::Capabilities everyCapability() {
    Server::Capabilities capabilities;
    capabilities.completions = Server::Capabilities::Completions{};
    capabilities.logging = Server::Capabilities::Logging{};
    capabilities.prompts = Server::Capabilities::Prompts{};
    capabilities.resources = Server::Capabilities::Resources{.subscribe = true, .listChanged = {}};
    capabilities.tools = Server::Capabilities::Tools{};
    return capabilities;
}

// An io_context kept running for the test, and the ways to run an operation on it.
class IoHarness {
public:
    IoHarness() : work_(asio::make_work_guard(io)) {}

    template <class T>
    T run(asio::awaitable<T> operation) {
        return runFor(io, std::move(operation));
    }
    void run(asio::awaitable<void> operation) { runFor(io, std::move(operation)); }
    // "ok", or the error's text.
    template <class T>
    std::string outcome(asio::awaitable<T> operation) {
        return runFor(io, outcomeOf(std::move(operation)));
    }

    asio::io_context io;

private:
    asio::executor_work_guard<asio::io_context::executor_type> work_;
};

// A client and a full server over the in-memory pair.
class ClientHarness : public IoHarness {
public:
    explicit ClientHarness(Client::Configuration configuration = {},
                           Server::Capabilities capabilities = everyCapability(),
                           std::optional<logging::Logger> logger = std::nullopt) {
        server = makeFullServer(io.get_executor(), std::move(capabilities));
        client = std::make_shared<Client>(io.get_executor(), "test-client", "1.0", std::nullopt,
                                          std::nullopt, std::nullopt, std::nullopt,
                                          Client::Capabilities{}, configuration);
        std::tie(clientSide, serverSide) =
            InMemoryTransport::createConnectedPair(std::move(logger));
    }

    ~ClientHarness() {
        try {
            runFor(io, client->disconnect());
            runFor(io, server->stop());
        } catch (...) {
        }
        runIdle(io, std::chrono::milliseconds(1));
    }

    Initialize::Result connect() {
        runFor(io, server->start(serverSide));
        return runFor(io, client->connect(clientSide));
    }

    std::shared_ptr<Server> server;
    std::shared_ptr<Client> client;
    std::shared_ptr<InMemoryTransport> clientSide;
    std::shared_ptr<InMemoryTransport> serverSide;
};

// A client over a ScriptedTransport: the test reads what the client sends and pushes what the
// server would answer.
class ScriptedClient : public IoHarness {
public:
    explicit ScriptedClient(Client::Configuration configuration = {},
                            std::optional<logging::Logger> logger = std::nullopt)
        : transport(std::make_shared<ScriptedTransport>(io, std::move(logger))) {
        client = std::make_shared<Client>(io.get_executor(), "scripted", "1.0", std::nullopt,
                                          std::nullopt, std::nullopt, std::nullopt,
                                          Client::Capabilities{}, configuration);
    }

    ~ScriptedClient() {
        try {
            runFor(io, client->disconnect());
        } catch (...) {
        }
        runIdle(io, std::chrono::milliseconds(1));
    }

    // Connects and answers the handshake with `capabilities` and `version`; the connect's outcome.
    std::string connect(const std::string& capabilities = "{}",
                        const std::string& version = "2025-11-25") {
        std::string outcome;
        bool done = false;
        asio::co_spawn(io, outcomeOf(client->connect(transport)),
                       [&](std::exception_ptr, std::string text) {
                           outcome = std::move(text);
                           done = true;
                       });
        runUntil(io, [&] { return !transport->sent.empty(); });
        if (transport->sent.empty()) {
            return "<no initialize request>";
        }
        answer(0, R"({"capabilities":)" + capabilities + R"(,"protocolVersion":")" + version +
                      R"(","serverInfo":{"name":"scripted-server","version":"1"}})");
        runUntil(io, [&] { return done; });
        return done ? outcome : "<connect did not finish>";
    }

    // The id of the request sent as message `index`, as JSON text.
    std::string idOf(std::size_t index) {
        Value message = parseJson(transport->sent.at(index));
        return toJson(*message.find("id"));
    }

    // Pushes a success answer with `result` (JSON text) to the request sent as message `index`.
    void answer(std::size_t index, const std::string& result) {
        transport->push(R"({"jsonrpc":"2.0","id":)" + idOf(index) + R"(,"result":)" + result + "}");
    }

    // Lets queued work run.
    void settle() { runIdle(io, std::chrono::milliseconds(5)); }

    std::shared_ptr<ScriptedTransport> transport;
    std::shared_ptr<Client> client;
};

}  // namespace mcp::testing
