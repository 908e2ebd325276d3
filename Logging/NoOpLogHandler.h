// A handler that drops everything: level always critical, no metadata, no provider, no output.
// Transports given no logger build theirs on it.
//
// Stateless, so safe from any thread.
#pragma once

#include "Logging/LogHandler.h"

namespace logging {

class NoOpLogHandler final : public LogHandler {
public:
    NoOpLogHandler() = default;

    std::unique_ptr<LogHandler> clone() const override;

    void log(const LogEvent&) override {}
    void log(Level, const Message&, const std::optional<Metadata>&, std::string_view,
             std::string_view, std::string_view, std::uint64_t) override {}
    void log(Level, const Message&, const std::optional<Metadata>&, std::string_view,
             std::string_view, std::uint64_t) override {}

    std::optional<MetadataValue> metadataValue(std::string_view) const override {
        return std::nullopt;
    }
    void setMetadataValue(const std::string&, std::optional<MetadataValue>) override {}
    Metadata metadata() const override { return {}; }
    void setMetadata(Metadata) override {}
    Level logLevel() const override { return Level::critical; }
    void setLogLevel(Level) override {}
};

}  // namespace logging
