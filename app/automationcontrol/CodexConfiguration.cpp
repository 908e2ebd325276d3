#include "app/automationcontrol/CodexConfiguration.h"

#include <cstdio>

#include "LocalAutomation/MCPPeerIdentity.h"

namespace fw {

std::string bridgeExecutablePath(const std::filesystem::path& bundleURL) {
    return automation::MCPPeerIdentity::bridgeExecutableURL(bundleURL).string();
}

std::string codexConfiguration(const std::filesystem::path& bundleURL) {
    return "[mcp_servers.frameweaver]\ncommand = \"" + tomlEscaped(bridgeExecutablePath(bundleURL)) +
           "\"";
}

std::string tomlEscaped(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    // Every byte of a multi-byte UTF-8 sequence is 0x80 or above, so going byte by byte
    // touches only the ASCII scalars and passes every other scalar through unchanged.
    for (const char c : text) {
        switch (c) {
            case '\b': escaped += "\\b"; break;
            case '\t': escaped += "\\t"; break;
            case '\n': escaped += "\\n"; break;
            case '\f': escaped += "\\f"; break;
            case '\r': escaped += "\\r"; break;
            case '"': escaped += "\\\""; break;
            case '\\': escaped += "\\\\"; break;
            default: {
                const auto byte = static_cast<unsigned char>(c);
                if (byte < 0x20 || byte == 0x7F) {
                    char code[7];
                    std::snprintf(code, sizeof code, "\\u%04X", byte);
                    escaped += code;
                } else {
                    escaped += c;
                }
            }
        }
    }
    return escaped;
}

}  // namespace fw
