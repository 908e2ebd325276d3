// The configuration text an AI client (Codex) needs to start the companion program of one
// installed application bundle, as a TOML table:
//
//   [mcp_servers.frameweaver]
//   command = "<bundle>/Contents/MacOS/frameweaver-mcp"
//
// exactly two lines, no line feed after the closing quote. Whether the path exists plays no
// role. Plain functions; thread-safe.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace fw {

// The companion's path inside `bundleURL`: "Contents/MacOS/frameweaver-mcp" appended.
std::string bridgeExecutablePath(const std::filesystem::path& bundleURL);

// The two-line table for the bundle at `bundleURL`.
std::string codexConfiguration(const std::filesystem::path& bundleURL);

// `text` (UTF-8) escaped for a TOML basic string: backspace, tab, line feed, form feed,
// carriage return, double quote and backslash get their short escapes; the other controls
// below U+0020 and U+007F become \uXXXX (upper-case hexadecimal); everything else, including
// U+0080 to U+009F and all non-ASCII text, stays as it is.
std::string tomlEscaped(std::string_view text);

}  // namespace fw
