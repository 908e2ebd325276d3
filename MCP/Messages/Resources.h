// The resource family of MCP messages: the descriptor of a resource a server offers (Resource),
// of a parameterised family of resources (Resource::Template), the requests "resources/list",
// "resources/read", "resources/templates/list", "resources/subscribe" and
// "resources/unsubscribe", and the notifications "notifications/resources/list_changed" and
// "notifications/resources/updated".
//
//   Resource          {"name", "uri", "title"?, "description"?, "mimeType"?, "size"?,
//                      "annotations"?, "icons"?, "_meta"?}
//   Resource::Template {"uriTemplate", "name", "title"?, "description"?, "mimeType"?,
//                      "annotations"?, "icons"?, "_meta"?}
//   list results       the list ("resources", "resourceTemplates"), "nextCursor"?, "_meta"?
//   ReadResource::Result {"contents", "_meta"?}
//
// URIs and URI templates are plain texts: nothing here parses, expands or checks them. The two
// cursor parameter types may be left out of a request; the uri parameter types may not.
//
// Plain values: copy them freely and use them from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/Record.h"
#include "MCP/Messages/CursorParameters.h"
#include "MCP/Messages/Icon.h"
#include "MCP/Messages/Metadata.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/ResourceContents.h"

namespace mcp {

struct ResourceTemplate {
    std::string uriTemplate{};
    std::string name{};
    std::optional<std::string> title{};
    std::optional<std::string> description{};
    std::optional<std::string> mimeType{};
    std::optional<ResourceAnnotations> annotations{};
    std::optional<std::vector<Icon>> icons{};
    std::optional<Metadata> _meta{};

    static constexpr auto codingFields() {
        return std::tuple{field("uriTemplate", &ResourceTemplate::uriTemplate),
                          field("name", &ResourceTemplate::name),
                          optionalField("title", &ResourceTemplate::title),
                          optionalField("description", &ResourceTemplate::description),
                          optionalField("mimeType", &ResourceTemplate::mimeType),
                          optionalField("annotations", &ResourceTemplate::annotations),
                          optionalField("icons", &ResourceTemplate::icons),
                          optionalField("_meta", &ResourceTemplate::_meta)};
    }
};

struct Resource {
    using Content = ResourceContent;
    using Annotations = ResourceAnnotations;
    using Template = ResourceTemplate;

    std::string name{};
    std::optional<std::string> title{};
    std::string uri{};
    std::optional<std::string> description{};
    std::optional<std::string> mimeType{};
    std::optional<std::int64_t> size{};
    std::optional<Annotations> annotations{};
    std::optional<std::vector<Icon>> icons{};
    std::optional<Metadata> _meta{};

    static constexpr auto codingFields() {
        return std::tuple{field("name", &Resource::name),
                          optionalField("title", &Resource::title),
                          field("uri", &Resource::uri),
                          optionalField("description", &Resource::description),
                          optionalField("mimeType", &Resource::mimeType),
                          optionalField("size", &Resource::size),
                          optionalField("annotations", &Resource::annotations),
                          optionalField("icons", &Resource::icons),
                          optionalField("_meta", &Resource::_meta)};
    }
};

// Parameters naming one resource; a request must carry them.
struct ResourceURIParameters {
    std::string uri{};

    static constexpr auto codingFields() {
        return std::tuple{field("uri", &ResourceURIParameters::uri)};
    }
};

struct ListResources {
    using Parameters = CursorParameters;
    struct Result {
        std::vector<Resource> resources{};
        std::optional<std::string> nextCursor{};
        std::optional<Metadata> _meta{};

        static constexpr auto codingFields() {
            return std::tuple{field("resources", &Result::resources),
                              optionalField("nextCursor", &Result::nextCursor),
                              optionalField("_meta", &Result::_meta)};
        }
    };

    static constexpr std::string_view name = "resources/list";
};

struct ReadResource {
    using Parameters = ResourceURIParameters;
    struct Result {
        std::vector<ResourceContent> contents{};
        std::optional<Metadata> _meta{};

        static constexpr auto codingFields() {
            return std::tuple{field("contents", &Result::contents),
                              optionalField("_meta", &Result::_meta)};
        }
    };

    static constexpr std::string_view name = "resources/read";
};

struct ListResourceTemplates {
    using Parameters = CursorParameters;
    struct Result {
        std::vector<ResourceTemplate> templates{};
        std::optional<std::string> nextCursor{};
        std::optional<Metadata> _meta{};

        static constexpr auto codingFields() {
            return std::tuple{field("resourceTemplates", &Result::templates),
                              optionalField("nextCursor", &Result::nextCursor),
                              optionalField("_meta", &Result::_meta)};
        }
    };

    static constexpr std::string_view name = "resources/templates/list";
};

struct ResourceSubscribe {
    using Parameters = ResourceURIParameters;
    using Result = Empty;
    static constexpr std::string_view name = "resources/subscribe";
};

struct ResourceUnsubscribe {
    using Parameters = ResourceURIParameters;
    using Result = Empty;
    static constexpr std::string_view name = "resources/unsubscribe";
};

struct ResourceListChangedNotification : Fieldless {
    using Parameters = Empty;
    static constexpr std::string_view name = "notifications/resources/list_changed";
};

struct ResourceUpdatedNotification : Fieldless {
    using Parameters = ResourceURIParameters;
    static constexpr std::string_view name = "notifications/resources/updated";
};

}  // namespace mcp
