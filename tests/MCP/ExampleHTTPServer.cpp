// The example tools over streamable HTTP, for any MCP client to point at:
//
//   mcp_example_http_server [--port N] [--stateless] [--address A] [--threads N]
//
// Stateful (sessions, event streams, replay) unless --stateless; listens on 127.0.0.1 and port
// 8080 unless told otherwise (port 0 picks a free one). Prints "Listening on <URL>" once ready,
// and ends on SIGINT or SIGTERM.
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "MCP/StreamableHTTPServer.h"
#include "tests/MCP/ExampleTools.h"

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
    mcp::StreamableHTTPServer host(io.get_executor(), options, [](auto executor) {
        return mcp::example::makeExampleToolServer(std::move(executor));
    });
    try {
        host.start();
    } catch (const std::exception& error) {
        std::cerr << "Cannot listen on " << options.http.address << " port " << options.http.port
                  << ": " << error.what() << "\n";
        return 1;
    }
    std::cout << "Listening on http://" << options.http.address << ":" << host.port()
              << options.endpointPath << std::endl;

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code&, int) {
        host.stop();
        io.stop();
    });
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
