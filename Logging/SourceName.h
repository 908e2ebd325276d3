// The two rules that turn a file name into the source name shown in log lines.
//
// Pure functions, safe from any thread. Results view into the argument (or a static "n/a").
#pragma once

#include <string_view>

namespace logging {

// The text before the first "/" of a file identifier such as "MCP/Client.cpp" ("MCP"); "n/a" when
// it holds no "/".
std::string_view sourceFromFileID(std::string_view fileID) noexcept;

// The name of the directory that holds the file: the text between the last "/" and the one
// before it ("Sources/MCP/Client.cpp" gives "MCP"); "n/a" when the text holds fewer than two "/".
std::string_view sourceFromFilePath(std::string_view filePath) noexcept;

// The file identifier of a path: its last two components ("/src/MCP/Client.cpp" gives
// "MCP/Client.cpp"); the path itself when it has fewer.
std::string_view fileIDFromPath(std::string_view filePath) noexcept;

}  // namespace logging
