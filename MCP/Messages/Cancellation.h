// CancelledNotification: "notifications/cancelled", with which either side withdraws a request
// it sent. Both parameters are optional and written only when present; decoding never fails for
// a missing one. A plain value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "MCP/JSON/Record.h"
#include "MCP/Messages/ID.h"
#include "MCP/Messages/Method.h"

namespace mcp {

struct CancelledNotification : Fieldless {
    static constexpr std::string_view name = "notifications/cancelled";

    struct Parameters {
        std::optional<ID> requestId{};
        std::optional<std::string> reason{};

        static constexpr auto codingFields() {
            return std::tuple{optionalField("requestId", &Parameters::requestId),
                              optionalField("reason", &Parameters::reason)};
        }
    };
};

}  // namespace mcp
