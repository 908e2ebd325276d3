// Test doubles: a handler that records the events it is given, and a text stream that keeps the
// lines written to it. Both share their records between copies, so a test keeps a view of what a
// logger's (cloned) handler received.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Logging/LogHandler.h"
#include "Logging/TextOutputStream.h"

namespace logging::testing {

class RecordingLogHandler final : public LogHandler {
public:
    struct Records {
        std::mutex mutex;
        std::vector<LogEvent> events;
    };

    explicit RecordingLogHandler(Level level = Level::info)
        : records_(std::make_shared<Records>()), level_(level) {}

    std::unique_ptr<LogHandler> clone() const override {
        return std::make_unique<RecordingLogHandler>(*this);
    }

    void log(const LogEvent& event) override {
        std::lock_guard lock(records_->mutex);
        records_->events.push_back(event);
    }

    std::optional<MetadataProvider> metadataProvider() const override { return provider_; }
    void setMetadataProvider(std::optional<MetadataProvider> provider) override {
        provider_ = std::move(provider);
    }
    std::optional<MetadataValue> metadataValue(std::string_view key) const override {
        const auto found = metadata_.find(key);
        return found == metadata_.end() ? std::nullopt : std::optional(found->second);
    }
    void setMetadataValue(const std::string& key, std::optional<MetadataValue> value) override {
        if (value) {
            metadata_.insert_or_assign(key, std::move(*value));
        } else {
            metadata_.erase(key);
        }
    }
    Metadata metadata() const override { return metadata_; }
    void setMetadata(Metadata metadata) override { metadata_ = std::move(metadata); }
    Level logLevel() const override { return level_; }
    void setLogLevel(Level level) override { level_ = level; }

    std::vector<LogEvent> events() const {
        std::lock_guard lock(records_->mutex);
        return records_->events;
    }
    const std::shared_ptr<Records>& records() const { return records_; }

private:
    std::shared_ptr<Records> records_;
    Level level_;
    Metadata metadata_;
    std::optional<MetadataProvider> provider_;
};

class CapturingStream final : public TextOutputStream {
public:
    void write(std::string_view text) override {
        std::lock_guard lock(mutex_);
        writes_.emplace_back(text);
    }
    std::vector<std::string> writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> writes_;
};

}  // namespace logging::testing
