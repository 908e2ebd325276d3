// ServerCapabilities (Server::Capabilities): what a server announces in its "initialize" result.
// Each member is optional; a present member is the announcement, even with all its flags absent
// ({}), and an absent member is not written.
//
// JSON: {"completions"?, "logging"?, "prompts"?: {"listChanged"?}, "resources"?: {"subscribe"?,
// "listChanged"?}, "tools"?: {"listChanged"?}}. "completions" and "logging" are present for any
// JSON value but null, whatever it holds; the others must be objects whose flags are booleans.
// Other keys are ignored and not kept. A plain value.
#pragma once

#include <optional>
#include <tuple>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/Record.h"

namespace mcp {

struct ServerCapabilities {
    // Members of the nested types have no default member initializers: clang cannot tell such a
    // type default-constructible before the enclosing type is complete.
    // A capability that is announced by its presence alone.
    struct Completions : Fieldless {};
    struct Logging : Fieldless {};

    struct Prompts {
        std::optional<bool> listChanged;
        static constexpr auto codingFields() {
            return std::tuple{optionalField("listChanged", &Prompts::listChanged)};
        }
    };
    struct Resources {
        std::optional<bool> subscribe;
        std::optional<bool> listChanged;
        static constexpr auto codingFields() {
            return std::tuple{optionalField("subscribe", &Resources::subscribe),
                              optionalField("listChanged", &Resources::listChanged)};
        }
    };
    struct Tools {
        std::optional<bool> listChanged;
        static constexpr auto codingFields() {
            return std::tuple{optionalField("listChanged", &Tools::listChanged)};
        }
    };

    std::optional<Completions> completions{};
    std::optional<Logging> logging{};
    std::optional<Prompts> prompts{};
    std::optional<Resources> resources{};
    std::optional<Tools> tools{};

    static constexpr auto codingFields() {
        return std::tuple{optionalField("completions", &ServerCapabilities::completions),
                          optionalField("logging", &ServerCapabilities::logging),
                          optionalField("prompts", &ServerCapabilities::prompts),
                          optionalField("resources", &ServerCapabilities::resources),
                          optionalField("tools", &ServerCapabilities::tools)};
    }
};

}  // namespace mcp
