// The protocol-version table.
#include "MCP/Messages/Version.h"

namespace mcp {

const std::set<std::string, std::less<>>& Version::supported() {
    static const std::set<std::string, std::less<>> versions{"2025-11-25", "2025-06-18",
                                                             "2025-03-26", "2024-11-05"};
    return versions;
}

const std::string& Version::latest() {
    // std::set orders its texts bytewise, which is code-point order for these ASCII dates.
    static const std::string& greatest = *supported().rbegin();
    return greatest;
}

const std::string& Version::negotiate(std::string_view requested) {
    auto found = supported().find(requested);
    return found != supported().end() ? *found : latest();
}

}  // namespace mcp
