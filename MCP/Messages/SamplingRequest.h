// The request "sampling/createMessage" (CreateSamplingMessage), by which a server asks the client
// to run a language model over a conversation and return one reply, with the values that steer the
// model: model preferences, the context-inclusion choice, stop reasons and the tool choice.
//
//   CreateSamplingMessage::Parameters {"messages", "modelPreferences"?, "systemPrompt"?,
//       "includeContext"?, "temperature"?, "maxTokens", "stopSequences"?, "_meta"?, "tools"?,
//       "toolChoice"?, "metadata"?}            ("metadata" is a free object, apart from "_meta")
//   CreateSamplingMessage::Result     {"model", "stopReason"?, "role", "content", "_meta"?}
//   Sampling::ModelPreferences        {"hints"?, "costPriority"?, "speedPriority"?,
//                                      "intelligencePriority"?}   priorities within 0...1
//   CreateSamplingMessage::ToolChoice {"mode"?}: a missing mode reads as "auto", and "auto" is
//                                      written as {} (only "required" and "none" are written)
//   Sampling::StopReason              any text: "endTurn", "stopSequence", "maxTokens", "toolUse"
//                                      or another one, kept as it is
//
// Nothing here chooses a model, checks a token budget or validates the conversation.
//
// Plain values: copy them freely and use them from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "MCP/JSON/ObjectCoding.h"
#include "MCP/JSON/Record.h"
#include "MCP/JSON/RecordHooks.h"
#include "MCP/Messages/Metadata.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/Sampling.h"
#include "MCP/Messages/Tool.h"
#include "MCP/Messages/UnitInterval.h"

namespace mcp {

namespace Sampling {

// Which servers' context the client should add to the prompt.
enum class ContextInclusion { none, thisServer, allServers };
constexpr auto rawValues(ContextInclusion) {
    return RawValues<ContextInclusion, 3>{"ContextInclusion",
                                          {{{ContextInclusion::none, "none"},
                                            {ContextInclusion::thisServer, "thisServer"},
                                            {ContextInclusion::allServers, "allServers"}}}};
}

// Why the model stopped: an open set of texts, any of which decodes and is kept unchanged.
class StopReason {
public:
    StopReason() = default;
    StopReason(std::string rawValue) : rawValue_(std::move(rawValue)) {}
    StopReason(const char* rawValue) : rawValue_(rawValue) {}

    static StopReason endTurn() { return StopReason("endTurn"); }
    static StopReason stopSequence() { return StopReason("stopSequence"); }
    static StopReason maxTokens() { return StopReason("maxTokens"); }
    static StopReason toolUse() { return StopReason("toolUse"); }

    const std::string& rawValue() const noexcept { return rawValue_; }

    Value toValue() const { return encodeValue(rawValue_); }
    // Throws DecodingError when the value is no text.
    static StopReason fromValue(const Value& value) {
        return StopReason(decodeValue<std::string>(value));
    }

    friend bool operator==(const StopReason& a, const StopReason& b) {
        return textEquals(a.rawValue_, b.rawValue_);
    }
    std::size_t hash() const noexcept { return textHash(rawValue_); }

private:
    std::string rawValue_;
};

struct ModelPreferences {
    struct Hint {
        std::optional<std::string> name{};

        static constexpr auto codingFields() {
            return std::tuple{optionalField("name", &Hint::name)};
        }
    };

    std::optional<std::vector<Hint>> hints{};
    std::optional<UnitInterval> costPriority{};
    std::optional<UnitInterval> speedPriority{};
    std::optional<UnitInterval> intelligencePriority{};

    static constexpr auto codingFields() {
        return std::tuple{
            optionalField("hints", &ModelPreferences::hints),
            optionalField("costPriority", &ModelPreferences::costPriority),
            optionalField("speedPriority", &ModelPreferences::speedPriority),
            optionalField("intelligencePriority", &ModelPreferences::intelligencePriority)};
    }
};

}  // namespace Sampling

struct CreateSamplingMessage {
    struct ToolChoice {
        enum class Mode { automatic, required, none };
        friend constexpr auto rawValues(Mode) {
            return RawValues<Mode, 3>{
                "Mode",
                {{{Mode::automatic, "auto"}, {Mode::required, "required"}, {Mode::none, "none"}}}};
        }

        // No default member initializer: clang cannot tell a nested type with one
        // default-constructible before the enclosing type is complete.
        std::optional<Mode> mode;

        static constexpr auto codingFields() {
            return std::tuple{defaultedField("mode", &ToolChoice::mode,
                                             [] { return std::optional<Mode>(Mode::automatic); })};
        }
        // "auto" and an absent mode are written as {}.
        static void finishEncoding(const ToolChoice& choice, std::vector<Object::Entry>& entries) {
            if (choice.mode != Mode::required && choice.mode != Mode::none) {
                eraseEntry(entries, "mode");
            }
        }
    };

    struct Parameters {
        std::vector<Sampling::Message> messages{};
        std::optional<Sampling::ModelPreferences> modelPreferences{};
        std::optional<std::string> systemPrompt{};
        std::optional<Sampling::ContextInclusion> includeContext{};
        std::optional<double> temperature{};
        std::int64_t maxTokens = 0;
        std::optional<std::vector<std::string>> stopSequences{};
        std::optional<Metadata> _meta{};
        std::optional<std::vector<Tool>> tools{};
        std::optional<ToolChoice> toolChoice{};
        std::optional<Object> metadata{};

        static constexpr auto codingFields() {
            return std::tuple{field("messages", &Parameters::messages),
                              optionalField("modelPreferences", &Parameters::modelPreferences),
                              optionalField("systemPrompt", &Parameters::systemPrompt),
                              optionalField("includeContext", &Parameters::includeContext),
                              optionalField("temperature", &Parameters::temperature),
                              field("maxTokens", &Parameters::maxTokens),
                              optionalField("stopSequences", &Parameters::stopSequences),
                              optionalField("_meta", &Parameters::_meta),
                              optionalField("tools", &Parameters::tools),
                              optionalField("toolChoice", &Parameters::toolChoice),
                              optionalField("metadata", &Parameters::metadata)};
        }
    };

    struct Result {
        std::string model{};
        std::optional<Sampling::StopReason> stopReason{};
        Sampling::Role role{};
        Sampling::MessageContent content{};
        std::optional<Metadata> _meta{};

        static constexpr auto codingFields() {
            return std::tuple{field("model", &Result::model),
                              optionalField("stopReason", &Result::stopReason),
                              field("role", &Result::role), field("content", &Result::content),
                              optionalField("_meta", &Result::_meta)};
        }
    };

    static constexpr std::string_view name = "sampling/createMessage";
};

}  // namespace mcp

template <>
struct std::hash<mcp::Sampling::StopReason> {
    std::size_t operator()(const mcp::Sampling::StopReason& reason) const noexcept {
        return reason.hash();
    }
};
