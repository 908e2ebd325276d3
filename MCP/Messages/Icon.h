// Icon: one icon of a client, a server, a tool, a prompt or a resource.
//
// JSON: {"src", "mimeType"?, "sizes"?, "theme"?}; "src" is required; a "theme" other than
// exactly "light" or "dark" fails decoding with dataCorrupted. A plain value.
#pragma once

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "MCP/JSON/Record.h"

namespace mcp {

struct Icon {
    enum class Theme { light, dark };
    friend constexpr auto rawValues(Theme) {
        return RawValues<Theme, 2>{"Theme", {{{Theme::light, "light"}, {Theme::dark, "dark"}}}};
    }

    std::string src;
    std::optional<std::string> mimeType{};
    std::optional<std::vector<std::string>> sizes{};
    std::optional<Theme> theme{};

    static constexpr auto codingFields() {
        return std::tuple{field("src", &Icon::src), optionalField("mimeType", &Icon::mimeType),
                          optionalField("sizes", &Icon::sizes),
                          optionalField("theme", &Icon::theme)};
    }
};

}  // namespace mcp
