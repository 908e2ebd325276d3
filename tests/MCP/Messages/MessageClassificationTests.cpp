// What a received message is, and the text of error answers.
#include <gtest/gtest.h>

#include <string>

#include "MCP/JSON/JsonParser.h"
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
        // A text that reads as a data URL is still a text id.
        {R"({"jsonrpc":"2.0","id":"data:,x","method":"ping"})", "request", "data:,x"},
        // An id with an answer is an answer, whatever else the message carries.
        {R"({"jsonrpc":"2.0","id":4,"method":"ping","result":{}})", "response", "4"},
        {R"({"jsonrpc":"2.0","id":4,"method":"ping","error":{"code":1,"message":"m"}})",
         "response", "4"},
    };
    // A method with an id no answer can carry is an invalid request, never a notification and
    // never a request under some id of its own.
    for (const char* id : {"true", "null", "1.5", "1.0", "{}", "[]", "18446744073709551616",
                           "-9223372036854775809", "1e3"}) {
        SCOPED_TRACE(id);
        const std::string text = std::string(R"({"jsonrpc":"2.0","method":"ping","id":)") + id + "}";
        const ReceivedMessage message = classifyMessage(std::string_view(text));
        ASSERT_EQ(kindOf(message), "invalid");
        EXPECT_EQ(idOf(message), "");
        EXPECT_EQ(std::string(std::get<InvalidMessage>(message).error.what()),
                  "Invalid Request: ID must be string or number");
    }
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

TEST(MessageClassification, FormsOfTheMembers) {
    struct Case {
        const char* text;
        MessageForm form;
    };
    const Case cases[] = {
        {R"({"id":1,"method":"m"})", MessageForm::request},
        {R"({"id":"1","method":"m","params":{}})", MessageForm::request},
        {R"({"method":"m"})", MessageForm::notification},
        {R"({"method":"m","result":{}})", MessageForm::notification},
        {R"({"id":1,"result":null})", MessageForm::response},
        {R"({"id":null,"error":{}})", MessageForm::response},
        {R"({"id":1,"method":5,"result":{}})", MessageForm::response},
        {R"({"id":1,"method":"m","result":{}})", MessageForm::ambiguous},
        {R"({"id":"x","method":"m","error":{}})", MessageForm::ambiguous},
        {R"({"id":null,"method":"m"})", MessageForm::invalidRequest},
        {R"({"id":2.5,"method":"m"})", MessageForm::invalidRequest},
        {R"({"id":1,"method":7})", MessageForm::invalid},
        {R"({"id":1})", MessageForm::invalid},
        {R"({})", MessageForm::invalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Value message = parseJson(c.text);
        EXPECT_EQ(MessageShape(*message.objectValue()).form(), c.form);
    }
    EXPECT_FALSE(invalidRequestError(MessageForm::request));
    EXPECT_EQ(std::string(invalidRequestError(MessageForm::ambiguous)->what()),
              "Invalid Request: A request cannot carry a result or an error");
}

TEST(MessageClassification, ErrorAnswers) {
    EXPECT_EQ(
        errorAnswerText(MCPError::invalidRequest("Batch array must not be empty"), std::nullopt),
        R"({"error":{"code":-32600,"data":{"detail":"Batch array must not be empty"},"message":"Invalid Request: Batch array must not be empty"},"jsonrpc":"2.0"})");
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
