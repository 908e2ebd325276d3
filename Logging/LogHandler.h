// The interface behind every logger: a handler owns the level, the metadata and the output of the
// loggers built on it.
//
// Handlers are values: clone() makes an independent copy with its own level and metadata; copies
// share only what a handler holds by reference (such as the C stream behind a StreamLogHandler).
// A handler may be handed to another thread. Concurrent log() calls only read the handler and must
// be safe; a handler writing to shared output locks inside. Changes (the setters) are made only
// through the one value that owns the handler, never concurrently with other use of it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Logging/Level.h"
#include "Logging/LogEvent.h"
#include "Logging/Message.h"
#include "Logging/MetadataProvider.h"
#include "Logging/MetadataValue.h"

namespace logging {

class LogHandler {
public:
    virtual ~LogHandler() = default;

    virtual std::unique_ptr<LogHandler> clone() const = 0;

    // The provider consulted for every entry. By default none, and a new one is ignored.
    virtual std::optional<MetadataProvider> metadataProvider() const { return std::nullopt; }
    virtual void setMetadataProvider(std::optional<MetadataProvider> /*provider*/) {}

    // The three entry points call one another in a ring by default, so a handler implements at
    // least one of them. Loggers only ever call log(event); the other two serve handlers that
    // forward to other handlers. None of them looks at logLevel(): the caller filters.
    //
    // Default: the older entry point with the event's derived source; the error is not passed on.
    virtual void log(const LogEvent& event);
    // Default: the entry point without source.
    virtual void log(Level level, const Message& message, const std::optional<Metadata>& metadata,
                     std::string_view source, std::string_view file, std::string_view function,
                     std::uint64_t line);
    // Default: log(event) with no error and sourceFromFilePath(file) as source.
    virtual void log(Level level, const Message& message, const std::optional<Metadata>& metadata,
                     std::string_view file, std::string_view function, std::uint64_t line);

    // The handler's own metadata under a key; none when absent. Providers are not consulted.
    virtual std::optional<MetadataValue> metadataValue(std::string_view key) const = 0;
    // Inserts or replaces the key; none removes it.
    virtual void setMetadataValue(const std::string& key, std::optional<MetadataValue> value) = 0;

    virtual Metadata metadata() const = 0;
    virtual void setMetadata(Metadata metadata) = 0;

    virtual Level logLevel() const = 0;
    virtual void setLogLevel(Level level) = 0;

protected:
    LogHandler() = default;
    LogHandler(const LogHandler&) = default;
    LogHandler& operator=(const LogHandler&) = default;
};

}  // namespace logging
