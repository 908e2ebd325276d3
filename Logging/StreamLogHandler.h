// The handler that writes each log event as one line of text to a stream, by default standard
// error:
//
//     2026-12-10T13:05:42+0000 info frameweaver.mcp.unix: client=7 [app] Accepted a connection
//
// local time with its UTC offset, the level, the label (left out when empty), ":", the effective
// metadata sorted by key (handler metadata, then provider metadata, then the call's metadata,
// then "error.message" and "error.type", later ones winning on a key), the source in brackets and
// the message.
//
// A value (see LogHandler.h): copies share the stream. log() may be called from several threads
// at once; each line is one write() to the stream, which keeps it whole.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Logging/LogHandler.h"
#include "Logging/TextOutputStream.h"

namespace logging {

class StreamLogHandler final : public LogHandler {
public:
    // Each starts at level info with empty metadata. Without a provider argument, the handler
    // takes LoggingSystem::metadataProvider() as it stands at that moment.
    static StreamLogHandler standardError(std::string label);
    static StreamLogHandler standardError(std::string label,
                                          std::optional<MetadataProvider> metadataProvider);
    static StreamLogHandler standardOutput(std::string label);
    static StreamLogHandler standardOutput(std::string label,
                                           std::optional<MetadataProvider> metadataProvider);
    StreamLogHandler(std::string label, std::shared_ptr<TextOutputStream> stream);
    StreamLogHandler(std::string label, std::shared_ptr<TextOutputStream> stream,
                     std::optional<MetadataProvider> metadataProvider);

    std::unique_ptr<LogHandler> clone() const override;

    std::optional<MetadataProvider> metadataProvider() const override { return metadataProvider_; }
    void setMetadataProvider(std::optional<MetadataProvider> provider) override {
        metadataProvider_ = std::move(provider);
    }

    // Writes the event's line whatever its level: the caller has filtered.
    void log(const LogEvent& event) override;
    void log(Level level, const Message& message, const std::optional<Metadata>& metadata,
             std::string_view source, std::string_view file, std::string_view function,
             std::uint64_t line) override;
    using LogHandler::log;

    std::optional<MetadataValue> metadataValue(std::string_view key) const override;
    void setMetadataValue(const std::string& key, std::optional<MetadataValue> value) override;
    Metadata metadata() const override { return metadata_; }
    void setMetadata(Metadata metadata) override;
    Level logLevel() const override { return logLevel_; }
    void setLogLevel(Level level) override { logLevel_ = level; }

    const std::string& label() const noexcept { return label_; }
    const std::shared_ptr<TextOutputStream>& stream() const noexcept { return stream_; }
    // The rendering of metadata(): "key=value" pairs in key order joined by blanks; none while
    // the metadata is empty.
    const std::optional<std::string>& prettyMetadata() const noexcept { return prettyMetadata_; }

    // Renders metadata as prettyMetadata() does.
    static std::optional<std::string> prettify(const Metadata& metadata);
    // The local time now, as "%Y-%m-%dT%H:%M:%S%z"; "<unknown>" when it cannot be converted.
    static std::string timestamp();

private:
    std::shared_ptr<TextOutputStream> stream_;
    std::string label_;
    Level logLevel_ = Level::info;
    std::optional<MetadataProvider> metadataProvider_;
    std::optional<std::string> prettyMetadata_;
    Metadata metadata_;
};

}  // namespace logging
