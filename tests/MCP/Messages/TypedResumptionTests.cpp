// A pending request resumed with a response's outcome, for every result type a request of the tool,
// completion, logging and content families awaits: a fitting result arrives typed, one that does
// not fit arrives as TypeMismatchError, an error response arrives as itself. On a real io_context.
#include <gtest/gtest.h>

#include <any>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "MCP/Core/PendingRequest.h"
#include "MCP/JSON/JsonElement.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/Messages/Completion.h"
#include "MCP/Messages/Elicitation.h"
#include "MCP/Messages/MCPError.h"
#include "MCP/Messages/Prompts.h"
#include "MCP/Messages/Resources.h"
#include "MCP/Messages/Roots.h"
#include "MCP/Messages/SamplingRequest.h"
#include "MCP/Messages/Tools.h"

namespace mcp {
namespace {

namespace asio = boost::asio;

// What the awaiting caller saw: the typed result, or the error thrown to it.
template <class T>
using Seen = std::variant<T, std::exception_ptr>;

// Sends nothing: creates the pending request, erases it as the tables do, resumes the erased entry
// with `outcome` and gives what the caller awaiting the typed result received.
template <class T>
Seen<T> resumeWith(AnyPendingRequest::Outcome outcome) {
    PendingRequest<T> pending;
    auto answer = pending.result();
    AnyPendingRequest erased(std::move(pending));
    std::optional<Seen<T>> seen;
    asio::io_context context;
    asio::co_spawn(
        context,
        [&]() -> asio::awaitable<void> {
            try {
                seen.emplace(co_await answer.take());
            } catch (...) {
                seen.emplace(std::current_exception());
            }
        },
        asio::detached);
    EXPECT_TRUE(erased.resume(std::move(outcome)));
    context.run();
    if (!seen) {
        ADD_FAILURE() << "the caller was never resumed";
        return std::exception_ptr();
    }
    return std::move(*seen);
}

bool isTypeMismatch(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const TypeMismatchError&) {
        return true;
    } catch (...) {
        return false;
    }
}

struct Row {
    std::string_view awaited;  // the result type, for messages
    std::string_view result;   // the JSON of the response's "result"
    bool fits;                 // whether it decodes as the awaited type
};

// Resumes a waiter of type T with the row's result, once as a Value and once as read in place
// from the parse; checks both outcomes against the row.
template <class T>
void checkRow(const Row& row) {
    SCOPED_TRACE(std::string(row.awaited) + " <- " + std::string(row.result));
    Value result = parseJson(row.result);
    auto check = [&](const Seen<T>& seen) {
        if (row.fits) {
            ASSERT_EQ(seen.index(), 0u) << "the caller got an error instead of the result";
            EXPECT_EQ(encodeValue(std::get<0>(seen)), encodeValue(decodeValue<T>(result)));
        } else {
            ASSERT_EQ(seen.index(), 1u) << "the caller got a result";
            EXPECT_TRUE(isTypeMismatch(std::get<1>(seen)));
        }
    };
    {
        SCOPED_TRACE("as a Value");
        check(resumeWith<T>(result));
    }
    SCOPED_TRACE("as parsed");
    const bool parsed = visitJson(row.result, [&](const JsonElement& element) {
        check(resumeWith<T>(ParsedResult{&element}));
    });
    EXPECT_TRUE(parsed);
}

const std::map<std::string_view, std::function<void(const Row&)>>& checkers() {
    static const std::map<std::string_view, std::function<void(const Row&)>> table{
        {"Empty", checkRow<Empty>},
        {"ListTools.Result", checkRow<ListTools::Result>},
        {"CallTool.Result", checkRow<CallTool::Result>},
        {"Complete.Result", checkRow<Complete::Result>},
        {"ListPrompts.Result", checkRow<ListPrompts::Result>},
        {"GetPrompt.Result", checkRow<GetPrompt::Result>},
        {"ListResources.Result", checkRow<ListResources::Result>},
        {"ReadResource.Result", checkRow<ReadResource::Result>},
        {"ListResourceTemplates.Result", checkRow<ListResourceTemplates::Result>},
        {"CreateSamplingMessage.Result", checkRow<CreateSamplingMessage::Result>},
        {"CreateElicitation.Result", checkRow<CreateElicitation::Result>},
        {"ListRoots.Result", checkRow<ListRoots::Result>},
    };
    return table;
}

const Row kRows[] = {
    // Empty reads nothing, so any result completes it.
    {"Empty", "{}", true},
    {"Empty", R"({"unexpected":[1,2]})", true},
    {"Empty", "5", true},
    {"ListTools.Result", R"({"tools":[{"name":"t","inputSchema":{}}],"nextCursor":"n"})", true},
    {"ListTools.Result", R"({"nextCursor":"n"})", false},
    {"CallTool.Result", R"({"content":[{"type":"text","text":"done"}],"isError":false})", true},
    {"CallTool.Result", R"({"content":[{"type":"Text","text":"done"}]})", false},
    // The last of repeated keys counts; unknown keys are ignored; null is an absent optional.
    {"CallTool.Result",
     R"({"content":[],"isError":null,"more":{"a":[1]},"content":[{"text":"a","type":"text","text":"b"}]})",
     true},
    {"CallTool.Result", R"({"content":[{"type":"text","text":"a"}],"content":7})", false},
    // A data URL where text is wanted is its text; structured content and metadata as they are.
    {"CallTool.Result",
     R"({"content":[{"type":"text","text":"data:text/plain;base64,aGk="}],"structuredContent":{"n":[1.5,"data:,x",null]},"_meta":{"progressToken":3}})",
     true},
    {"CallTool.Result", R"({"content":[{"type":"image","data":"AA==","mimeType":7}]})", false},
    {"CallTool.Result", R"({"content":[{"type":"audio","data":"AA==","mimeType":"audio/wav"}],"isError":true})", true},
    {"CallTool.Result", R"({"content":[{"text":"no type"}]})", false},
    {"CallTool.Result", R"({"content":[],"isError":"yes"})", false},
    {"Complete.Result", R"({"completion":{"values":["a"],"total":1}})", true},
    {"Complete.Result", R"({"completion":{"values":["a"],"total":0.5}})", false},
    {"ListPrompts.Result", R"({"prompts":[{"name":"p"}]})", true},
    {"ListPrompts.Result", R"({"prompts":[{"title":"p"}]})", false},
    {"GetPrompt.Result", R"({"messages":[{"role":"user","content":{"type":"text","text":"x"}}]})",
     true},
    {"GetPrompt.Result", R"({"messages":[{"role":"user","content":{"type":"tool_use"}}]})", false},
    {"ListResources.Result", R"({"resources":[{"name":"n","uri":"u","size":3}]})", true},
    {"ListResources.Result", R"({"resources":[{"name":"n","uri":"u","size":3.5}]})", false},
    // An integral number written with a fraction or an exponent is that integer.
    {"ListResources.Result", R"({"resources":[{"name":"n","uri":"u","size":3.0}]})", true},
    {"ListResources.Result", R"({"resources":[{"name":"n","uri":"u","size":3e0}]})", true},
    {"ListResources.Result", R"({"resources":[{"name":"n","uri":"u","size":1e300}]})", false},
    {"ReadResource.Result", R"({"contents":[{"uri":"u","blob":"AA=="}]})", true},
    {"ReadResource.Result", R"({"contents":{}})", false},
    {"ListResourceTemplates.Result", R"({"resourceTemplates":[{"uriTemplate":"t","name":"n"}]})",
     true},
    {"ListResourceTemplates.Result", R"({"templates":[]})", false},
    {"CreateSamplingMessage.Result",
     R"({"model":"m","role":"assistant","content":[{"type":"text","text":"x"}],"stopReason":"other"})",
     true},
    {"CreateSamplingMessage.Result", R"({"model":"m","role":"assistant"})", false},
    {"CreateElicitation.Result", R"({"action":"accept","content":{"name":"Ada"}})", true},
    {"CreateElicitation.Result", R"({"action":"Accept"})", false},
    {"ListRoots.Result", R"({"roots":[{"uri":"file:///a"}]})", true},
    {"ListRoots.Result", R"([])", false},
};

class TypedResumption : public testing::TestWithParam<Row> {};

TEST_P(TypedResumption, GivesTheAwaitedTypeOrTypeMismatch) {
    checkers().at(GetParam().awaited)(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Table, TypedResumption, testing::ValuesIn(kRows));

TEST(TypedResumption, AnErrorResponseReachesTheCallerUnchanged) {
    Seen<ListTools::Result> seen =
        resumeWith<ListTools::Result>(std::make_exception_ptr(MCPError::methodNotFound()));
    ASSERT_EQ(seen.index(), 1u);
    try {
        std::rethrow_exception(std::get<1>(seen));
    } catch (const MCPError& error) {
        EXPECT_EQ(error.code(), -32601);
        EXPECT_EQ(error.errorDescription(), "Method not found");
    } catch (...) {
        ADD_FAILURE() << "another error reached the caller";
    }
}

TEST(TypedResumption, AValueOfTheAwaitedTypeIsHandedOverAsItIs) {
    CallTool::Result result{{ToolContent::text("hi")}, Value(3), true};
    Seen<CallTool::Result> seen = resumeWith<CallTool::Result>(std::any(result));
    ASSERT_EQ(seen.index(), 0u);
    EXPECT_EQ(std::get<0>(seen), result);

    Seen<CallTool::Result> other = resumeWith<CallTool::Result>(std::any(Root{"u"}));
    ASSERT_EQ(other.index(), 1u);
    EXPECT_TRUE(isTypeMismatch(std::get<1>(other)));
}

TEST(TypedResumption, ADataValueReachesATextFieldAsItsURL) {
    Value blob = Value::data({'h', 'i'});
    Value result = Value::object(
        {{"contents", Value::array({Value::object({{"uri", "u"}, {"text", blob}})})}});
    Seen<ReadResource::Result> seen = resumeWith<ReadResource::Result>(result);
    ASSERT_EQ(seen.index(), 0u);
    ASSERT_EQ(std::get<0>(seen).contents.size(), 1u);
    EXPECT_EQ(std::get<0>(seen).contents[0].text, "data:text/plain;base64,aGk=");
}

}  // namespace
}  // namespace mcp
