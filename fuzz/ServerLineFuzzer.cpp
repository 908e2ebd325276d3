// One line from a client, as the server takes it: a server with one tool ("echo"), reached over
// the in-memory pair, is initialized, then gets the input as one message, then a ping. The server
// must not crash, must answer the ping (it keeps serving), and everything it sends before that
// answer must be JSON.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "MCP/JSON/JsonParser.h"
#include "MCP/Messages/Tools.h"
#include "MCP/Server/Server.h"
#include "MCP/Transports/InMemoryTransport.h"
#include "fuzz/FuzzCheck.h"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

constexpr const char* kInitialize =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
    R"("capabilities":{},"clientInfo":{"name":"fuzz","version":"1"}}})";
constexpr const char* kInitialized = R"({"jsonrpc":"2.0","method":"notifications/initialized"})";
constexpr const char* kProbe = R"({"jsonrpc":"2.0","id":"fuzz-probe","method":"ping"})";
constexpr const char* kProbeAnswer = R"({"id":"fuzz-probe","jsonrpc":"2.0","result":{}})";

std::shared_ptr<mcp::Server> makeServer(asio::io_context& io) {
    mcp::Server::Capabilities capabilities;
    capabilities.tools = mcp::Server::Capabilities::Tools{};
    auto server = std::make_shared<mcp::Server>(io.get_executor(), "Frameweaver", "1.0.0",
                                                std::nullopt, std::nullopt, capabilities);
    server->withMethodHandler<mcp::ListTools>(
        [](mcp::ListTools::Parameters) -> asio::awaitable<mcp::ListTools::Result> {
            mcp::Tool echo;
            echo.name = "echo";
            echo.description = "Answers with its arguments.";
            echo.inputSchema = mcp::Value::object({{"type", "object"}});
            co_return mcp::ListTools::Result{.tools = {std::move(echo)}};
        });
    server->withMethodHandler<mcp::CallTool>(
        [](mcp::CallTool::Parameters parameters) -> asio::awaitable<mcp::CallTool::Result> {
            if (parameters.name != "echo") {
                co_return mcp::CallTool::Result{
                    .content = {mcp::ToolContent::text("Unknown tool: " + parameters.name)},
                    .isError = true};
            }
            mcp::Value arguments(parameters.arguments.value_or(mcp::Object{}));
            co_return mcp::CallTool::Result{.content = {mcp::ToolContent::text("echo")},
                                            .structuredContent = std::move(arguments)};
        });
    return server;
}

struct Outcome {
    bool done = false;
    bool probed = false;
    std::exception_ptr failure;
    std::vector<std::string> messages;
};

asio::awaitable<void> converse(std::shared_ptr<mcp::Server> server,
                               std::shared_ptr<mcp::InMemoryTransport> client,
                               std::shared_ptr<mcp::InMemoryTransport> serverSide, std::string line,
                               Outcome& outcome) {
    co_await server->start(serverSide);
    co_await client->connect();
    mcp::MessageStream stream = client->receive();
    co_await client->send(kInitialize);
    (void)co_await stream.next();
    co_await client->send(kInitialized);
    co_await client->send(std::move(line));
    co_await client->send(kProbe);
    while (std::optional<std::string> message = co_await stream.next()) {
        if (*message == kProbeAnswer) {
            outcome.probed = true;
            break;
        }
        outcome.messages.push_back(std::move(*message));
    }
    co_await server->stop();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    asio::io_context io;
    auto server = makeServer(io);
    auto [client, serverSide] = mcp::InMemoryTransport::createConnectedPair();
    Outcome outcome;
    asio::co_spawn(io,
                   converse(server, client, serverSide,
                            std::string(reinterpret_cast<const char*>(data), size), outcome),
                   [&outcome](std::exception_ptr failure) {
                       outcome.failure = failure;
                       outcome.done = true;
                   });
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!outcome.done && std::chrono::steady_clock::now() < deadline) {
        io.run_one_for(deadline - std::chrono::steady_clock::now());
    }
    fuzz::check(outcome.done, "the server answers within ten seconds");
    if (outcome.failure) {
        try {
            std::rethrow_exception(outcome.failure);
        } catch (const std::exception& error) {
            fuzz::check(false, "the conversation ends without an error", error.what());
        }
    }
    fuzz::check(outcome.probed, "the server answers a ping after the line");
    for (const std::string& message : outcome.messages) {
        fuzz::check(mcp::tryParseJson(message).has_value(), "the server sends JSON", message);
    }
    // Let what the stop left behind finish, so nothing outlives the input.
    io.restart();
    io.run_for(100ms);
    return 0;
}
