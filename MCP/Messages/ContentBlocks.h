// The payloads of the "type"-tagged content blocks that tool results, prompt messages and sampling
// messages share. Each is a plain record (MCP/Record.h) holding a block's members without its tag;
// the unions that pick the case and write "type" are each family's own (MCP/ToolContent.h,
// MCP/Prompts.h, MCP/Sampling.h), because each family has its own cases and its own text for an
// unknown tag.
//
//   TextContent      {"text"}                      plain text, no annotations, no "_meta"
//   ImageContent     {"data", "mimeType"}          data kept as received, never decoded here
//   AudioContent     {"data", "mimeType"}
//   EmbeddedResource {"resource", "annotations"?, "_meta"?}
//   ResourceLink     {"uri", "name", "title"?, "description"?, "mimeType"?, "annotations"?}
//                    (no "_meta": a received one is ignored)
//
// Plain values: copy them freely and use them from any thread.
#pragma once

#include <optional>
#include <string>
#include <tuple>

#include "MCP/JSON/Record.h"
#include "MCP/Messages/Metadata.h"
#include "MCP/Messages/ResourceContents.h"

namespace mcp {

struct TextContent {
    std::string text{};

    static constexpr auto codingFields() { return std::tuple{field("text", &TextContent::text)}; }
};

struct ImageContent {
    std::string data{};
    std::string mimeType{};

    static constexpr auto codingFields() {
        return std::tuple{field("data", &ImageContent::data),
                          field("mimeType", &ImageContent::mimeType)};
    }
};

struct AudioContent {
    std::string data{};
    std::string mimeType{};

    static constexpr auto codingFields() {
        return std::tuple{field("data", &AudioContent::data),
                          field("mimeType", &AudioContent::mimeType)};
    }
};

struct EmbeddedResource {
    ResourceContent resource{};
    std::optional<ResourceAnnotations> annotations{};
    std::optional<Metadata> _meta{};

    static constexpr auto codingFields() {
        return std::tuple{field("resource", &EmbeddedResource::resource),
                          optionalField("annotations", &EmbeddedResource::annotations),
                          optionalField("_meta", &EmbeddedResource::_meta)};
    }
};

struct ResourceLink {
    std::string uri{};
    std::string name{};
    std::optional<std::string> title{};
    std::optional<std::string> description{};
    std::optional<std::string> mimeType{};
    std::optional<ResourceAnnotations> annotations{};

    static constexpr auto codingFields() {
        return std::tuple{field("uri", &ResourceLink::uri),
                          field("name", &ResourceLink::name),
                          optionalField("title", &ResourceLink::title),
                          optionalField("description", &ResourceLink::description),
                          optionalField("mimeType", &ResourceLink::mimeType),
                          optionalField("annotations", &ResourceLink::annotations)};
    }
};

}  // namespace mcp
