// The roots family of MCP messages: Root (one location the client exposes, a URI with an optional
// display name), the request "roots/list" (ListRoots) by which a server asks the client for its
// roots, and the notification "notifications/roots/list_changed" (RootsListChangedNotification).
//
//   Root               {"uri", "name"?, "_meta"?}   the URI kept exactly as received
//   ListRoots          parameters Empty; result {"roots", "_meta"?}, never paged
//
// Plain values: copy them freely and use them from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/Record.h"
#include "MCP/Messages/Metadata.h"
#include "MCP/Messages/Method.h"

namespace mcp {

struct Root {
    std::string uri{};
    std::optional<std::string> name{};
    std::optional<Metadata> _meta{};

    static constexpr auto codingFields() {
        return std::tuple{field("uri", &Root::uri), optionalField("name", &Root::name),
                          optionalField("_meta", &Root::_meta)};
    }
};

struct ListRoots {
    using Parameters = Empty;
    struct Result {
        std::vector<Root> roots{};
        std::optional<Metadata> _meta{};

        static constexpr auto codingFields() {
            return std::tuple{field("roots", &Result::roots),
                              optionalField("_meta", &Result::_meta)};
        }
    };

    static constexpr std::string_view name = "roots/list";
};

struct RootsListChangedNotification : Fieldless {
    using Parameters = Empty;
    static constexpr std::string_view name = "notifications/roots/list_changed";
};

}  // namespace mcp
