// The prompts family of MCP messages: the descriptor of a prompt template a server offers
// (Prompt, with its declared Prompt::Argument list), the messages a prompt expands to
// (Prompt::Message: a role and exactly one content block), the reference to a prompt by name that
// completion requests carry (Prompt::Reference), the requests "prompts/list" (ListPrompts, paged)
// and "prompts/get" (GetPrompt), and "notifications/prompts/list_changed".
//
//   Prompt            {"name", "title"?, "description"?, "arguments"?, "icons"?, "_meta"?}
//   Prompt::Argument  {"name", "title"?, "description"?, "required"?}
//   Prompt::Message   {"role", "content"}       content: one block object, never an array
//   Prompt::Reference {"type": "ref/prompt", "name", "title"?}  the tag is read but not compared
//   GetPrompt::Parameters {"name", "arguments"?}  arguments: an object of texts only
//   GetPrompt::Result     {"description"?, "messages", "_meta"?}
//
// Prompt content blocks ("text", "image", "audio", "resource", "resource_link") are the shared
// block form without annotations or "_meta" on text, image and audio; any other "type" fails with
// "Unknown content type".
//
// Plain values: copy them freely and use them from any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "MCP/JSON/Record.h"
#include "MCP/JSON/RecordHooks.h"
#include "MCP/JSON/TaggedUnion.h"
#include "MCP/Messages/ContentBlocks.h"
#include "MCP/Messages/CursorParameters.h"
#include "MCP/Messages/Icon.h"
#include "MCP/Messages/Metadata.h"
#include "MCP/Messages/Method.h"

namespace mcp {

// The content of a prompt message: exactly one block.
struct PromptContent : TaggedUnion<PromptContent, TextContent, ImageContent, AudioContent,
                                   EmbeddedResource, ResourceLink> {
    using Text = TextContent;
    using Image = ImageContent;
    using Audio = AudioContent;
    using Resource = EmbeddedResource;
    using Link = ResourceLink;

    using TaggedUnion::TaggedUnion;
    // A text block.
    PromptContent(std::string text) : TaggedUnion(TextContent{std::move(text)}) {}
    PromptContent(const char* text) : PromptContent(std::string(text)) {}

    static constexpr TagTable<5> tagTable{
        "type", {"text", "image", "audio", "resource", "resource_link"}, "Unknown content type"};
};

struct PromptMessage {
    // Who speaks a message (its own type, not the sampling role).
    enum class Role { user, assistant };
    friend constexpr auto rawValues(Role) {
        return RawValues<Role, 2>{"Role", {{{Role::user, "user"}, {Role::assistant, "assistant"}}}};
    }
    using Content = PromptContent;

    Role role{};
    Content content{};

    static PromptMessage user(Content content) { return {Role::user, std::move(content)}; }
    static PromptMessage assistant(Content content) {
        return {Role::assistant, std::move(content)};
    }

    static constexpr auto codingFields() {
        return std::tuple{field("role", &PromptMessage::role),
                          field("content", &PromptMessage::content)};
    }
};

struct PromptArgument {
    std::string name{};
    std::optional<std::string> title{};
    std::optional<std::string> description{};
    std::optional<bool> required{};

    static constexpr auto codingFields() {
        return std::tuple{field("name", &PromptArgument::name),
                          optionalField("title", &PromptArgument::title),
                          optionalField("description", &PromptArgument::description),
                          optionalField("required", &PromptArgument::required)};
    }
};

// A prompt named by a completion request (MCP/Completion.h). Written with "type": "ref/prompt";
// decoding requires "type" to be a text but leaves the choice of case to the caller.
struct PromptReference {
    static constexpr std::string_view kType = "ref/prompt";

    std::string name{};
    std::optional<std::string> title{};

    static constexpr auto codingFields() {
        return std::tuple{field("name", &PromptReference::name),
                          optionalField("title", &PromptReference::title)};
    }
    static void finishEncoding(const PromptReference&, std::vector<Object::Entry>& entries) {
        entries.emplace_back("type", Value(std::string(kType)));
    }
    static void checkDecoding(const Object& object) { requiredText(object, "type"); }
};

struct Prompt {
    using Argument = PromptArgument;
    using Message = PromptMessage;
    using Reference = PromptReference;

    std::string name{};
    std::optional<std::string> title{};
    std::optional<std::string> description{};
    std::optional<std::vector<Argument>> arguments{};
    std::optional<std::vector<Icon>> icons{};
    std::optional<Metadata> _meta{};

    static constexpr auto codingFields() {
        return std::tuple{field("name", &Prompt::name),
                          optionalField("title", &Prompt::title),
                          optionalField("description", &Prompt::description),
                          optionalField("arguments", &Prompt::arguments),
                          optionalField("icons", &Prompt::icons),
                          optionalField("_meta", &Prompt::_meta)};
    }
};

struct ListPrompts {
    using Parameters = CursorParameters;
    struct Result {
        std::vector<Prompt> prompts{};
        std::optional<std::string> nextCursor{};
        std::optional<Metadata> _meta{};

        static constexpr auto codingFields() {
            return std::tuple{field("prompts", &Result::prompts),
                              optionalField("nextCursor", &Result::nextCursor),
                              optionalField("_meta", &Result::_meta)};
        }
    };

    static constexpr std::string_view name = "prompts/list";
};

struct GetPrompt {
    struct Parameters {
        std::string name{};
        std::optional<std::map<std::string, std::string>> arguments{};

        static constexpr auto codingFields() {
            return std::tuple{field("name", &Parameters::name),
                              optionalField("arguments", &Parameters::arguments)};
        }
    };
    struct Result {
        std::optional<std::string> description{};
        std::vector<PromptMessage> messages{};
        std::optional<Metadata> _meta{};

        static constexpr auto codingFields() {
            return std::tuple{optionalField("description", &Result::description),
                              field("messages", &Result::messages),
                              optionalField("_meta", &Result::_meta)};
        }
    };

    static constexpr std::string_view name = "prompts/get";
};

struct PromptListChangedNotification : Fieldless {
    using Parameters = Empty;
    static constexpr std::string_view name = "notifications/prompts/list_changed";
};

}  // namespace mcp
