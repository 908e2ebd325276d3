// The MCP client over the HTTP client transport against our own streamable-HTTP host, stateful
// and stateless, and the example client program against the example HTTP server program.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <cstdio>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MCP/Client/Client.h"
#include "MCP/HTTP/HTTPClientTransport.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/Coding.h"
#include "MCP/Messages/MCPError.h"
#include "tests/MCP/ChildProcess.h"
#include "tests/MCP/HTTP/ExampleHTTPHost.h"
#include "tests/MCP/LogLineRecorder.h"
#include "tests/MCP/ServerTestSupport.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using testing::firstText;
using testing::runFor;
using testing::runUntil;
using namespace std::chrono_literals;

// The host runs on threads of its own; the client on `io`, run by the test thread.
class HTTPClientOverHostTest : public ::testing::Test, protected testing::ExampleHTTPHost {
protected:
    void TearDown() override { stopClientAndHost(io, client, *logs); }

    std::shared_ptr<HTTPClientTransport> connectClient(
        bool streaming, HTTPClientTransport::Configuration configuration = {},
        double sseInitializationTimeout = 10.0, Client::Capabilities capabilities = {}) {
        auto endpoint = URL::parse(url());
        auto transport = std::make_shared<HTTPClientTransport>(
            io.get_executor(), *endpoint, configuration, streaming, std::nullopt,
            sseInitializationTimeout, nullptr,
            nullptr, logging::Logger("test", testing::LogLineRecorder(logs)));
        client = std::make_shared<Client>(io.get_executor(), "http-test", "1.0.0", std::nullopt,
                                          std::nullopt, std::nullopt, std::nullopt, capabilities);
        client->withSamplingHandler([](CreateSamplingMessage::Parameters)
                                        -> asio::awaitable<CreateSamplingMessage::Result> {
            co_return decodeValue<CreateSamplingMessage::Result>(parseJson(
                R"({"model":"m","role":"assistant","content":{"type":"text","text":"Yes"}})"));
        });
        client->onNotification<LogMessageNotification>(
            [this](Message<LogMessageNotification> message) -> asio::awaitable<void> {
                notifications.push_back(message.params.data);
                co_return;
            });
        Initialize::Result result = runFor(io, client->connect(transport), 20s);
        EXPECT_EQ(result.serverInfo.name, "example-tools");
        // The handshake handed the agreed version to the transport.
        EXPECT_EQ(runFor(io, transport->protocolVersion()), result.protocolVersion);
        return transport;
    }

    void expectToolsWork() {
        auto tools = runFor(io, client->listTools(), 20s);
        EXPECT_EQ(tools.first.size(), 4u);
        auto sum = runFor(
            io, client->callTool("add", Object::fromEntries({{"a", Value(1)}, {"b", Value(2)}})),
            20s);
        EXPECT_EQ(firstText(sum.first), "3.0");
    }

    asio::io_context io;
    std::shared_ptr<Client> client;
    std::vector<Value> notifications;
    std::shared_ptr<std::vector<std::string>> logs = std::make_shared<std::vector<std::string>>();
};

TEST_F(HTTPClientOverHostTest, StatefulSessionWithServerMessagesOnTheGetStream) {
    startHost({.mode = StreamableHTTPServer::Mode::stateful});
    HTTPClientTransport::Configuration configuration;
    configuration.requestTimeout = 500ms;
    auto transport = connectClient(true, configuration);
    EXPECT_TRUE(runFor(io, transport->sessionID()).has_value());
    expectToolsWork();

    // A call that runs far longer than the request timeout, quietly, on its event stream.
    auto slept = runFor(
        io, client->callTool("sleep", Object::fromEntries({{"milliseconds", Value(1500)}})), 20s);
    EXPECT_EQ(firstText(slept.first), "Done.");

    // What the server sends on its own travels on the GET stream. Until that stream is open the
    // server keeps its messages for a resumption that a first GET does not ask for, so the
    // message is sent again until one arrives.
    std::shared_ptr<Server> server = latestServer();
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (notifications.empty() && std::chrono::steady_clock::now() < deadline) {
        std::promise<void> sent;
        asio::co_spawn(hostIO, server->log(LogLevel::info, std::nullopt, Value("hello")),
                       [&](std::exception_ptr) { sent.set_value(); });
        sent.get_future().wait();
        runUntil(io, [&] { return !notifications.empty(); }, 200ms);
    }
    ASSERT_FALSE(notifications.empty());
    EXPECT_EQ(notifications.front(), Value("hello"));
}

TEST_F(HTTPClientOverHostTest, ACallWhoseSessionIsDeletedMeanwhileFailsPromptly) {
    startHost({.mode = StreamableHTTPServer::Mode::stateful});
    HTTPClientTransport::Configuration configuration;
    configuration.minimumRetryInterval = 10ms;
    configuration.maximumRetryInterval = 10ms;
    auto transport = connectClient(false, configuration);
    const auto session = runFor(io, transport->sessionID());
    ASSERT_TRUE(session.has_value());

    auto streamsRead = [&] {
        return std::count_if(logs->begin(), logs->end(), [](const std::string& line) {
            return line.find("Starting SSE event processing") != std::string::npos;
        });
    };
    const auto before = streamsRead();
    std::optional<std::string> outcome;
    // When the sleep ends, its answer has no stream left to go to.
    asio::co_spawn(
        io, client->callTool("sleep", Object::fromEntries({{"milliseconds", Value(3000)}})),
        [&](std::exception_ptr error, auto) {
            try {
                if (error) {
                    std::rethrow_exception(error);
                }
                outcome = "answered";
            } catch (const MCPError& failure) {
                outcome = failure.detail().value_or(failure.what());
            } catch (const std::exception& failure) {
                outcome = failure.what();
            }
        });
    runUntil(io, [&] { return streamsRead() > before; }, 20s);  // the call's stream is open
    // Another party ends the session while the call runs.
    auto [output, status] = testing::shell(
        "curl -sS -o /dev/null -w '%{http_code}' -X DELETE -H 'MCP-Session-Id: " + *session +
        "' -H 'MCP-Protocol-Version: 2025-06-18' " + url());
    EXPECT_EQ(output, "200");
    runUntil(io, [&] { return outcome.has_value(); }, 20s);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(*outcome, "Session expired");
}

TEST_F(HTTPClientOverHostTest, WhatAHandlerSendsTravelsOnItsRequestsStream) {
    // A tool that logs, then asks the client to sample, while its call runs.
    startHost({.mode = StreamableHTTPServer::Mode::stateful}, [](const std::shared_ptr<Server>& made) {
        std::weak_ptr<Server> weak = made;
        made->withMethodHandler<CallTool>(
            [weak](CallTool::Parameters) -> asio::awaitable<CallTool::Result> {
                auto server = weak.lock();
                co_await server->log(LogLevel::info, std::nullopt, Value("asking"));
                auto sampled = co_await server->createSamplingMessage(
                    decodeValue<CreateSamplingMessage::Parameters>(parseJson(
                        R"({"messages":[{"role":"user","content":{"type":"text","text":"?"}}],)"
                        R"("maxTokens":5})")));
                CallTool::Result result{.content = {ToolContent::text("Sampled " + sampled.model)}};
                co_return result;
            });
    });
    // No GET stream is ever opened: the call's own stream must carry the server's messages.
    Client::Capabilities capabilities;
    capabilities.sampling = Client::Capabilities::Sampling{};
    connectClient(false, {}, 10.0, capabilities);
    auto called = runFor(io, client->callTool("ask", Object{}), 20s);
    EXPECT_EQ(firstText(called.first), "Sampled m");
    ASSERT_EQ(notifications.size(), 1u);
    EXPECT_EQ(notifications.front(), Value("asking"));
}

TEST_F(HTTPClientOverHostTest, DisconnectEndsTheSession) {
    startHost({.mode = StreamableHTTPServer::Mode::stateful, .maxSessions = 5});
    for (int cycle = 0; cycle < 20; ++cycle) {
        auto transport = connectClient(cycle % 2 == 0);
        ASSERT_EQ(host->sessionCount(), 1u) << cycle;
        runFor(io, client->disconnect(), 20s);
        EXPECT_EQ(host->sessionCount(), 0u) << cycle;
        EXPECT_EQ(runFor(io, transport->sessionID()), std::nullopt);
    }
    client.reset();
}

TEST_F(HTTPClientOverHostTest, StatelessServerWithoutAGetStream) {
    startHost({.mode = StreamableHTTPServer::Mode::stateless});
    // No session id will come: the GET stream starts after a short wait.
    auto transport = connectClient(true, {}, 0.1);
    EXPECT_EQ(runFor(io, transport->sessionID()), std::nullopt);
    expectToolsWork();
    // The stateless host refuses the GET stream (405), which ends the loop for good.
    auto loggedExit = [&] {
        return std::any_of(logs->begin(), logs->end(), [](const std::string& line) {
            return line.find("⏹️ SSE retry loop exited isCancelled=true isConnected=true "
                             "totalAttempts=1") != std::string::npos;
        });
    };
    runUntil(io, loggedExit, 20s);
    EXPECT_TRUE(loggedExit());
    expectToolsWork();
}

TEST(ExampleClientOverHTTP, TalksToTheExampleHTTPServer) {
    for (bool stateless : {false, true}) {
        SCOPED_TRACE(stateless ? "stateless" : "stateful");
        std::vector<std::string> arguments{"--port", "0"};
        if (stateless) {
            arguments.push_back("--stateless");
        }
        testing::ChildProcess server(FW_EXAMPLE_HTTP_SERVER, arguments);
        auto line = server.readLine(20s);
        ASSERT_TRUE(line.has_value());
        const std::string prefix = "Listening on ";
        ASSERT_EQ(line->rfind(prefix, 0), 0u) << *line;
        const std::string url = line->substr(prefix.size());
        const std::string client = FW_EXAMPLE_CLIENT;

        auto [output, status] = testing::shell(client + R"( add '{"a":2,"b":3}' -- )" + url);
        EXPECT_EQ(output, "Server: example-tools 1.0.0\nTools: add echo fail sleep announce\n5.0\n");
        EXPECT_EQ(status, 0);

        if (!stateless) {
            // The announcement comes on the session's GET stream, apart from the call's answer.
            auto [announced, announcedStatus] =
                testing::shell(client + R"( --wait-notification announce '{"text":"hello"}' -- )" + url);
            EXPECT_NE(announced.find("Announced.\n"), std::string::npos) << announced;
            EXPECT_NE(announced.find("Notification: hello\n"), std::string::npos) << announced;
            EXPECT_EQ(announcedStatus, 0);
        }
        EXPECT_EQ(testing::shell(client + " add -- http://127.0.0.1:1/mcp 2>/dev/null").second, 2);
        server.kill(SIGTERM);
        EXPECT_EQ(server.waitForExit(20s), 0);
    }
}

}  // namespace
}  // namespace mcp
