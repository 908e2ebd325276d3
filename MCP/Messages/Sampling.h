// The conversation model of MCP sampling: the messages a server hands to the client's language
// model in "sampling/createMessage" (MCP/SamplingRequest.h) and the content the model answers
// with. Everything lives in the namespace Sampling.
//
//   Sampling::Message            {"role": "user" | "assistant", "content", "_meta"?}
//   Sampling::Message::Content   one block (a JSON object) or a list of blocks (a JSON array); an
//                                array of exactly one block reads as the single block
//   message blocks               "text" {"text"}, "image"/"audio" {"data", "mimeType"},
//                                "tool_use" {"id", "name", "input", "_meta"?},
//                                "tool_result" {"toolUseId", "content", "structuredContent"?,
//                                               "isError"?, "_meta"?}
//                                other types: "Unknown sampling message content block type"
//   tool-result blocks           "text", "image", "audio", "resource", "resource_link" (the shared
//                                block form of MCP/ContentBlocks.h); other types: "Unknown tool
//                                result content block type"
//
// Text, image and audio blocks carry no annotations and no "_meta" here; received ones are
// ignored. Image and audio data stay the text received.
//
// Plain values: copy them freely and use them from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "MCP/JSON/ObjectCoding.h"
#include "MCP/JSON/Record.h"
#include "MCP/JSON/TaggedUnion.h"
#include "MCP/JSON/Value.h"
#include "MCP/Messages/ContentBlocks.h"
#include "MCP/Messages/Metadata.h"

namespace mcp::Sampling {

// Who speaks a message.
enum class Role { user, assistant };
constexpr auto rawValues(Role) {
    return RawValues<Role, 2>{"Role", {{{Role::user, "user"}, {Role::assistant, "assistant"}}}};
}

// One block of what a tool call gave back to the model.
struct ToolResultBlock : TaggedUnion<ToolResultBlock, TextContent, ImageContent, AudioContent,
                                     EmbeddedResource, ResourceLink> {
    using Text = TextContent;
    using Image = ImageContent;
    using Audio = AudioContent;
    using Resource = EmbeddedResource;
    using Link = ResourceLink;

    using TaggedUnion::TaggedUnion;

    static constexpr TagTable<5> tagTable{"type",
                                          {"text", "image", "audio", "resource", "resource_link"},
                                          "Unknown tool result content block type"};
};

// A tool call made by the model.
struct ToolUseContent {
    std::string id{};
    std::string name{};
    Object input{};
    std::optional<Metadata> _meta{};

    static constexpr auto codingFields() {
        return std::tuple{field("id", &ToolUseContent::id), field("name", &ToolUseContent::name),
                          field("input", &ToolUseContent::input),
                          optionalField("_meta", &ToolUseContent::_meta)};
    }
};

// The result of such a call, handed back to the model. "content" is always an array.
struct ToolResultContent {
    using ContentBlock = ToolResultBlock;

    std::string toolUseId{};
    std::vector<ContentBlock> content{};
    std::optional<Object> structuredContent{};
    std::optional<bool> isError{};
    std::optional<Metadata> _meta{};

    static constexpr auto codingFields() {
        return std::tuple{field("toolUseId", &ToolResultContent::toolUseId),
                          field("content", &ToolResultContent::content),
                          optionalField("structuredContent", &ToolResultContent::structuredContent),
                          optionalField("isError", &ToolResultContent::isError),
                          optionalField("_meta", &ToolResultContent::_meta)};
    }
};

// One block of a sampling message.
struct MessageBlock : TaggedUnion<MessageBlock, TextContent, ImageContent, AudioContent,
                                  ToolUseContent, ToolResultContent> {
    using Text = TextContent;
    using Image = ImageContent;
    using Audio = AudioContent;
    using ToolUse = ToolUseContent;
    using ToolResult = ToolResultContent;

    using TaggedUnion::TaggedUnion;

    static constexpr TagTable<5> tagTable{"type",
                                          {"text", "image", "audio", "tool_use", "tool_result"},
                                          "Unknown sampling message content block type"};
};

// The content of a message: one block (case 0) or a list of blocks (case 1).
class MessageContent {
public:
    using ContentBlock = MessageBlock;

    MessageContent() = default;
    MessageContent(ContentBlock block) : storage_(std::in_place_index<0>, std::move(block)) {}
    MessageContent(std::vector<ContentBlock> blocks)
        : storage_(std::in_place_index<1>, std::move(blocks)) {}
    // A single text block.
    MessageContent(std::string text) : MessageContent(ContentBlock(TextContent{std::move(text)})) {}
    MessageContent(const char* text) : MessageContent(std::string(text)) {}

    static MessageContent text(std::string text) { return MessageContent(std::move(text)); }
    static MessageContent image(std::string data, std::string mimeType) {
        return ContentBlock(ImageContent{std::move(data), std::move(mimeType)});
    }
    static MessageContent audio(std::string data, std::string mimeType) {
        return ContentBlock(AudioContent{std::move(data), std::move(mimeType)});
    }

    bool isSingle() const noexcept { return storage_.index() == 0; }
    const ContentBlock* single() const noexcept { return std::get_if<0>(&storage_); }
    const std::vector<ContentBlock>* multiple() const noexcept { return std::get_if<1>(&storage_); }
    // The blocks as a list: a single block as a new one-element list.
    std::vector<ContentBlock> blocks() const;

    // A single block as its object, a list as an array (also of one block or of none).
    Value toValue() const;
    // An array reads as a list, or as a single block when it holds exactly one; when the array
    // does not decode, the value is read as one block and that failure is the one reported.
    static MessageContent fromValue(const Value& value);

    friend bool operator==(const MessageContent& a, const MessageContent& b);
    // The case number, then the block or the list.
    std::size_t hash() const;

private:
    std::variant<ContentBlock, std::vector<ContentBlock>> storage_;
};

struct Message {
    using Role = Sampling::Role;
    using Content = MessageContent;

    Role role{};
    Content content{};
    std::optional<Metadata> _meta{};

    static Message user(Content content, std::optional<Metadata> meta = std::nullopt) {
        return {Role::user, std::move(content), std::move(meta)};
    }
    static Message assistant(Content content, std::optional<Metadata> meta = std::nullopt) {
        return {Role::assistant, std::move(content), std::move(meta)};
    }

    static constexpr auto codingFields() {
        return std::tuple{field("role", &Message::role), field("content", &Message::content),
                          optionalField("_meta", &Message::_meta)};
    }
};

}  // namespace mcp::Sampling

template <>
struct std::hash<mcp::Sampling::MessageContent> {
    std::size_t operator()(const mcp::Sampling::MessageContent& content) const {
        return content.hash();
    }
};
