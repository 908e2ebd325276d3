#include "Logging/StreamLogHandler.h"

#include <ctime>

#include "Logging/LoggingSystem.h"
#include "Logging/StdioOutputStream.h"

namespace logging {

StreamLogHandler StreamLogHandler::standardError(std::string label) {
    return standardError(std::move(label), LoggingSystem::metadataProvider());
}

StreamLogHandler StreamLogHandler::standardError(std::string label,
                                                 std::optional<MetadataProvider> metadataProvider) {
    return StreamLogHandler(std::move(label), StdioOutputStream::standardError(),
                            std::move(metadataProvider));
}

StreamLogHandler StreamLogHandler::standardOutput(std::string label) {
    return standardOutput(std::move(label), LoggingSystem::metadataProvider());
}

StreamLogHandler StreamLogHandler::standardOutput(
    std::string label, std::optional<MetadataProvider> metadataProvider) {
    return StreamLogHandler(std::move(label), StdioOutputStream::standardOutput(),
                            std::move(metadataProvider));
}

StreamLogHandler::StreamLogHandler(std::string label, std::shared_ptr<TextOutputStream> stream)
    : StreamLogHandler(std::move(label), std::move(stream), LoggingSystem::metadataProvider()) {}

StreamLogHandler::StreamLogHandler(std::string label, std::shared_ptr<TextOutputStream> stream,
                                   std::optional<MetadataProvider> metadataProvider)
    : stream_(std::move(stream)),
      label_(std::move(label)),
      metadataProvider_(std::move(metadataProvider)) {}

std::unique_ptr<LogHandler> StreamLogHandler::clone() const {
    return std::make_unique<StreamLogHandler>(*this);
}

std::optional<std::string> StreamLogHandler::prettify(const Metadata& metadata) {
    if (metadata.empty()) {
        return std::nullopt;
    }
    // The map keeps its keys in byte order, which is the order lines show them in.
    std::string out;
    for (const auto& [key, value] : metadata) {
        if (!out.empty()) {
            out.push_back(' ');
        }
        out.append(key);
        out.push_back('=');
        out.append(value.description());
    }
    return out;
}

std::string StreamLogHandler::timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    // localtime_r, not localtime: the latter's shared buffer races between logging threads.
    if (localtime_r(&now, &local) == nullptr) {
        return "<unknown>";
    }
    char buffer[255] = {};
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S%z", &local);
    return std::string(buffer);
}

void StreamLogHandler::log(const LogEvent& event) {
    const Metadata provided = metadataProvider_ ? metadataProvider_->get() : Metadata{};
    const bool callHasMetadata = event.metadata && !event.metadata->empty();

    std::optional<std::string> merged;
    const std::optional<std::string>* rendered = &prettyMetadata_;
    if (!provided.empty() || callHasMetadata || event.error) {
        Metadata effective = metadata_;
        for (const auto& [key, value] : provided) {
            effective.insert_or_assign(key, value);
        }
        if (callHasMetadata) {
            for (const auto& [key, value] : *event.metadata) {
                effective.insert_or_assign(key, value);
            }
        }
        if (event.error) {
            effective.insert_or_assign("error.message", event.error->description());
            effective.insert_or_assign("error.type", event.error->typeName());
        }
        merged = prettify(effective);
        rendered = &merged;
    }

    std::string line = timestamp();
    const std::string_view level = rawValue(event.level);
    const std::string_view source = event.source();
    line.reserve(line.size() + level.size() + label_.size() +
                 (*rendered ? (*rendered)->size() : 0) + source.size() +
                 event.message.value.size() + 8);
    line.push_back(' ');
    line.append(level);
    if (!label_.empty()) {
        line.push_back(' ');
        line.append(label_);
    }
    line.push_back(':');
    if (*rendered) {
        line.push_back(' ');
        line.append(**rendered);
    }
    line.append(" [");
    line.append(source);
    line.append("] ");
    line.append(event.message.value);
    line.push_back('\n');
    stream_->write(line);
}

void StreamLogHandler::log(Level level, const Message& message,
                           const std::optional<Metadata>& metadata, std::string_view source,
                           std::string_view file, std::string_view function, std::uint64_t line) {
    log(LogEvent(level, message, metadata, std::string(source), std::string(file),
                 std::string(function), line));
}

std::optional<MetadataValue> StreamLogHandler::metadataValue(std::string_view key) const {
    const auto found = metadata_.find(key);
    if (found == metadata_.end()) {
        return std::nullopt;
    }
    return found->second;
}

void StreamLogHandler::setMetadataValue(const std::string& key,
                                        std::optional<MetadataValue> value) {
    if (value) {
        metadata_.insert_or_assign(key, std::move(*value));
    } else {
        metadata_.erase(key);
    }
    prettyMetadata_ = prettify(metadata_);
}

void StreamLogHandler::setMetadata(Metadata metadata) {
    metadata_ = std::move(metadata);
    prettyMetadata_ = prettify(metadata_);
}

}  // namespace logging
