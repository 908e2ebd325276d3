// Version: the MCP protocol versions this library speaks. `supported()` holds "2025-11-25",
// "2025-06-18", "2025-03-26" and "2024-11-05"; `latest()` is the greatest of them in plain text
// order ("2025-11-25"), derived from the set so that adding a later date moves it.
//
// The server answers "initialize" with the client's version when it is supported, else with the
// latest (`negotiate`); the client asks for the latest.
//
// Both values are built once, on first use, thread-safely; read them from any thread.
#pragma once

#include <set>
#include <string>
#include <string_view>

namespace mcp {

class Version {
public:
    Version() = delete;

    static const std::set<std::string, std::less<>>& supported();
    static const std::string& latest();

    static bool isSupported(std::string_view version) { return supported().contains(version); }
    // The version a server answers a client that asked for `requested`.
    static const std::string& negotiate(std::string_view requested);
};

}  // namespace mcp
