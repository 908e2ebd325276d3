#include "Logging/MultiplexLogHandler.h"

#include <algorithm>

namespace logging {

namespace {

Level lowestLevel(const std::vector<std::unique_ptr<LogHandler>>& handlers) {
    Level lowest = Level::critical;
    if (handlers.empty()) {
        return Level::trace;
    }
    for (const auto& handler : handlers) {
        lowest = std::min(lowest, handler->logLevel());
    }
    return lowest;
}

void mergeInto(Metadata& target, Metadata source) {
    for (auto& [key, value] : source) {
        target.insert_or_assign(key, std::move(value));
    }
}

}  // namespace

MultiplexLogHandler::MultiplexLogHandler(std::vector<std::unique_ptr<LogHandler>> handlers)
    : MultiplexLogHandler(std::move(handlers), std::nullopt) {}

MultiplexLogHandler::MultiplexLogHandler(std::vector<std::unique_ptr<LogHandler>> handlers,
                                         std::optional<MetadataProvider> metadataProvider)
    : handlers_(std::move(handlers)), ownMetadataProvider_(std::move(metadataProvider)) {
    std::erase(handlers_, nullptr);
    effectiveLogLevel_ = lowestLevel(handlers_);
}

MultiplexLogHandler::MultiplexLogHandler(const MultiplexLogHandler& other)
    : LogHandler(other),
      effectiveLogLevel_(other.effectiveLogLevel_),
      ownMetadataProvider_(other.ownMetadataProvider_) {
    handlers_.reserve(other.handlers_.size());
    for (const auto& handler : other.handlers_) {
        handlers_.push_back(handler->clone());
    }
}

MultiplexLogHandler& MultiplexLogHandler::operator=(const MultiplexLogHandler& other) {
    if (this != &other) {
        MultiplexLogHandler copy(other);
        *this = std::move(copy);
    }
    return *this;
}

std::unique_ptr<LogHandler> MultiplexLogHandler::clone() const {
    return std::make_unique<MultiplexLogHandler>(*this);
}

std::optional<MetadataProvider> MultiplexLogHandler::metadataProvider() const {
    if (handlers_.size() == 1) {
        std::optional<MetadataProvider> handlerProvider = handlers_.front()->metadataProvider();
        if (!handlerProvider) {
            return ownMetadataProvider_;
        }
        if (!ownMetadataProvider_) {
            return handlerProvider;
        }
        return MetadataProvider::multiplex({std::move(*handlerProvider), *ownMetadataProvider_});
    }
    std::vector<MetadataProvider> providers;
    for (const auto& handler : handlers_) {
        if (std::optional<MetadataProvider> provider = handler->metadataProvider()) {
            providers.push_back(std::move(*provider));
        }
    }
    if (ownMetadataProvider_) {
        providers.push_back(*ownMetadataProvider_);
    }
    if (providers.empty()) {
        return std::nullopt;
    }
    return MetadataProvider::multiplex(std::move(providers));
}

void MultiplexLogHandler::setMetadataProvider(std::optional<MetadataProvider> provider) {
    for (auto& handler : handlers_) {
        handler->setMetadataProvider(provider);
    }
}

void MultiplexLogHandler::log(const LogEvent& event) {
    for (auto& handler : handlers_) {
        if (handler->logLevel() <= event.level) {
            handler->log(event);
        }
    }
}

void MultiplexLogHandler::log(Level level, const Message& message,
                              const std::optional<Metadata>& metadata, std::string_view source,
                              std::string_view file, std::string_view function,
                              std::uint64_t line) {
    log(LogEvent(level, message, metadata, std::string(source), std::string(file),
                 std::string(function), line));
}

std::optional<MetadataValue> MultiplexLogHandler::metadataValue(std::string_view key) const {
    for (const auto& handler : handlers_) {
        if (std::optional<MetadataValue> value = handler->metadataValue(key)) {
            return value;
        }
    }
    return std::nullopt;
}

void MultiplexLogHandler::setMetadataValue(const std::string& key,
                                           std::optional<MetadataValue> value) {
    for (auto& handler : handlers_) {
        handler->setMetadataValue(key, value);
    }
}

Metadata MultiplexLogHandler::metadata() const {
    Metadata merged;
    for (const auto& handler : handlers_) {
        mergeInto(merged, handler->metadata());
        if (std::optional<MetadataProvider> provider = handler->metadataProvider()) {
            mergeInto(merged, provider->get());
        }
    }
    if (ownMetadataProvider_) {
        mergeInto(merged, ownMetadataProvider_->get());
    }
    return merged;
}

void MultiplexLogHandler::setMetadata(Metadata metadata) {
    for (auto& handler : handlers_) {
        handler->setMetadata(metadata);
    }
}

void MultiplexLogHandler::setLogLevel(Level level) {
    for (auto& handler : handlers_) {
        handler->setLogLevel(level);
    }
    effectiveLogLevel_ = level;
}

}  // namespace logging
