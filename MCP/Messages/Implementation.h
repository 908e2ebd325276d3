// Implementation: who a client or a server is (Client::Info, Server::Info): a name and a version,
// with an optional title, description, website address and icons.
//
// JSON: {"name", "title"?, "version", "description"?, "websiteUrl"?, "icons"?}; "name" and
// "version" are required and always written, the others written only when present (an empty
// icon list is present and written as []). A plain value.
#pragma once

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "MCP/JSON/Record.h"
#include "MCP/Messages/Icon.h"

namespace mcp {

struct Implementation {
    std::string name;
    std::optional<std::string> title{};
    std::string version;
    std::optional<std::string> description{};
    std::optional<std::string> websiteUrl{};
    std::optional<std::vector<Icon>> icons{};

    static constexpr auto codingFields() {
        return std::tuple{field("name", &Implementation::name),
                          optionalField("title", &Implementation::title),
                          field("version", &Implementation::version),
                          optionalField("description", &Implementation::description),
                          optionalField("websiteUrl", &Implementation::websiteUrl),
                          optionalField("icons", &Implementation::icons)};
    }
};

using ServerInfo = Implementation;
using ClientInfo = Implementation;

}  // namespace mcp
