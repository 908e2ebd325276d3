// ToolError: a failure of the automation tool set, with its snake_case code and the complete
// sentence shown to the user; and the mapping of the export service's and the folder store's
// failures onto such errors.
//
// The tools throw it; the dispatcher (MovieMCPTools.cpp) catches it and answers the error
// result {"error": {"code", "message"}}. Plain value; copy it freely.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace fw {

class ExportFailure;

namespace platform {
struct Error;
}

// The codes and fixed texts of the tool set's own failures.
namespace tool_errors {
inline constexpr const char* kSessionClosed = "This MCP connection has closed.";
inline constexpr const char* kNotAnObject = "A file reference must be an object.";
inline constexpr const char* kNoInputs = "Provide at least one image in inputs.";
inline constexpr const char* kNoOutput = "Provide an output folder ID and relative path.";
inline constexpr const char* kUnsupportedCodec = "Choose h264, hevc, or prores422.";
inline constexpr const char* kUnsupportedQuality = "Choose standard, high, or custom.";
inline constexpr const char* kInvalidPage = "offset must be at least 0 and limit must be 1–500.";
inline constexpr const char* kNotDirectory = "The selected path is not a readable directory.";
inline constexpr const char* kUnreadableDirectory = "The sequence directory could not be listed.";
inline constexpr const char* kTooManyEntries =
    "This folder has over 10,000 entries. Choose a smaller subfolder.";
inline constexpr const char* kNoMatchingJob = "No matching export job is available.";
inline constexpr const char* kResultTooLarge =
    "The result exceeds 128 KiB. Request a smaller inspection page.";
inline constexpr const char* kResultTooLargeText = "Result exceeds 128 KiB; use a smaller page.";
inline constexpr const char* kUnencodableResult = "The result could not be encoded as JSON.";
inline constexpr const char* kNotFile = "Not a regular file.";
inline constexpr const char* kUnsupportedFormat = "Unsupported image format.";
inline constexpr const char* kNameNotUTF8 =
    "The file name is not valid UTF-8 text; rename the file to use it.";
}  // namespace tool_errors

class ToolError : public std::exception {
public:
    ToolError(std::string code, std::string message)
        : code_(std::move(code)), message_(std::move(message)) {}

    const std::string& code() const { return code_; }
    const std::string& message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    // The export service's failure: "export_busy", "unknown_job", "cancelled",
    // "overwrite_refused" (an invalid request whose text contains "already exists"),
    // "invalid_export"; a failure passed on from elsewhere (the folder store's) is
    // "operation_failed". The message is always the failure's own text.
    static ToolError from(const ExportFailure& failure);
    // Any other error (the folder store's): "operation_failed" with its description.
    static ToolError from(const platform::Error& error);

private:
    std::string code_;
    std::string message_;
};

}  // namespace fw
