// The process-wide choice of handler for loggers made by label, replaceable once.
//
// Until a bootstrap, every Logger(label) gets StreamLogHandler::standardError(label): standard
// error, level info, no metadata. Each of the two settings (the factory and the metadata provider)
// may be replaced once per process; a second replacement is a programming error that stops the
// process. A logger takes its handler when it is made, so a later bootstrap does not change it.
//
// Thread-safe: any thread may make loggers at any time; readers of a setting run side by side
// under its reader lock, and factories are called with no lock held.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Logging/LogHandler.h"
#include "Logging/MetadataProvider.h"

namespace logging {

class LoggingSystem {
public:
    using Factory = std::function<std::unique_ptr<LogHandler>(
        const std::string& label, const std::optional<MetadataProvider>& provider)>;
    using LabelFactory = std::function<std::unique_ptr<LogHandler>(const std::string& label)>;

    LoggingSystem() = delete;

    // Replaces the factory with one that calls `factory` with the label; the provider stays.
    static void bootstrap(LabelFactory factory);
    // Replaces the provider (none still counts as its one replacement), then the factory.
    static void bootstrap(Factory factory, std::optional<MetadataProvider> metadataProvider);

    static std::optional<MetadataProvider> metadataProvider();
    static Factory factory();
};

}  // namespace logging
