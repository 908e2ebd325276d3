// A handler that forwards every event to each of its handlers whose level admits it, so one
// logger can write to several destinations. Its level is the lowest of its handlers' levels when
// made; setting the level, metadata or provider sets it on every handler; its metadata is the
// merge of theirs and its provider the combination of theirs, its own provider (if any) last.
//
// A value (see LogHandler.h): it owns its own copies of the handlers, cloned with it. No lock:
// forwarding runs on the calling thread, one handler after another, each guarding its own output.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "Logging/LogHandler.h"

namespace logging {

class MultiplexLogHandler final : public LogHandler {
public:
    // Null entries in the list are dropped.
    explicit MultiplexLogHandler(std::vector<std::unique_ptr<LogHandler>> handlers);
    MultiplexLogHandler(std::vector<std::unique_ptr<LogHandler>> handlers,
                        std::optional<MetadataProvider> metadataProvider);
    MultiplexLogHandler(const MultiplexLogHandler& other);
    MultiplexLogHandler& operator=(const MultiplexLogHandler& other);
    MultiplexLogHandler(MultiplexLogHandler&&) noexcept = default;
    MultiplexLogHandler& operator=(MultiplexLogHandler&&) noexcept = default;

    std::unique_ptr<LogHandler> clone() const override;

    // One handler: its provider, or the own one, or both combined (the handler's first).
    // Otherwise: the providers of the handlers that have one, in order, then the own one; none
    // when there are none.
    std::optional<MetadataProvider> metadataProvider() const override;
    // Sets every handler's provider; the own provider stays.
    void setMetadataProvider(std::optional<MetadataProvider> provider) override;

    void log(const LogEvent& event) override;
    void log(Level level, const Message& message, const std::optional<Metadata>& metadata,
             std::string_view source, std::string_view file, std::string_view function,
             std::uint64_t line) override;
    using LogHandler::log;

    // The first value a handler has for the key, in list order; providers are not consulted.
    std::optional<MetadataValue> metadataValue(std::string_view key) const override;
    void setMetadataValue(const std::string& key, std::optional<MetadataValue> value) override;
    // Each handler's metadata then its provider's, in list order, then the own provider's, later
    // entries winning. Calls every provider once.
    Metadata metadata() const override;
    void setMetadata(Metadata metadata) override;
    Level logLevel() const override { return effectiveLogLevel_; }
    void setLogLevel(Level level) override;

    const std::vector<std::unique_ptr<LogHandler>>& handlers() const noexcept { return handlers_; }

private:
    std::vector<std::unique_ptr<LogHandler>> handlers_;
    Level effectiveLogLevel_ = Level::trace;
    std::optional<MetadataProvider> ownMetadataProvider_;
};

}  // namespace logging
