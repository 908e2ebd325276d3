// The example tool server driven through real pipes, as an MCP client drives a server it starts.
#include <gtest/gtest.h>

#include <string>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/Value.h"
#include "tests/MCP/ChildProcess.h"

namespace mcp {
namespace {

using mcp::testing::ChildProcess;
using namespace std::chrono_literals;

// The first content text of a tools/call answer.
std::string resultText(const std::string& answer) {
    Value value = parseJson(answer);
    const Value* result = value.find("result");
    const Value* content = result ? result->find("content") : nullptr;
    if (!content || !content->arrayValue() || content->arrayValue()->empty()) {
        return "<no content>";
    }
    const Value* text = (*content->arrayValue())[0].find("text");
    return text && text->stringValue() ? *text->stringValue() : "<no text>";
}

TEST(ServerEndToEnd, ServesToolsOverStandardInputAndOutput) {
    ChildProcess server(FW_EXAMPLE_TOOL_SERVER);

    server.writeLine(
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-11-25","capabilities":{},"clientInfo":{"name":"pipe-test","version":"1"}}})");
    EXPECT_EQ(
        server.readLine(),
        R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2025-11-25","serverInfo":{"name":"example-tools","version":"1.0.0"}}})");
    server.writeLine(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");

    server.writeLine(R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})");
    auto list = server.readLine();
    ASSERT_TRUE(list);
    Value tools = parseJson(*list);
    ASSERT_TRUE(tools.find("result"));
    EXPECT_EQ(tools.find("result")->find("tools")->arrayValue()->size(), 4u);

    server.writeLine(
        R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"add","arguments":{"a":2,"b":3.5}}})");
    auto sum = server.readLine();
    ASSERT_TRUE(sum);
    EXPECT_EQ(resultText(*sum), "5.5");

    server.writeLine(R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"fail"}})");
    EXPECT_EQ(
        server.readLine(),
        R"({"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"The tool fail failed.","type":"text"}],"isError":true}})");

    server.writeLine(R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"arguments":{}}})");
    auto invalid = server.readLine();
    ASSERT_TRUE(invalid);
    EXPECT_NE(invalid->find(R"("code":-32602)"), std::string::npos) << *invalid;

    server.writeLine(R"({"jsonrpc":"2.0","id":6,"method":"ping"})");
    EXPECT_EQ(server.readLine(), R"({"id":6,"jsonrpc":"2.0","result":{}})");

    // A long call, cancelled: no answer for it, and the server goes on.
    server.writeLine(
        R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"sleep","arguments":{"milliseconds":20000}}})");
    server.writeLine(
        R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":7,"reason":"no longer needed"}})");
    server.writeLine(
        R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"name":"echo","arguments":{"text":"still here"}}})");
    auto echo = server.readLine();
    ASSERT_TRUE(echo);
    EXPECT_EQ(resultText(*echo), "still here");
    EXPECT_FALSE(server.readLine(300ms));

    server.writeLine("this is not JSON");
    EXPECT_EQ(
        server.readLine(),
        R"({"error":{"code":-32700,"data":{"detail":"Invalid message format"},"message":"Parse error: Invalid JSON: Invalid message format"},"jsonrpc":"2.0"})");

    // End of input ends the program.
    server.closeInput();
    EXPECT_EQ(server.waitForExit(), 0);
}

}  // namespace
}  // namespace mcp
