// What a received message is, and the text of error answers.
#include <gtest/gtest.h>

#include <string>

#include "MCP/Messages/MessageClassification.h"

namespace mcp {
namespace {

struct ClassificationCase {
    const char* text;
    const char* kind;  // request, notification, response, batch or invalid
    const char* id;    // the id read (for invalid: the id to answer under), "" when none
    const char* error = "";  // for invalid: the error's text
};

std::string kindOf(const ReceivedMessage& message) {
    const char* names[] = {"request", "notification", "response", "batch", "invalid"};
    return names[message.index()];
}

std::string idOf(const ReceivedMessage& message) {
    if (auto* request = std::get_if<Request<AnyMethod>>(&message)) {
        return request->id.description();
    }
    if (auto* response = std::get_if<Response<AnyMethod>>(&message)) {
        return response->id.description();
    }
    if (auto* invalid = std::get_if<InvalidMessage>(&message)) {
        return invalid->id ? invalid->id->description() : "";
    }
    return "";
}

TEST(MessageClassification, TellsTheFormsApart) {
    const std::string parseError = "Parse error: Invalid JSON: Invalid message format";
    const ClassificationCase cases[] = {
        {R"({"jsonrpc":"2.0","id":7,"method":"ping"})", "request", "7"},
        {R"({"jsonrpc":"2.0","id":"abc","method":"tools/call","params":{}})", "request", "abc"},
        {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", "notification", ""},
        {R"({"jsonrpc":"2.0","id":3,"result":{}})", "response", "3"},
        {R"({"jsonrpc":"2.0","id":3,"error":{"code":-32601,"message":"Method not found"}})",
         "response", "3"},
        {"[]", "batch", ""},
        {R"([{"jsonrpc":"2.0","id":1,"method":"ping"},{"id":2,"result":{}}])", "batch", ""},
        {"nonsense", "invalid", "", parseError.c_str()},
        {"5", "invalid", "", parseError.c_str()},
        {R"({"jsonrpc":"2.0","id":7})", "invalid", "7", parseError.c_str()},
        {R"({"id":"abc","method":"ping"})", "invalid", "abc", parseError.c_str()},
        {R"({"jsonrpc":"2.0","id":1.5,"result":{}})", "invalid", "", parseError.c_str()},
        {R"({"jsonrpc":"2.0","id":null})", "invalid", "", parseError.c_str()},
        {R"({"jsonrpc":"2.0","method":7})", "invalid", "", parseError.c_str()},
        {R"({"jsonrpc":"2.0","id":true,"method":"ping"})", "invalid", "",
         "Invalid Request: ID must be string or number"},
    };
    for (const ClassificationCase& c : cases) {
        SCOPED_TRACE(c.text);
        const ReceivedMessage message = classifyMessage(std::string_view(c.text));
        EXPECT_EQ(kindOf(message), c.kind);
        EXPECT_EQ(idOf(message), c.id);
        if (auto* invalid = std::get_if<InvalidMessage>(&message)) {
            EXPECT_EQ(std::string(invalid->error.what()), c.error);
        }
    }
    // The batch keeps its elements for the reader, in order.
    auto batch = classifyMessage(std::string_view(R"([{"a":1},2])"));
    ASSERT_EQ(batch.index(), 3u);
    EXPECT_EQ(std::get<BatchMessage>(batch).elements.size(), 2u);
}

TEST(MessageClassification, ErrorAnswers) {
    EXPECT_EQ(
        errorAnswerText(MCPError::invalidRequest("Batch array must not be empty"), std::nullopt),
        R"({"error":{"code":-32600,"data":{"detail":"Batch array must not be empty"},"message":"Invalid Request: Batch array must not be empty"},"id":null,"jsonrpc":"2.0"})");
    EXPECT_EQ(
        errorAnswerText(MCPError::methodNotFound("Unknown method: x"), ID("a/b")),
        R"({"error":{"code":-32601,"data":{"detail":"Unknown method: x"},"message":"Method not found: Unknown method: x"},"id":"a/b","jsonrpc":"2.0"})");
    // A detail JSON cannot carry still gives an answer under the same id.
    const std::string answer = errorAnswerText(MCPError::internalError("bad \xff"), ID(4));
    EXPECT_NE(answer.find(R"("id":4)"), std::string::npos) << answer;
    EXPECT_NE(answer.find("UTF-8"), std::string::npos) << answer;
}

}  // namespace
}  // namespace mcp
