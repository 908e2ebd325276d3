// The contents of one resource and the advisory annotations that resources, templates and content
// blocks carry. Both are plain records (MCP/Record.h); they are also reachable under the resource
// descriptor's names, Resource::Content and Resource::Annotations (MCP/Resources.h).
//
// ResourceContent: {"uri", "mimeType"?, "text"?, "blob"?, "_meta"?}. Normally exactly one of
// text and blob is present, but neither is enforced: a value with both or neither codes as it is.
// The blob stays the Base64 text it was read as; nothing checks or decodes it here.
//
// ResourceAnnotations: {"audience"?, "priority"?, "lastModified"?}, every member optional; with
// all absent it is the empty object. The audience keeps its order; the priority has no range.
//
// Plain values: copy them freely and use them from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "MCP/JSON/Record.h"
#include "MCP/Messages/Metadata.h"

namespace mcp {

struct ResourceContent {
    std::string uri{};
    std::optional<std::string> mimeType{};
    std::optional<std::string> text{};
    std::optional<std::string> blob{};
    std::optional<Metadata> _meta{};

    // Contents that are text.
    static ResourceContent fromText(std::string text, std::string uri,
                                    std::optional<std::string> mimeType = std::nullopt,
                                    std::optional<Metadata> meta = std::nullopt);
    // Contents that are bytes, kept as their standard padded Base64 text (an empty buffer gives a
    // present, empty blob).
    static ResourceContent fromBytes(std::span<const std::uint8_t> bytes, std::string uri,
                                     std::optional<std::string> mimeType = std::nullopt,
                                     std::optional<Metadata> meta = std::nullopt);

    static constexpr auto codingFields() {
        return std::tuple{field("uri", &ResourceContent::uri),
                          optionalField("mimeType", &ResourceContent::mimeType),
                          optionalField("text", &ResourceContent::text),
                          optionalField("blob", &ResourceContent::blob),
                          optionalField("_meta", &ResourceContent::_meta)};
    }
};

struct ResourceAnnotations {
    // Who an item is meant for.
    enum class Audience { user, assistant };
    friend constexpr auto rawValues(Audience) {
        return RawValues<Audience, 2>{
            "Audience", {{{Audience::user, "user"}, {Audience::assistant, "assistant"}}}};
    }

    std::optional<std::vector<Audience>> audience{};
    std::optional<double> priority{};
    std::optional<std::string> lastModified{};

    static constexpr auto codingFields() {
        return std::tuple{optionalField("audience", &ResourceAnnotations::audience),
                          optionalField("priority", &ResourceAnnotations::priority),
                          optionalField("lastModified", &ResourceAnnotations::lastModified)};
    }
};

}  // namespace mcp
