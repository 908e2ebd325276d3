// The example tools over streamable HTTP, for any MCP client to point at:
//
//   mcp_example_http_server [--port N] [--stateless] [--address A] [--threads N]
//
// Stateful (sessions, event streams, replay) unless --stateless; listens on 127.0.0.1 and port
// 8080 unless told otherwise (port 0 picks a free one). Prints "Listening on <URL>" once ready,
// and ends on SIGINT or SIGTERM.
//
// Besides the example tools it offers "announce" {text}, which answers at once and then sends
// the text to the client as a log message ten times, 300 ms apart: messages the server sends on
// its own, which reach a stateful session's client on its GET event stream once that is open.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "MCP/HTTP/StreamableHTTPServer.h"
#include "examples/ExampleTools.h"

namespace {

namespace asio = boost::asio;

asio::awaitable<void> announce(std::weak_ptr<mcp::Server> weak, mcp::Value text) {
    for (int i = 0; i < 10; ++i) {
        asio::steady_timer timer(co_await asio::this_coro::executor, std::chrono::milliseconds(300));
        co_await timer.async_wait(asio::use_awaitable);
        auto server = weak.lock();
        if (!server) {
            co_return;
        }
        try {
            co_await server->log(mcp::LogLevel::info, std::string("example"), text);
        } catch (const std::exception&) {
            co_return;  // the session has ended
        }
    }
}

std::shared_ptr<mcp::Server> makeServer(asio::any_io_executor executor) {
    auto server = mcp::example::makeExampleToolServer(executor);
    server->withMethodHandler<mcp::ListTools>(
        [](mcp::ListTools::Parameters) -> asio::awaitable<mcp::ListTools::Result> {
            mcp::ListTools::Result result{.tools = mcp::example::tools()};
            result.tools.push_back(mcp::Tool{.name = "announce",
                                             .description = "Sends its text as log messages.",
                                             .inputSchema = mcp::Value::object({{"type", "object"}})});
            co_return result;
        });
    std::weak_ptr<mcp::Server> weak = server;
    server->withMethodHandler<mcp::CallTool>(
        [weak, executor](mcp::CallTool::Parameters parameters)
            -> asio::awaitable<mcp::CallTool::Result> {
            if (parameters.name != "announce") {
                co_return co_await mcp::example::callTool(std::move(parameters));
            }
            const mcp::Value* text =
                parameters.arguments ? parameters.arguments->find("text") : nullptr;
            asio::co_spawn(executor, announce(weak, text ? *text : mcp::Value("")),
                           asio::detached);
            mcp::CallTool::Result result{.content = {mcp::ToolContent::text("Announced.")}};
            co_return result;
        });
    return server;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    mcp::StreamableHTTPServer::Options options;
    options.http.port = 8080;
    unsigned threads = 1;
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "The option " << argument << " needs a value.\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (argument == "--port") {
            options.http.port = static_cast<std::uint16_t>(std::stoul(value()));
        } else if (argument == "--address") {
            options.http.address = value();
        } else if (argument == "--stateless") {
            options.mode = mcp::StreamableHTTPServer::Mode::stateless;
        } else if (argument == "--threads") {
            threads = std::max(1u, static_cast<unsigned>(std::stoul(value())));
        } else {
            std::cerr << "Usage: " << argv[0]
                      << " [--port N] [--stateless] [--address A] [--threads N]\n";
            return 2;
        }
    }

    boost::asio::io_context io(static_cast<int>(threads));
    // Watched before the address is announced, so that a signal sent as soon as it is read
    // stops the server instead of killing it.
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    mcp::StreamableHTTPServer host(io.get_executor(), options, makeServer);
    try {
        host.start();
    } catch (const std::exception& error) {
        std::cerr << "Cannot listen on " << options.http.address << " port " << options.http.port
                  << ": " << error.what() << "\n";
        return 1;
    }
    std::cout << "Listening on http://" << options.http.address << ":" << host.port()
              << options.endpointPath << std::endl;

    // The sessions' servers stop in the background: run on until they have, then return.
    signals.async_wait([&](const boost::system::error_code&, int) { host.stop(); });
    std::vector<std::thread> workers;
    for (unsigned i = 1; i < threads; ++i) {
        workers.emplace_back([&io] { io.run(); });
    }
    io.run();
    for (auto& worker : workers) {
        worker.join();
    }
    return 0;
}
