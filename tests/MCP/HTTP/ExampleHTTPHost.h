// The example tool servers behind a streamable-HTTP host on loopback, on an io_context of their
// own that two threads run; the server made for each session (or connection) is kept for the
// test. Shared by the tests of the host and of the HTTP client transport; for the latter, the
// end of a client and the text of a tool's result.
#pragma once

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "MCP/Client/Client.h"
#include "MCP/HTTP/StreamableHTTPServer.h"
#include "examples/ExampleTools.h"
#include "tests/MCP/ServerTestSupport.h"

namespace mcp::testing {

namespace asio = boost::asio;

// The text of the first content block of a tool's result; empty when that is no text.
inline std::string firstText(const std::vector<ToolContent>& content) {
    const auto* text = content.empty() ? nullptr : content.front().get<ToolContent::Text>();
    return text ? text->text : "";
}

class ExampleHTTPHost {
public:
    // `customize`, when given, may register more handlers on each server made.
    void startHost(StreamableHTTPServer::Options options,
                   std::function<void(const std::shared_ptr<Server>&)> customize = {}) {
        host = std::make_unique<StreamableHTTPServer>(
            hostIO.get_executor(), options,
            [this, customize = std::move(customize)](asio::any_io_executor executor) {
                auto server = example::makeExampleToolServer(executor);
                if (customize) {
                    customize(server);
                }
                std::lock_guard lock(mutex);
                servers.push_back(server);
                return server;
            });
        host->start();
        for (int i = 0; i < 2; ++i) {
            threads.emplace_back([this] { hostIO.run(); });
        }
    }

    void stopHost() {
        if (host) {
            host->stop();
        }
        // The sessions' servers end on the io_context: let it run out of work before it stops.
        work.reset();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!hostIO.stopped() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        hostIO.stop();
        for (auto& thread : threads) {
            thread.join();
        }
        threads.clear();
    }

    // Disconnects a test's client (run on `io` by the calling thread), then stops the host; the
    // client's log lines are printed first when the test has failed.
    void stopClientAndHost(asio::io_context& io, const std::shared_ptr<Client>& client,
                           const std::vector<std::string>& logs) {
        if (::testing::Test::HasFailure()) {
            for (const auto& line : logs) {
                std::cerr << "  log: " << line << "\n";
            }
        }
        if (client) {
            runFor(io, client->disconnect(), std::chrono::seconds(30));
        }
        runIdle(io, std::chrono::milliseconds(20));
        stopHost();
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(host->port()) + "/mcp"; }

    std::shared_ptr<Server> latestServer() {
        std::lock_guard lock(mutex);
        return servers.empty() ? nullptr : servers.back();
    }

    asio::io_context hostIO;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work{
        asio::make_work_guard(hostIO)};
    std::vector<std::thread> threads;
    std::unique_ptr<StreamableHTTPServer> host;
    std::mutex mutex;
    std::vector<std::shared_ptr<Server>> servers;
};

}  // namespace mcp::testing
