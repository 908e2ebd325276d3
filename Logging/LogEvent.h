// One log call on its way from a logger to its handler.
//
// A plain value: copies may be used on different threads; one value must not be changed from two
// threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Logging/Level.h"
#include "Logging/LogError.h"
#include "Logging/Message.h"
#include "Logging/MetadataValue.h"
#include "Logging/SourceName.h"

namespace logging {

struct LogEvent {
    LogEvent(Level level, Message message, std::optional<Metadata> metadata,
             std::optional<std::string> source, std::string file, std::string function,
             std::uint64_t line)
        : level(level),
          message(std::move(message)),
          metadata(std::move(metadata)),
          explicitSource(std::move(source)),
          file(std::move(file)),
          function(std::move(function)),
          line(line) {}

    LogEvent(Level level, Message message, std::optional<LogError> error,
             std::optional<Metadata> metadata, std::optional<std::string> source, std::string file,
             std::string function, std::uint64_t line)
        : level(level),
          message(std::move(message)),
          error(std::move(error)),
          metadata(std::move(metadata)),
          explicitSource(std::move(source)),
          file(std::move(file)),
          function(std::move(function)),
          line(line) {}

    // The source given by the caller; otherwise the module of `file` (its text before the first
    // "/"), or "n/a" when `file` holds no "/". Views into this event.
    std::string_view source() const noexcept {
        return explicitSource ? std::string_view(*explicitSource) : sourceFromFileID(file);
    }
    void setSource(std::string source) { explicitSource = std::move(source); }

    Level level;
    Message message;
    std::optional<LogError> error;
    // Metadata of this call only; absent and empty are both allowed.
    std::optional<Metadata> metadata;
    // Absent when the caller gave no source.
    std::optional<std::string> explicitSource;
    // File identifier of the call site: module directory, "/", file name ("MCP/Client.cpp").
    std::string file;
    std::string function;
    std::uint64_t line;
};

}  // namespace logging
