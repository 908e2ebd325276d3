// The client against the example tool server in a child process, over real pipes, and the
// example client program against it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "MCP/Client/Client.h"
#include "MCP/Transports/StdioTransport.h"
#include "tests/MCP/ChildProcess.h"
#include "tests/MCP/ClientTestSupport.h"

namespace mcp {
namespace {

using namespace mcp::testing;
using namespace std::chrono_literals;

class ClientOverPipes : public ::testing::Test {
protected:
    ClientOverPipes()
        : work_(asio::make_work_guard(io)),
          child(FW_EXAMPLE_TOOL_SERVER),
          transport(std::make_shared<StdioTransport>(io.get_executor(), child.outputDescriptor(),
                                                     child.inputDescriptor())),
          client(std::make_shared<Client>(io.get_executor(), "pipe-client", "1.0")) {}

    ~ClientOverPipes() override {
        runFor(io, client->disconnect());
        child.closeInput();
        child.waitForExit();
    }

    std::string outcome(
        asio::awaitable<std::pair<std::vector<ToolContent>, std::optional<bool>>> call) {
        try {
            auto [content, isError] = runFor(io, std::move(call), 20s);
            std::string text = isError.value_or(false) ? "error: " : "";
            for (const auto& block : content) {
                text += block.get<ToolContent::Text>()->text;
            }
            return text;
        } catch (const std::exception& error) {
            return error.what();
        }
    }

    asio::io_context io;

private:
    asio::executor_work_guard<asio::io_context::executor_type> work_;

protected:
    ChildProcess child;
    std::shared_ptr<StdioTransport> transport;
    std::shared_ptr<Client> client;
};

TEST_F(ClientOverPipes, ListsAndCallsTheExampleServersTools) {
    Initialize::Result server = runFor(io, client->connect(transport), 20s);
    EXPECT_EQ(server.serverInfo.name, "example-tools");
    auto [tools, next] = runFor(io, client->listTools(), 20s);
    ASSERT_EQ(tools.size(), 4u);
    EXPECT_EQ(tools[0].name, "add");
    EXPECT_FALSE(next);
    EXPECT_EQ(
        outcome(client->callTool("add", Object::fromEntries({{"a", Value(2)}, {"b", Value(3.5)}}))),
        "5.5");
    EXPECT_EQ(outcome(client->callTool("fail")), "error: The tool fail failed.");
    EXPECT_EQ(outcome(client->callTool("echo", Object::fromEntries({{"text", Value("é/\n")}}))),
              "é/\n");
    runFor(io, client->ping(), 20s);
    // Cancelled by the client: the server stops the tool and goes on.
    auto slow = runFor(
        io, client->sendToolCall("sleep", Object::fromEntries({{"milliseconds", Value(20000)}})),
        20s);
    runFor(io, client->cancelRequest(slow.requestID, "not needed"), 20s);
    EXPECT_EQ(runFor(io, outcomeOf(slow.value()), 20s), "The request was cancelled.");
    EXPECT_EQ(outcome(client->callTool("echo", Object::fromEntries({{"text", Value("on")}}))),
              "on");
}

TEST_F(ClientOverPipes, ServerKilledMidRequestFailsItsCallersPromptly) {
    runFor(io, client->connect(transport), 20s);
    auto slow = runFor(
        io, client->sendToolCall("sleep", Object::fromEntries({{"milliseconds", Value(60000)}})),
        20s);
    child.kill(SIGKILL);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runFor(io, outcomeOf(slow.value()), 20s), "Connection closed");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_FALSE(runFor(io, client->isConnected()));
    EXPECT_EQ(runFor(io, outcomeOf(client->ping())), "Connection closed");
}

TEST(ExampleClient, StartsTheServerListsItsToolsAndCallsOne) {
    const std::string client = FW_EXAMPLE_CLIENT;
    const std::string server = FW_EXAMPLE_TOOL_SERVER;
    auto [output, status] = testing::shell(client + R"( add '{"a":2,"b":3}' -- )" + server);
    EXPECT_EQ(output, "Server: example-tools 1.0.0\nTools: add echo fail sleep\n5.0\n");
    EXPECT_EQ(status, 0);
    auto [failed, failedStatus] = testing::shell(client + " fail -- " + server);
    EXPECT_EQ(failedStatus, 1);
    EXPECT_NE(failed.find("The tool fail failed."), std::string::npos);
    EXPECT_EQ(testing::shell(client + " add 'not json' -- " + server + " 2>/dev/null").second, 2);
}

}  // namespace
}  // namespace mcp
