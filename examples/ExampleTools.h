// The example tools of the example servers (standard input/output and HTTP): "add" {a, b} gives
// the sum; "echo" {text} gives the text back; "fail" gives an error result; "sleep"
// {milliseconds} waits, and stops early when the request is cancelled.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "MCP/Messages/Tools.h"
#include "MCP/Server/Server.h"

namespace mcp::example {

namespace asio = boost::asio;
using mcp::CallTool;
using mcp::ListTools;
using mcp::Tool;
using mcp::ToolContent;
using mcp::Value;

inline Value numberSchema(std::initializer_list<const char*> names) {
    mcp::Object properties;
    for (const char* name : names) {
        properties.insertOrAssign(name, Value::object({{"type", "number"}}));
    }
    return Value::object({{"type", "object"}, {"properties", Value(std::move(properties))}});
}

inline std::vector<Tool> tools() {
    return {
        Tool{.name = "add",
             .description = "Adds two numbers.",
             .inputSchema = numberSchema({"a", "b"})},
        Tool{.name = "echo",
             .description = "Repeats its text.",
             .inputSchema = Value::object({{"type", "object"}})},
        Tool{.name = "fail",
             .description = "Always fails.",
             .inputSchema = Value::object({{"type", "object"}})},
        Tool{.name = "sleep",
             .description = "Waits for some milliseconds.",
             .inputSchema = numberSchema({"milliseconds"})},
    };
}

inline double number(const CallTool::Parameters& parameters, const char* name) {
    const Value* value = parameters.arguments ? parameters.arguments->find(name) : nullptr;
    return value ? value->asDouble(false).value_or(0) : 0;
}

inline asio::awaitable<CallTool::Result> callTool(CallTool::Parameters parameters) {
    if (parameters.name == "add") {
        const double sum = number(parameters, "a") + number(parameters, "b");
        CallTool::Result result{.content = {ToolContent::text(mcp::formatDouble(sum))}};
        co_return result;
    }
    if (parameters.name == "echo") {
        const Value* text = parameters.arguments ? parameters.arguments->find("text") : nullptr;
        CallTool::Result result{.content = {ToolContent::text(
                                    text && text->stringValue() ? *text->stringValue() : "")}};
        co_return result;
    }
    if (parameters.name == "sleep") {
        asio::steady_timer timer(
            co_await asio::this_coro::executor,
            std::chrono::milliseconds(static_cast<long>(number(parameters, "milliseconds"))));
        co_await timer.async_wait(asio::use_awaitable);  // cancelled with the request
        CallTool::Result result{.content = {ToolContent::text("Done.")}};
        co_return result;
    }
    CallTool::Result result{
        .content = {ToolContent::text("The tool " + parameters.name + " failed.")},
        .isError = true};
    co_return result;
}

// A server named "example-tools" offering the tools above.
inline std::shared_ptr<Server> makeExampleToolServer(asio::any_io_executor executor) {
    Server::Capabilities capabilities;
    capabilities.tools = Server::Capabilities::Tools{};
    auto server = std::make_shared<Server>(std::move(executor), "example-tools", "1.0.0",
                                           std::nullopt, std::nullopt, capabilities);
    server->withMethodHandler<ListTools>(
        [](ListTools::Parameters) -> asio::awaitable<ListTools::Result> {
            ListTools::Result result{.tools = tools()};
            co_return result;
        });
    server->withMethodHandler<CallTool>(callTool);
    return server;
}

}  // namespace mcp::example
