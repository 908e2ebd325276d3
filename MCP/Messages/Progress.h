// ProgressNotification: "notifications/progress", reporting the progress of a long request
// identified by its progress token. "progressToken" and "progress" are required; "total" and
// "message" are written only when present. A plain value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "MCP/JSON/Record.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/ProgressToken.h"

namespace mcp {

struct ProgressNotification : Fieldless {
    static constexpr std::string_view name = "notifications/progress";

    struct Parameters {
        ProgressToken progressToken{};
        double progress = 0;
        std::optional<double> total{};
        std::optional<std::string> message{};

        static constexpr auto codingFields() {
            return std::tuple{field("progressToken", &Parameters::progressToken),
                              field("progress", &Parameters::progress),
                              optionalField("total", &Parameters::total),
                              optionalField("message", &Parameters::message)};
        }
    };
};

}  // namespace mcp
