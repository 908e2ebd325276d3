#include <gtest/gtest.h>

#include "Logging/LogHandler.h"

namespace logging {
namespace {

// Implements only one entry point of the ring; the defaults carry the others to it.
class MinimalHandler : public LogHandler {
public:
    std::optional<MetadataValue> metadataValue(std::string_view) const override { return {}; }
    void setMetadataValue(const std::string&, std::optional<MetadataValue>) override {}
    Metadata metadata() const override { return {}; }
    void setMetadata(Metadata) override {}
    Level logLevel() const override { return Level::trace; }
    void setLogLevel(Level) override {}
};

class EventOnlyHandler final : public MinimalHandler {
public:
    std::unique_ptr<LogHandler> clone() const override {
        return std::make_unique<EventOnlyHandler>(*this);
    }
    using LogHandler::log;
    void log(const LogEvent& event) override { events.push_back(event); }
    std::vector<LogEvent> events;
};

class OldestEntryOnlyHandler final : public MinimalHandler {
public:
    std::unique_ptr<LogHandler> clone() const override {
        return std::make_unique<OldestEntryOnlyHandler>(*this);
    }
    using LogHandler::log;
    void log(Level level, const Message& message, const std::optional<Metadata>&,
             std::string_view file, std::string_view, std::uint64_t line) override {
        calls.push_back({level, message.value, std::string(file), line});
    }
    struct Call {
        Level level;
        std::string message;
        std::string file;
        std::uint64_t line;
    };
    std::vector<Call> calls;
};

TEST(LogHandler, OlderEntryPointsReachLogEventWithTheFilePathSource) {
    EventOnlyHandler handler;
    handler.log(Level::warning, "deep", std::nullopt, "Sources/MCP/Client", "f", 3);
    handler.log(Level::warning, "shallow", std::nullopt, "MCP/Client", "f", 4);
    // The entry point with a source drops it and derives one from the path as well.
    handler.log(Level::warning, "given", std::nullopt, "ignored", "Sources/MCP/Client", "f", 5);
    ASSERT_EQ(handler.events.size(), 3u);
    EXPECT_EQ(handler.events[0].source(), "MCP");
    EXPECT_EQ(handler.events[1].source(), "n/a");
    EXPECT_EQ(handler.events[2].source(), "MCP");
    EXPECT_EQ(handler.events[2].line, 5u);
    EXPECT_FALSE(handler.events[0].error);
}

TEST(LogHandler, LogEventReachesTheOldestEntryPoint) {
    OldestEntryOnlyHandler handler;
    handler.log(LogEvent(Level::error, "m", std::runtime_error("boom"), std::nullopt, "src",
                         "MCP/Client.cpp", "f", 9));
    ASSERT_EQ(handler.calls.size(), 1u);
    EXPECT_EQ(handler.calls[0].level, Level::error);
    EXPECT_EQ(handler.calls[0].message, "m");
    EXPECT_EQ(handler.calls[0].file, "MCP/Client.cpp");
    EXPECT_EQ(handler.calls[0].line, 9u);
}

TEST(LogHandler, ProviderDefaultsToNoneAndIgnoresANewOne) {
    EventOnlyHandler handler;
    handler.setMetadataProvider(MetadataProvider([] { return Metadata{{"k", "v"}}; }));
    EXPECT_FALSE(handler.metadataProvider());
}

}  // namespace
}  // namespace logging
