// The only lines the companion writes to standard error, each one line ended by a line feed:
//
//   "Frameweaver MCP bridge: <description>"         start-up failed, or standard output failed
//   "Frameweaver MCP bridge output: <description>"  reading from the application failed
//   "Frameweaver MCP bridge input: <description>"   reading standard input or writing the socket
//                                                   failed
#pragma once

#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

namespace fw::bridge::messages {

inline std::string general(std::string_view description) {
    return "Frameweaver MCP bridge: " + std::string(description) + "\n";
}
inline std::string output(std::string_view description) {
    return "Frameweaver MCP bridge output: " + std::string(description) + "\n";
}
inline std::string input(std::string_view description) {
    return "Frameweaver MCP bridge input: " + std::string(description) + "\n";
}

// Writes one message with a single fputs, so lines from two threads never mix.
inline void write(std::FILE* stream, const std::string& line) {
    std::fputs(line.c_str(), stream);
    std::fflush(stream);
}

}  // namespace fw::bridge::messages
