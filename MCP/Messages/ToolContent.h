// ToolContent (also Tool::Content): one block of what a tool call returns: text, an image, an
// audio clip, an embedded resource or a link to a resource. The "type"-tagged object it is
// written as is the content-block form that prompt and sampling messages share
// (MCP/ContentBlocks.h).
//
//   "text"          {"text", "annotations"?, "_meta"?}
//   "image"/"audio" {"data", "mimeType", "annotations"?, "_meta"?}
//   "resource"      {"resource", "annotations"?, "_meta"?}
//   "resource_link" {"uri", "name", "title"?, "description"?, "mimeType"?, "annotations"?}
//
// Any other "type" fails with dataCorrupted "Unknown tool content type" at the "type" key. Present
// but empty annotations are written as {} and differ from absent ones.
//
// Plain values: copy them freely and use them from any thread.
#pragma once

#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "MCP/JSON/Record.h"
#include "MCP/JSON/TaggedUnion.h"
#include "MCP/Messages/ContentBlocks.h"
#include "MCP/Messages/Metadata.h"
#include "MCP/Messages/ResourceContents.h"

namespace mcp {

struct AnnotatedText {
    std::string text{};
    std::optional<ResourceAnnotations> annotations{};
    std::optional<Metadata> _meta{};

    static constexpr auto codingFields() {
        return std::tuple{field("text", &AnnotatedText::text),
                          optionalField("annotations", &AnnotatedText::annotations),
                          optionalField("_meta", &AnnotatedText::_meta)};
    }
};

struct AnnotatedImage {
    std::string data{};
    std::string mimeType{};
    std::optional<ResourceAnnotations> annotations{};
    std::optional<Metadata> _meta{};

    static constexpr auto codingFields() {
        return std::tuple{field("data", &AnnotatedImage::data),
                          field("mimeType", &AnnotatedImage::mimeType),
                          optionalField("annotations", &AnnotatedImage::annotations),
                          optionalField("_meta", &AnnotatedImage::_meta)};
    }
};

struct AnnotatedAudio {
    std::string data{};
    std::string mimeType{};
    std::optional<ResourceAnnotations> annotations{};
    std::optional<Metadata> _meta{};

    static constexpr auto codingFields() {
        return std::tuple{field("data", &AnnotatedAudio::data),
                          field("mimeType", &AnnotatedAudio::mimeType),
                          optionalField("annotations", &AnnotatedAudio::annotations),
                          optionalField("_meta", &AnnotatedAudio::_meta)};
    }
};

struct ToolContent : TaggedUnion<ToolContent, AnnotatedText, AnnotatedImage, AnnotatedAudio,
                                 EmbeddedResource, ResourceLink> {
    using Text = AnnotatedText;
    using Image = AnnotatedImage;
    using Audio = AnnotatedAudio;
    using Resource = EmbeddedResource;
    using Link = ResourceLink;

    using TaggedUnion::TaggedUnion;

    static constexpr TagTable<5> tagTable{"type",
                                          {"text", "image", "audio", "resource", "resource_link"},
                                          "Unknown tool content type"};

    // Conveniences; each leaves the annotations absent.
    static ToolContent text(std::string text, std::optional<Metadata> meta = std::nullopt) {
        return AnnotatedText{std::move(text), std::nullopt, std::move(meta)};
    }
    static ToolContent image(std::string data, std::string mimeType,
                             std::optional<Metadata> meta = std::nullopt) {
        return AnnotatedImage{std::move(data), std::move(mimeType), std::nullopt, std::move(meta)};
    }
    static ToolContent audio(std::string data, std::string mimeType,
                             std::optional<Metadata> meta = std::nullopt) {
        return AnnotatedAudio{std::move(data), std::move(mimeType), std::nullopt, std::move(meta)};
    }
};

}  // namespace mcp
