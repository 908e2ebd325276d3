// The content messages as values: every message type's encoding decodes back to an equal value
// with the same hash (directly and through JSON text), equality tells apart what the wire tells
// apart, and the conveniences build what they promise.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/JSON/TypedJson.h"
#include "MCP/Messages/Completion.h"
#include "MCP/Messages/Elicitation.h"
#include "MCP/Messages/LoggingMessages.h"
#include "MCP/Messages/Message.h"
#include "MCP/Messages/Prompts.h"
#include "MCP/Messages/Request.h"
#include "MCP/Messages/ResourceContents.h"
#include "MCP/Messages/Resources.h"
#include "MCP/Messages/Response.h"
#include "MCP/Messages/Roots.h"
#include "MCP/Messages/Sampling.h"
#include "MCP/Messages/SamplingRequest.h"
#include "MCP/Messages/Tool.h"
#include "MCP/Messages/ToolContent.h"
#include "MCP/Messages/Tools.h"

namespace mcp {
namespace {

// Encoding then decoding gives an equal value with the same hash, directly and through text.
template <class T>
void expectRoundTrip(const T& value, const std::string& label) {
    SCOPED_TRACE(label);
    const Value encoded = encodeValue(value);
    std::string typed;
    appendTypedJson(typed, value);
    EXPECT_EQ(typed, toJson(encoded)) << "typed writer";
    const T direct = decodeValue<T>(encoded);
    EXPECT_TRUE(codingEquals(direct, value)) << toJson(encoded);
    EXPECT_EQ(codingHash(direct), codingHash(value)) << toJson(encoded);
    const T viaText = decodeValue<T>(parseJson(toJson(encoded)));
    EXPECT_TRUE(codingEquals(viaText, value)) << toJson(encoded);
    EXPECT_EQ(codingHash(viaText), codingHash(value)) << toJson(encoded);
}

Metadata meta(const char* key = "k") {
    return Metadata(Object{{key, Value::array({1, "two"})}});
}

ResourceAnnotations fullAnnotations() {
    using Audience = ResourceAnnotations::Audience;
    return {std::vector{Audience::assistant, Audience::user}, 0.75, "2025-06-01T10:00:00Z"};
}

ResourceContent fullResourceContent() {
    return {"file:///a.txt", "text/plain", "text", "AA==", meta()};
}

ResourceLink fullLink() {
    return {"u", "n", "T", "D", "image/png", fullAnnotations()};
}

Tool fullTool() {
    Tool tool;
    tool.name = "export_movie";
    tool.title = "Export Movie";
    tool.description = "Exports a movie.";
    tool.inputSchema = Value::object({{"type", "object"}, {"properties", Value::object({})}});
    tool.icons = std::vector{Icon{.src = "icon.png", .theme = Icon::Theme::dark}};
    tool.outputSchema = Value::object({{"type", "object"}});
    tool._meta = meta();
    tool.annotations = {"Export", false, true, false, true};
    return tool;
}

std::vector<ToolContent> allToolContent() {
    return {ToolContent::text("hi", meta()),
            AnnotatedText{"", ResourceAnnotations{}, std::nullopt},
            ToolContent::image("AAAA", "image/png"),
            AnnotatedAudio{"UklG", "audio/wav", fullAnnotations(), meta()},
            EmbeddedResource{fullResourceContent(), fullAnnotations(), meta()},
            ResourceLink{"u", "n"},
            fullLink()};
}

std::vector<Sampling::ToolResultBlock> allToolResultBlocks() {
    return {TextContent{"t"}, ImageContent{"AA==", "image/png"}, AudioContent{"x", "audio/mp3"},
            EmbeddedResource{fullResourceContent(), std::nullopt, std::nullopt}, fullLink()};
}

std::vector<Sampling::MessageBlock> allMessageBlocks() {
    return {TextContent{"t"}, ImageContent{"AA==", "image/png"}, AudioContent{"x", "audio/mp3"},
            Sampling::ToolUseContent{"call-1", "export_movie", Object{{"frame_rate", 24}}, meta()},
            Sampling::ToolResultContent{"call-1", allToolResultBlocks(), Object{{"ok", true}},
                                        false, meta()}};
}

std::vector<PromptContent> allPromptContent() {
    return {"hello", ImageContent{"AA==", "image/png"}, AudioContent{"x", "audio/mp3"},
            EmbeddedResource{fullResourceContent(), fullAnnotations(), meta()}, fullLink()};
}

CreateSamplingMessage::Parameters fullSamplingParameters() {
    CreateSamplingMessage::Parameters parameters;
    parameters.messages = {Sampling::Message::user("Describe the movie."),
                           Sampling::Message::assistant(allMessageBlocks(), meta())};
    parameters.modelPreferences =
        Sampling::ModelPreferences{std::vector<Sampling::ModelPreferences::Hint>{{"fast"}, {}},
                                   UnitInterval(0.0), UnitInterval(0.5), UnitInterval(1.0)};
    parameters.systemPrompt = "Be brief.";
    parameters.includeContext = Sampling::ContextInclusion::allServers;
    parameters.temperature = 0.2;
    parameters.maxTokens = std::numeric_limits<std::int64_t>::max();
    parameters.stopSequences = std::vector<std::string>{"END", ""};
    parameters._meta = meta();
    parameters.tools = std::vector{fullTool(), Tool{.name = "t"}};
    parameters.toolChoice =
        CreateSamplingMessage::ToolChoice{CreateSamplingMessage::ToolChoice::Mode::none};
    parameters.metadata = Object{{"user", "u1"}};
    return parameters;
}

TEST(ContentMessages, EveryToolMessageDecodesBackToAnEqualValue) {
    expectRoundTrip(fullTool(), "Tool");
    expectRoundTrip(Tool{.name = "bare"}, "Tool without options");
    for (const ToolContent& content : allToolContent()) {
        expectRoundTrip(content, "Tool.Content " + std::string(content.tag()));
    }
    expectRoundTrip(ListTools::Parameters{"cursor-2"}, "ListTools.Parameters");
    expectRoundTrip(ListTools::Result{{fullTool(), Tool{.name = "b"}}, "next", meta()},
                    "ListTools.Result");
    expectRoundTrip(CallTool::Parameters{meta(), "export_movie", Object{{"a", Value::array({})}}},
                    "CallTool.Parameters");
    expectRoundTrip(
        CallTool::Result{allToolContent(), Value::array({1, 2.5, nullptr}), true, meta()},
        "CallTool.Result");
    expectRoundTrip(makeRequest<CallTool>(ID(7), {std::nullopt, "t", Object{}}),
                    "Request<CallTool>");
    expectRoundTrip(Response<ListTools>{ID("r"), ListTools::Result{}}, "Response<ListTools>");
    expectRoundTrip(Message<ToolListChangedNotification>{}, "Message<ToolListChanged>");
}

TEST(ContentMessages, EveryCompletionAndLoggingMessageDecodesBackToAnEqualValue) {
    expectRoundTrip(CompletionReference(PromptReference{"p", "Prompt"}), "prompt reference");
    expectRoundTrip(CompletionReference(ResourceReference{"file:///{path}"}), "resource reference");
    expectRoundTrip(Complete::Parameters{ResourceReference{"u"},
                                         {"arg", "va"},
                                         Complete::Parameters::Context{{{"x", "1"}, {"y", "2"}}}},
                    "Complete.Parameters");
    expectRoundTrip(Complete::Result{{{"a", "b"}, 10, true}, meta()}, "Complete.Result");
    for (LogLevel level : kAllLogLevels) {
        expectRoundTrip(SetLoggingLevel::Parameters{level}, std::string(rawValue(level)));
    }
    expectRoundTrip(LogMessageNotification::Parameters{LogLevel::critical, "export",
                                                       Value::object({{"frames", 3}})},
                    "LogMessageNotification.Parameters");
    expectRoundTrip(Message<LogMessageNotification>{"notifications/message", {LogLevel::info}},
                    "Message<LogMessageNotification>");
}

TEST(ContentMessages, EveryElicitationAndRootsMessageDecodesBackToAnEqualValue) {
    Elicitation::RequestSchema schema{"Title", "Description",
                                      Object{{"name", Value::object({{"type", "string"}})}},
                                      std::vector<std::string>{"name"}};
    expectRoundTrip(CreateElicitation::Parameters(
                        CreateElicitation::FormParameters{"Who?", std::nullopt, schema, meta()}),
                    "form without mode");
    expectRoundTrip(CreateElicitation::Parameters(CreateElicitation::FormParameters{
                        "Who?", Elicitation::Mode::form, Elicitation::RequestSchema{}}),
                    "form with mode");
    expectRoundTrip(CreateElicitation::Parameters(CreateElicitation::URLParameters::make(
                        "Sign in", "https://x", "e1", meta())),
                    "url");
    expectRoundTrip(CreateElicitation::Result{CreateElicitation::Result::Action::accept,
                                              Object{{"name", "Ada"}}, meta()},
                    "CreateElicitation.Result");
    expectRoundTrip(ElicitationCompleteNotification::Parameters{"e1"}, "complete notification");
    expectRoundTrip(Root{"file:///a", "", meta()}, "Root");
    expectRoundTrip(ListRoots::Result{{Root{"b"}, Root{"a", "A"}}, meta()}, "ListRoots.Result");
    expectRoundTrip(makeRequest<ListRoots>(ID("x")), "Request<ListRoots>");
}

TEST(ContentMessages, EverySamplingMessageDecodesBackToAnEqualValue) {
    for (const Sampling::MessageBlock& block : allMessageBlocks()) {
        expectRoundTrip(Sampling::Message::user(block),
                        "message block " + std::string(block.tag()));
    }
    for (const Sampling::ToolResultBlock& block : allToolResultBlocks()) {
        expectRoundTrip(block, "tool result block " + std::string(block.tag()));
    }
    expectRoundTrip(Sampling::Message::assistant(std::vector<Sampling::MessageBlock>{}),
                    "empty list");
    expectRoundTrip(Sampling::Message::assistant(allMessageBlocks()), "list");
    expectRoundTrip(fullSamplingParameters(), "CreateSamplingMessage.Parameters");
    expectRoundTrip(CreateSamplingMessage::Parameters{.maxTokens = 1}, "minimal parameters");
    expectRoundTrip(CreateSamplingMessage::Result{"model-1", Sampling::StopReason("somethingNew"),
                                                  Sampling::Role::assistant, "Done.", meta()},
                    "CreateSamplingMessage.Result");
    using Mode = CreateSamplingMessage::ToolChoice::Mode;
    for (Mode mode : {Mode::automatic, Mode::required, Mode::none}) {
        expectRoundTrip(CreateSamplingMessage::ToolChoice{mode}, std::string(rawValue(mode)));
    }
    expectRoundTrip(makeRequest<CreateSamplingMessage>(ID(1), fullSamplingParameters()),
                    "Request<CreateSamplingMessage>");
}

TEST(ContentMessages, EveryPromptAndResourceMessageDecodesBackToAnEqualValue) {
    for (const PromptContent& content : allPromptContent()) {
        expectRoundTrip(Prompt::Message::assistant(content),
                        "prompt block " + std::string(content.tag()));
    }
    Prompt prompt{"p",
                  "P",
                  "d",
                  std::vector<Prompt::Argument>{{"a", "A", "first", false}, {"b"}},
                  std::vector<Icon>{},
                  meta()};
    expectRoundTrip(prompt, "Prompt");
    expectRoundTrip(ListPrompts::Result{{prompt, Prompt{"q"}}, "c", meta()}, "ListPrompts.Result");
    expectRoundTrip(GetPrompt::Parameters{"p", std::map<std::string, std::string>{{"x", "y"}}},
                    "GetPrompt.Parameters");
    expectRoundTrip(GetPrompt::Result{"d", {Prompt::Message::user("hi")}, meta()},
                    "GetPrompt.Result");
    expectRoundTrip(fullResourceContent(), "Resource.Content");
    expectRoundTrip(fullAnnotations(), "Resource.Annotations");
    Resource resource{"n",
                      "T",
                      "u",
                      "d",
                      "image/png",
                      1 << 20,
                      fullAnnotations(),
                      std::vector{Icon{.src = "s"}},
                      meta()};
    expectRoundTrip(resource, "Resource");
    Resource::Template resourceTemplate{
        "file:///{path}",    "files", "Files", "d", "text/plain", fullAnnotations(),
        std::vector<Icon>{}, meta()};
    expectRoundTrip(resourceTemplate, "Resource.Template");
    expectRoundTrip(ListResources::Result{{resource}, "n", meta()}, "ListResources.Result");
    expectRoundTrip(ReadResource::Result{{fullResourceContent(), {"v"}}, meta()},
                    "ReadResource.Result");
    expectRoundTrip(ListResourceTemplates::Result{{resourceTemplate}, "n", meta()},
                    "ListResourceTemplates.Result");
    expectRoundTrip(makeRequest<ResourceSubscribe>(ID(2), {"u"}), "Request<ResourceSubscribe>");
    expectRoundTrip(Message<ResourceUpdatedNotification>{"notifications/resources/updated", {"u"}},
                    "Message<ResourceUpdatedNotification>");
}

// Pairs of values that the wire tells apart must differ; pairs it does not must be equal and hash
// alike.
TEST(ContentMessages, EqualityFollowsWhatTheWireTellsApart) {
    Tool withIcons{.name = "t", .icons = std::vector<Icon>{}};
    EXPECT_NE(withIcons, Tool{.name = "t"});
    EXPECT_NE((Tool{.name = "t", .annotations = {.readOnlyHint = false}}), Tool{.name = "t"});

    EXPECT_NE(ToolContent::text("a", meta()), ToolContent::text("a"));
    EXPECT_NE((ToolContent(AnnotatedText{"a", ResourceAnnotations{}})), ToolContent::text("a"));
    EXPECT_NE(ToolContent::image("d", "m"), ToolContent::audio("d", "m"));
    EXPECT_NE((CallTool::Result{{}, std::nullopt, false}), (CallTool::Result{}));
    EXPECT_NE((CallTool::Parameters{.name = "t", .arguments = Object{}}),
              (CallTool::Parameters{.name = "t"}));

    const Sampling::MessageBlock block = TextContent{"hi"};
    EXPECT_EQ(std::hash<Sampling::MessageBlock>{}(block),
              std::hash<Sampling::MessageBlock>{}(Sampling::MessageBlock(TextContent{"hi"})));
    EXPECT_NE(Sampling::MessageContent(block),
              Sampling::MessageContent(std::vector<Sampling::MessageBlock>{block}));
    EXPECT_NE((PromptArgument{"a", std::nullopt, std::nullopt, false}), PromptArgument{"a"});
    EXPECT_NE((Root{"u", ""}), Root{"u"});
    using Audience = ResourceAnnotations::Audience;
    const ResourceAnnotations userFirst{std::vector{Audience::user, Audience::assistant}};
    const ResourceAnnotations assistantFirst{std::vector{Audience::assistant, Audience::user}};
    EXPECT_NE(userFirst, assistantFirst);
    EXPECT_NE(ResourceAnnotations{std::vector<Audience>{}}, ResourceAnnotations());
    EXPECT_NE(CompletionReference(PromptReference{"x"}),
              CompletionReference(ResourceReference{"x"}));

    // Equal pairs: member order in objects, 0.0 and -0.0, canonically equivalent texts.
    Tool a = fullTool();
    Tool b = fullTool();
    b.inputSchema = parseJson(R"({"properties":{},"type":"object"})");
    a.inputSchema = parseJson(R"({"type":"object","properties":{}})");
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<Tool>{}(a), std::hash<Tool>{}(b));
    ResourceAnnotations zero{std::nullopt, 0.0};
    ResourceAnnotations negativeZero{std::nullopt, -0.0};
    EXPECT_EQ(zero, negativeZero);
    EXPECT_EQ(std::hash<ResourceAnnotations>{}(zero),
              std::hash<ResourceAnnotations>{}(negativeZero));
    Root composed{"file:///caf\u00e9"};
    Root decomposed{"file:///cafe\u0301"};
    EXPECT_EQ(composed, decomposed);
    EXPECT_EQ(std::hash<Root>{}(composed), std::hash<Root>{}(decomposed));
    Complete::Parameters::Context first{{{"a", "1"}, {"b", "2"}}};
    Complete::Parameters::Context second{{{"b", "2"}, {"a", "1"}}};
    EXPECT_EQ(codingHash(first), codingHash(second));
    EXPECT_EQ(Sampling::StopReason("endTurn"), Sampling::StopReason::endTurn());
}

// Texts that happen to be data URLs are user text: they pass through exactly as they came.
TEST(ContentMessages, TextsThatLookLikeDataURLsAreWrittenBackUnchanged) {
    for (const char* text : {R"({"text":"data:,hello","type":"text"})",
                             R"({"text":"data:text/plain;base64,aGk=","type":"text"})",
                             R"({"text":"data:;charset=utf-8,a%20b","type":"text"})"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(toJson(encodeValue(decodeValue<ToolContent>(parseJson(text)))), text);
        EXPECT_EQ(toJson(encodeValue(decodeValue<PromptContent>(parseJson(text)))), text);
    }
    ToolContent built = ToolContent::text("data:,hello");
    EXPECT_EQ(toJson(encodeValue(built)), R"({"text":"data:,hello","type":"text"})");
    EXPECT_EQ(decodeValue<ToolContent>(encodeValue(built)), built);
}

TEST(ContentMessages, ToolChoiceReadsAMissingModeAsAutomatic) {
    using ToolChoice = CreateSamplingMessage::ToolChoice;
    EXPECT_EQ(toJson(encodeValue(ToolChoice{})), "{}");
    EXPECT_EQ(toJson(encodeValue(ToolChoice{ToolChoice::Mode::automatic})), "{}");
    EXPECT_EQ(decodeValue<ToolChoice>(parseJson("{}")).mode, ToolChoice::Mode::automatic);
    EXPECT_EQ(decodeValue<ToolChoice>(parseJson(R"({"mode":null})")).mode,
              ToolChoice::Mode::automatic);
}

TEST(ContentMessages, AToolWithoutHintsWritesNoAnnotations) {
    Tool tool{.name = "n", .inputSchema = Value::object({{"type", "object"}})};
    EXPECT_TRUE(tool.annotations.isEmpty());
    EXPECT_EQ(toJson(encodeValue(tool)),
              R"({"description":null,"inputSchema":{"type":"object"},"name":"n"})");
    tool.annotations.readOnlyHint = false;
    EXPECT_FALSE(tool.annotations.isEmpty());
    EXPECT_EQ(toJson(encodeValue(tool)),
              R"({"annotations":{"readOnlyHint":false},"description":null,)"
              R"("inputSchema":{"type":"object"},"name":"n"})");
    EXPECT_EQ(toJson(encodeValue(ToolAnnotations{})), "{}");
}

TEST(ContentMessages, ConveniencesBuildTheBlocksTheyName) {
    Sampling::MessageContent literal = "hi";
    ASSERT_TRUE(literal.isSingle());
    EXPECT_EQ(toJson(encodeValue(literal)), R"({"text":"hi","type":"text"})");
    EXPECT_EQ(literal.blocks().size(), 1u);
    EXPECT_TRUE(Sampling::MessageContent(std::vector<Sampling::MessageBlock>{}).blocks().empty());
    EXPECT_EQ(toJson(encodeValue(Sampling::MessageContent::image("AA==", "image/png"))),
              R"({"data":"AA==","mimeType":"image/png","type":"image"})");
    EXPECT_EQ(toJson(encodeValue(Sampling::Message::assistant("ok"))),
              R"({"content":{"text":"ok","type":"text"},"role":"assistant"})");

    PromptContent prompt = "hi";
    EXPECT_EQ(toJson(encodeValue(prompt)), R"({"text":"hi","type":"text"})");
    EXPECT_EQ(toJson(encodeValue(Prompt::Message::user(prompt))),
              R"({"content":{"text":"hi","type":"text"},"role":"user"})");

    EXPECT_EQ(toJson(encodeValue(ToolContent::text("hi"))), R"({"text":"hi","type":"text"})");
    EXPECT_EQ(toJson(encodeValue(ToolContent::audio("x", "audio/wav", meta()))),
              R"({"_meta":{"k":[1,"two"]},"data":"x","mimeType":"audio/wav","type":"audio"})");

    EXPECT_EQ(toJson(encodeValue(CreateElicitation::Parameters(
                  CreateElicitation::URLParameters::make("m", "https://x/a", "e")))),
              R"({"elicitationId":"e","message":"m","mode":"url","url":"https://x/a"})");

    EXPECT_EQ(toJson(encodeValue(Resource{.name = "n", .uri = "u"})), R"({"name":"n","uri":"u"})");
    EXPECT_EQ(toJson(encodeValue(Resource::Template{.uriTemplate = "t", .name = "n"})),
              R"({"name":"n","uriTemplate":"t"})");
    EXPECT_EQ(toJson(encodeValue(ListResources::Parameters{})), "{}");
}

TEST(ContentMessages, ResourceContentsFromBytesKeepTheirBase64Text) {
    const std::vector<std::uint8_t> none;
    ResourceContent empty = ResourceContent::fromBytes(none, "u");
    ASSERT_TRUE(empty.blob.has_value());
    EXPECT_EQ(*empty.blob, "");
    EXPECT_FALSE(empty.text.has_value());
    EXPECT_EQ(toJson(encodeValue(empty)), R"({"blob":"","uri":"u"})");

    const std::vector<std::uint8_t> bytes{0, 1, 2, 0xff};
    ResourceContent content = ResourceContent::fromBytes(bytes, "u", "application/octet-stream");
    EXPECT_EQ(content.blob, "AAEC/w==");
    EXPECT_EQ(content.mimeType, "application/octet-stream");

    ResourceContent text =
        ResourceContent::fromText("hello", "file:///h.txt", "text/plain", meta());
    EXPECT_EQ(text.text, "hello");
    EXPECT_FALSE(text.blob.has_value());
    EXPECT_EQ(text._meta, meta());
}

TEST(ContentMessages, CallToolResultConvertsStructuredContent) {
    // A record becomes the object it encodes to.
    CallTool::Result fromRecord =
        CallTool::Result::withStructuredContent({ToolContent::text("{}")}, Root{"file:///a", "A"});
    EXPECT_EQ(fromRecord.structuredContent, Value::object({{"uri", "file:///a"}, {"name", "A"}}));
    EXPECT_FALSE(fromRecord.isError.has_value());

    // A Value is stored unchanged, the data case included.
    Value data = Value::data({1, 2, 3});
    CallTool::Result fromValue = CallTool::Result::withStructuredContent({}, data, true);
    EXPECT_EQ(fromValue.structuredContent, data);
    EXPECT_EQ(fromValue.isError, true);

    // A text that is a data URL becomes what reading its JSON gives: the data case.
    CallTool::Result fromText =
        CallTool::Result::withStructuredContent({}, std::string("data:text/plain;base64,aGk="));
    ASSERT_TRUE(fromText.structuredContent.has_value());
    EXPECT_NE(fromText.structuredContent->dataValue(), nullptr);

    // What JSON cannot carry is refused, and no result is made.
    std::vector<double> numbers{1.0, std::nan("")};
    EXPECT_THROW(CallTool::Result::withStructuredContent({}, numbers), EncodingError);
    Resource::Annotations infinite{std::nullopt, std::numeric_limits<double>::infinity()};
    EXPECT_THROW(CallTool::Result::withStructuredContent({}, infinite), EncodingError);
}

TEST(ContentMessages, RawValuesMatchExactly) {
    EXPECT_EQ(kAllLogLevels.size(), 8u);
    EXPECT_EQ(kAllLogLevels.front(), LogLevel::debug);
    EXPECT_EQ(kAllLogLevels.back(), LogLevel::emergency);
    EXPECT_EQ(rawValue(LogLevel::warning), "warning");
    EXPECT_EQ(fromRawValue<LogLevel>("emergency"), LogLevel::emergency);
    EXPECT_FALSE(fromRawValue<LogLevel>("Warning").has_value());
    EXPECT_FALSE(fromRawValue<LogLevel>("").has_value());
    EXPECT_EQ(fromRawValue<Sampling::Role>("assistant"), Sampling::Role::assistant);
    EXPECT_FALSE(fromRawValue<Prompt::Message::Role>("system").has_value());
    EXPECT_EQ(rawValue(Sampling::ContextInclusion::thisServer), "thisServer");
    EXPECT_EQ(rawValue(CreateSamplingMessage::ToolChoice::Mode::automatic), "auto");
    EXPECT_EQ(Sampling::StopReason("custom").rawValue(), "custom");
}

}  // namespace
}  // namespace mcp
