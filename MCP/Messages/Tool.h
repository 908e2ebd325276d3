// Tool: the description of one tool a server offers: the name it is called by, a title and a
// description for people, the JSON Schema of its input (and optionally of its structured output),
// icons, free-form "_meta" and behaviour hints (Tool::Annotations). Carried by "tools/list"
// results (MCP/Tools.h) and by the tool list of a sampling request (MCP/SamplingRequest.h).
//
// Wire form: "name" and "inputSchema" always; "description" always, as null when absent (the one
// optional member written as null); "title", "outputSchema", "icons", "_meta" only when present;
// "annotations" only when at least one hint is present. On reading, missing or null
// "annotations" give the empty annotations; schemas may be any JSON value, null included.
//
// Plain values: copy them freely and use them from any thread.
#pragma once

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "MCP/JSON/Record.h"
#include "MCP/JSON/RecordHooks.h"
#include "MCP/JSON/Value.h"
#include "MCP/Messages/Icon.h"
#include "MCP/Messages/Metadata.h"

namespace mcp {

struct ToolContent;

// Behaviour hints of a tool. Each hint is absent, false or true; absent is never filled in.
// The value-initialised annotations (all absent) are the empty value a tool without hints holds.
struct ToolAnnotations {
    std::optional<std::string> title{};
    std::optional<bool> destructiveHint{};
    std::optional<bool> idempotentHint{};
    std::optional<bool> openWorldHint{};
    std::optional<bool> readOnlyHint{};

    bool isEmpty() const noexcept {
        return !title && !destructiveHint && !idempotentHint && !openWorldHint && !readOnlyHint;
    }

    static constexpr auto codingFields() {
        return std::tuple{optionalField("title", &ToolAnnotations::title),
                          optionalField("destructiveHint", &ToolAnnotations::destructiveHint),
                          optionalField("idempotentHint", &ToolAnnotations::idempotentHint),
                          optionalField("openWorldHint", &ToolAnnotations::openWorldHint),
                          optionalField("readOnlyHint", &ToolAnnotations::readOnlyHint)};
    }
};

struct Tool {
    using Annotations = ToolAnnotations;
    using Content = ToolContent;  // MCP/ToolContent.h

    std::string name{};
    std::optional<std::string> title{};
    std::optional<std::string> description{};
    Value inputSchema{};
    std::optional<std::vector<Icon>> icons{};
    std::optional<Value> outputSchema{};
    std::optional<Metadata> _meta{};
    Annotations annotations{};

    static constexpr auto codingFields() {
        return std::tuple{field("name", &Tool::name),
                          optionalField("title", &Tool::title),
                          nullableField("description", &Tool::description),
                          field("inputSchema", &Tool::inputSchema),
                          optionalField("icons", &Tool::icons),
                          optionalField("outputSchema", &Tool::outputSchema),
                          optionalField("_meta", &Tool::_meta),
                          defaultedField("annotations", &Tool::annotations)};
    }
    // Empty annotations are not written.
    static void finishEncoding(const Tool& tool, std::vector<Object::Entry>& entries) {
        if (tool.annotations.isEmpty()) {
            eraseEntry(entries, "annotations");
        }
    }
};

}  // namespace mcp
