// A log handler that keeps each entry as one line of text: "<level> <message> key=value ...", at
// the level given (trace by default). Shared by the server and client tests.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Logging/LogHandler.h"

namespace mcp::testing {

class LogLineRecorder final : public logging::LogHandler {
public:
    explicit LogLineRecorder(std::shared_ptr<std::vector<std::string>> lines,
                             logging::Level level = logging::Level::trace)
        : lines_(std::move(lines)), level_(level) {}
    std::unique_ptr<logging::LogHandler> clone() const override {
        return std::make_unique<LogLineRecorder>(*this);
    }
    void log(const logging::LogEvent& event) override {
        std::string line = std::string(logging::rawValue(event.level)) + " " +
                           std::string(event.message.description());
        if (event.metadata) {
            for (const auto& [key, value] : *event.metadata) {
                line += " " + key + "=" + value.description();
            }
        }
        lines_->push_back(std::move(line));
    }
    std::optional<logging::MetadataValue> metadataValue(std::string_view) const override {
        return std::nullopt;
    }
    void setMetadataValue(const std::string&, std::optional<logging::MetadataValue>) override {}
    logging::Metadata metadata() const override { return {}; }
    void setMetadata(logging::Metadata) override {}
    logging::Level logLevel() const override { return level_; }
    void setLogLevel(logging::Level) override {}

private:
    std::shared_ptr<std::vector<std::string>> lines_;
    logging::Level level_;
};

}  // namespace mcp::testing
