// CursorParameters: the parameters of the paged list requests ("tools/list", "prompts/list",
// "resources/list", "resources/templates/list"): an optional opaque cursor, {"cursor"?}. The
// cursor comes from an earlier result's "nextCursor"; nothing here parses or builds it.
//
// A request may leave these parameters out ("params" missing or null): they then have no cursor.
// A present "params" that does not decode (a cursor that is no text) fails with its own error.
//
// A plain value: copy it freely and use it from any thread.
#pragma once

#include <optional>
#include <string>
#include <tuple>

#include "MCP/JSON/Record.h"

namespace mcp {

struct CursorParameters {
    static constexpr bool notRequired = true;

    std::optional<std::string> cursor{};

    static constexpr auto codingFields() {
        return std::tuple{optionalField("cursor", &CursorParameters::cursor)};
    }
};

}  // namespace mcp
