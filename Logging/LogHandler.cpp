#include "Logging/LogHandler.h"

namespace logging {

void LogHandler::log(const LogEvent& event) {
    log(event.level, event.message, event.metadata, event.source(), event.file, event.function,
        event.line);
}

void LogHandler::log(Level level, const Message& message, const std::optional<Metadata>& metadata,
                     std::string_view /*source*/, std::string_view file, std::string_view function,
                     std::uint64_t line) {
    log(level, message, metadata, file, function, line);
}

void LogHandler::log(Level level, const Message& message, const std::optional<Metadata>& metadata,
                     std::string_view file, std::string_view function, std::uint64_t line) {
    log(LogEvent(level, message, metadata, std::string(sourceFromFilePath(file)), std::string(file),
                 std::string(function), line));
}

}  // namespace logging
