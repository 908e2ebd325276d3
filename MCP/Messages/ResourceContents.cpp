// Building resource contents from text or from bytes.
#include "MCP/Messages/ResourceContents.h"

#include <utility>

#include "MCP/JSON/DataURL.h"

namespace mcp {

ResourceContent ResourceContent::fromText(std::string text, std::string uri,
                                          std::optional<std::string> mimeType,
                                          std::optional<Metadata> meta) {
    ResourceContent content;
    content.uri = std::move(uri);
    content.mimeType = std::move(mimeType);
    content.text = std::move(text);
    content._meta = std::move(meta);
    return content;
}

ResourceContent ResourceContent::fromBytes(std::span<const std::uint8_t> bytes, std::string uri,
                                           std::optional<std::string> mimeType,
                                           std::optional<Metadata> meta) {
    ResourceContent content;
    content.uri = std::move(uri);
    content.mimeType = std::move(mimeType);
    content.blob = base64Encode(bytes);
    content._meta = std::move(meta);
    return content;
}

}  // namespace mcp
