// Malformed and hostile lines: each gets an error answer (or, for a notification, none), and the
// server keeps serving.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "MCP/JSON/JsonParser.h"
#include "MCP/Messages/Tools.h"
#include "tests/MCP/ServerTestSupport.h"

namespace mcp {
namespace {

using namespace mcp::testing;

// Sends `line`, then a ping, and returns what came back before the ping's answer.
std::vector<std::string> answersTo(ServerHarness& harness, const std::string& line, int probe) {
    harness.send(line);
    const std::string probeId = "probe-" + std::to_string(probe);
    harness.send(R"({"jsonrpc":"2.0","id":")" + probeId + R"(","method":"ping"})");
    std::vector<std::string> answers;
    while (auto message = harness.receive()) {
        if (*message == R"({"id":")" + probeId + R"(","jsonrpc":"2.0","result":{}})") {
            return answers;
        }
        answers.push_back(*message);
    }
    ADD_FAILURE() << "the server stopped answering after: " << line.substr(0, 200);
    return answers;
}

// Every answer is JSON-RPC: an object (or array of objects) with a result or a standard error.
void expectWellFormed(const std::string& answer, const std::string& line) {
    static const std::set<std::int64_t> codes = {-32700, -32600, -32601, -32602, -32603};
    Value value;
    try {
        value = parseJson(answer);
    } catch (const std::exception& error) {
        ADD_FAILURE() << "not JSON: " << answer;
        return;
    }
    std::vector<const Value*> objects;
    if (const Array* array = value.arrayValue()) {
        for (const Value& element : *array) {
            objects.push_back(&element);
        }
    } else {
        objects.push_back(&value);
    }
    for (const Value* object : objects) {
        EXPECT_EQ(object->find("jsonrpc") ? object->find("jsonrpc")->asString() : std::nullopt,
                  "2.0")
            << answer;
        // An error answer whose request could not be read carries no id; no answer has a null
        // one, which the protocol's schema refuses.
        const Value* id = object->find("id");
        EXPECT_TRUE(id == nullptr || id->kind() == Value::Kind::Int || id->jsonString())
            << answer;
        EXPECT_TRUE(id || object->find("error")) << answer;
        if (const Value* error = object->find("error")) {
            auto code = error->find("code") ? error->find("code")->intValue() : std::nullopt;
            EXPECT_TRUE(code && codes.contains(*code)) << answer << " for " << line.substr(0, 200);
        } else {
            EXPECT_TRUE(object->find("result")) << answer;
        }
    }
}

TEST(ServerFuzz, HostileLinesGetTheRightErrorAndTheServerKeepsServing) {
    struct Row {
        std::string line;
        std::string expectedFragment;  // empty: no answer expected
    };
    const std::string parseError = R"("code":-32700)";
    const std::string invalidRequest = R"("code":-32600)";
    const std::string invalidParams = R"("code":-32602)";
    const std::vector<Row> rows = {
        {"", parseError},
        {"not json", parseError},
        {"{", parseError},
        {R"({"jsonrpc":"2.0","id":1,"method":"ping")", parseError},
        {"\"text\"", parseError},
        {"null", parseError},
        {"[1,2,3]", parseError},
        {std::string(100000, '['), parseError},
        {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xff\xfe\"}", parseError},
        {R"({"jsonrpc":"2.0","id":1,"method":"\ud800"})", parseError},
        {R"({"jsonrpc":"2.0","id":1,"method":5})", parseError},
        {R"({"jsonrpc":2,"id":1,"method":"ping"})", parseError},
        {R"({"jsonrpc":"2.0","id":[],"method":"ping"})", invalidRequest},
        {R"({"jsonrpc":"2.0","id":false,"method":"ping"})", invalidRequest},
        {R"({"jsonrpc":"2.0","id":1e400,"method":"ping"})", parseError},
        {R"({"jsonrpc":"2.0","id":99999999999999999999999,"method":"ping"})", invalidRequest},
        {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":[1]})", invalidParams},
        {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":7}})", invalidParams},
        {R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"x","arguments":[]}})",
         invalidParams},
        {R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"capabilities":5}})",
         invalidParams},
        {R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":{}}})", ""},
        {R"({"jsonrpc":"2.0","method":7})", parseError},
        {R"([{"jsonrpc":"2.0","id":1,"method":"ping"},5])", parseError},
        {R"({"jsonrpc":"2.0","id":1,"result":{}})", ""},  // a response nobody waits for
    };
    ServerHarness harness;
    harness.server->withMethodHandler<CallTool>(
        [](CallTool::Parameters) -> asio::awaitable<CallTool::Result> {
            co_return CallTool::Result{};
        });
    harness.start();
    int probe = 0;
    for (const Row& row : rows) {
        auto answers = answersTo(harness, row.line, ++probe);
        if (row.expectedFragment.empty()) {
            EXPECT_TRUE(answers.empty()) << row.line.substr(0, 200);
            continue;
        }
        ASSERT_EQ(answers.size(), 1u) << row.line.substr(0, 200);
        EXPECT_NE(answers[0].find(row.expectedFragment), std::string::npos)
            << answers[0] << " for " << row.line.substr(0, 200);
        expectWellFormed(answers[0], row.line);
    }

    // Random damage to valid messages: whatever comes back is a well-formed answer.
    const std::vector<std::string> seeds = {
        R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"echo","arguments":{"text":"hi"}}})",
        R"({"jsonrpc":"2.0","id":"x","method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"c","version":"1"}}})",
        R"([{"jsonrpc":"2.0","id":2,"method":"ping"},{"jsonrpc":"2.0","method":"notifications/initialized"}])",
    };
    std::mt19937 random(20261210);
    const std::string alphabet = "{}[]\":,0123456789.eE-+ \\nulltruefalse\x80\xff";
    for (int round = 0; round < 300; ++round) {
        std::string line = seeds[random() % seeds.size()];
        switch (random() % 3) {
            case 0:
                line.resize(random() % line.size());
                break;
            case 1:
                line[random() % line.size()] = alphabet[random() % alphabet.size()];
                break;
            default:
                line.insert(random() % line.size(), 1, alphabet[random() % alphabet.size()]);
                break;
        }
        if (line.find('\n') != std::string::npos || line.empty()) {
            continue;
        }
        for (const auto& answer : answersTo(harness, line, ++probe)) {
            expectWellFormed(answer, line);
        }
    }
}

}  // namespace
}  // namespace mcp
