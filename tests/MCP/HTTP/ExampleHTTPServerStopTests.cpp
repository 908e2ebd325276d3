// The example HTTP server ends promptly on SIGTERM even while a tool call runs: stopping a server
// cancels its running request handlers, whose answers could no longer be delivered.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "tests/MCP/ChildProcess.h"

namespace mcp {
namespace {

using namespace std::chrono_literals;

const std::string kInitialize =
    R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-11-25",)"
    R"("capabilities":{},"clientInfo":{"name":"curl","version":"1"}}})";
// Far longer than the test waits for the server to end.
const std::string kLongCall =
    R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"sleep",)"
    R"("arguments":{"milliseconds":600000}}})";

TEST(ExampleHTTPServerStop, EndsOnSIGTERMWhileAToolCallRuns) {
    for (const bool stateless : {false, true}) {
        SCOPED_TRACE(stateless ? "stateless" : "stateful");
        std::vector<std::string> arguments{"--port", "0"};
        if (stateless) {
            arguments.push_back("--stateless");
        }
        testing::ChildProcess server(FW_EXAMPLE_HTTP_SERVER, arguments);
        auto listening = server.readLine(20s);
        ASSERT_TRUE(listening);
        const std::string url = listening->substr(std::string("Listening on ").size());

        std::vector<std::string> call{"-sS", "-N", "-D", "-", "--max-time", "120", "-X", "POST",
                                      "-H", "Content-Type: application/json", "-H",
                                      "MCP-Protocol-Version: 2025-11-25"};
        if (stateless) {
            call.insert(call.end(), {"-H", "Accept: application/json"});
        } else {
            auto [head, status] = testing::shell(
                "curl -sS -D - -o /dev/null -H 'Content-Type: application/json' -H 'Accept: "
                "application/json, text/event-stream' --data-binary '" +
                kInitialize + "' " + url);
            ASSERT_EQ(status, 0) << head;
            std::smatch session;
            ASSERT_TRUE(std::regex_search(head, session,
                                          std::regex("MCP-Session-Id: ([^\r\n]+)", std::regex::icase)))
                << head;
            call.insert(call.end(), {"-H", "Accept: application/json, text/event-stream", "-H",
                                     "MCP-Session-Id: " + session[1].str()});
        }
        call.insert(call.end(), {"--data-binary", kLongCall, url});
        testing::ChildProcess client("curl", call);
        if (!stateless) {
            // The call's event stream opens before the tool answers: the server has the request.
            auto status = client.readLine(20s);
            ASSERT_TRUE(status);
            EXPECT_EQ(status->rfind("HTTP/1.1 200", 0), 0u) << *status;
        }
        server.kill(SIGTERM);
        EXPECT_EQ(server.waitForExit(30s), 0);
        client.kill(SIGTERM);
        client.waitForExit(10s);
    }
}

}  // namespace
}  // namespace mcp
