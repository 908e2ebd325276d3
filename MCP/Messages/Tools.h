// The tool family of MCP messages: "tools/list" (ListTools, paged by an opaque cursor),
// "tools/call" (CallTool) and "notifications/tools/list_changed" (ToolListChangedNotification).
//
//   ListTools::Parameters  {"cursor"?}                       may be left out of a request
//   ListTools::Result      {"tools", "nextCursor"?, "_meta"?}
//   CallTool::Parameters   {"_meta"?, "name", "arguments"?}  must be present in a request
//   CallTool::Result       {"content", "structuredContent"?, "isError"?, "_meta"?}
//
// Optional members are written only when present and read as absent when missing or null; an
// absent isError stays absent. structuredContent may be any JSON value; arguments must be an
// object. A tool that runs and fails answers a normal result with isError true.
//
// Plain values: copy them freely and use them from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/ObjectCoding.h"
#include "MCP/JSON/Record.h"
#include "MCP/JSON/Value.h"
#include "MCP/Messages/CursorParameters.h"
#include "MCP/Messages/Metadata.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/Tool.h"
#include "MCP/Messages/ToolContent.h"

namespace mcp {

struct ListTools {
    using Parameters = CursorParameters;

    struct Result {
        std::vector<Tool> tools{};
        std::optional<std::string> nextCursor{};
        std::optional<Metadata> _meta{};

        static constexpr auto codingFields() {
            return std::tuple{field("tools", &Result::tools),
                              optionalField("nextCursor", &Result::nextCursor),
                              optionalField("_meta", &Result::_meta)};
        }
    };

    static constexpr std::string_view name = "tools/list";
};

struct CallTool {
    struct Parameters {
        std::optional<Metadata> _meta{};
        std::string name{};
        std::optional<Object> arguments{};

        static constexpr auto codingFields() {
            return std::tuple{optionalField("_meta", &Parameters::_meta),
                              field("name", &Parameters::name),
                              optionalField("arguments", &Parameters::arguments)};
        }
    };

    struct Result {
        std::vector<ToolContent> content{};
        std::optional<Value> structuredContent{};
        std::optional<bool> isError{};
        std::optional<Metadata> _meta{};

        // A result whose structured content is `structured` converted to a Value: a Value is
        // taken unchanged, anything else as the Value it encodes to (what writing it as JSON and
        // reading that back gives). Throws EncodingError (MCP/JsonWriter.h) when the value holds
        // something JSON cannot carry (a non-finite number); then no result is made.
        template <Codable T>
        static Result withStructuredContent(std::vector<ToolContent> content, const T& structured,
                                            std::optional<bool> isError = std::nullopt,
                                            std::optional<Metadata> meta = std::nullopt) {
            Value converted = encodeValue(structured);
            if constexpr (!std::is_same_v<T, Value>) {
                requireJsonRepresentable(converted);
            }
            return Result{std::move(content), std::move(converted), isError, std::move(meta)};
        }

        static constexpr auto codingFields() {
            return std::tuple{field("content", &Result::content),
                              optionalField("structuredContent", &Result::structuredContent),
                              optionalField("isError", &Result::isError),
                              optionalField("_meta", &Result::_meta)};
        }

    private:
        static void requireJsonRepresentable(const Value& value);
    };

    static constexpr std::string_view name = "tools/call";
};

struct ToolListChangedNotification : Fieldless {
    using Parameters = Empty;
    static constexpr std::string_view name = "notifications/tools/list_changed";
};

}  // namespace mcp
