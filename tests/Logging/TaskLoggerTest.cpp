// The task logger in synchronous code: a binding per thread.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "Logging/Logger.h"
#include "Logging/StdioOutputStream.h"
#include "Logging/StreamLogHandler.h"
#include "tests/Logging/RecordingLogHandler.h"

namespace logging {
namespace {

using testing::RecordingLogHandler;

TEST(TaskLogger, DefaultIsTheEmptyLabelOnTheBootstrapHandler) {
    const Logger logger = Logger::taskLogger();
    EXPECT_EQ(logger.label(), "");
    EXPECT_EQ(logger.logLevel(), Level::info);
    const auto* stream = dynamic_cast<const StreamLogHandler*>(&logger.handler());
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->stream(), StdioOutputStream::standardError());
    // Made once: every read gives the same logger.
    EXPECT_TRUE(Logger::taskLogger().sameStorage(logger));
}

TEST(TaskLogger, BindingsNestAndEnd) {
    const Logger outer("outer", RecordingLogHandler());
    const Logger inner("inner", RecordingLogHandler());
    const int result = Logger::withTaskLogger(outer, [&](const Logger& bound) {
        EXPECT_EQ(bound.label(), "outer");
        EXPECT_EQ(Logger::taskLogger().label(), "outer");
        Logger::withTaskLogger(
            inner, [&](const Logger&) { EXPECT_EQ(Logger::taskLogger().label(), "inner"); });
        EXPECT_EQ(Logger::taskLogger().label(), "outer");
        return 42;
    });
    EXPECT_EQ(result, 42);
    EXPECT_EQ(Logger::taskLogger().label(), "");
}

TEST(TaskLogger, ExceptionPassesThroughAfterTheBindingEnds) {
    const Logger bound("bound", RecordingLogHandler());
    EXPECT_THROW(
        Logger::withTaskLogger(bound, [](const Logger&) -> int { throw std::out_of_range("out"); }),
        std::out_of_range);
    EXPECT_EQ(Logger::taskLogger().label(), "");
}

TEST(TaskLogger, MergingMetadataAddsKeysOnlyInside) {
    RecordingLogHandler handler;
    handler.setMetadata({{"kept", "1"}, {"k", "old"}});
    const Logger base("base", handler);
    Logger::withTaskLogger(base, [&](const Logger&) {
        Logger::withTaskLoggerMergingMetadata(
            {{"k", "new"}, {"request", "7"}}, [&](const Logger& bound) {
                EXPECT_EQ(bound.metadataValue("request"), MetadataValue("7"));
                const Logger current = Logger::taskLogger();
                EXPECT_EQ(current.metadataValue("k"), MetadataValue("new"));
                EXPECT_EQ(current.metadataValue("kept"), MetadataValue("1"));
            });
        EXPECT_FALSE(Logger::taskLogger().metadataValue("request"));
        EXPECT_EQ(Logger::taskLogger().metadataValue("k"), MetadataValue("old"));
    });
    EXPECT_FALSE(base.metadataValue("request"));
}

TEST(TaskLogger, OverridesApplyLevelThenHandlerThenMetadata) {
    RecordingLogHandler handler(Level::info);
    handler.setMetadata({{"k", "v"}});
    const Logger base("base", handler);
    Logger::withTaskLogger(base, [&](const Logger&) {
        // A level and a new handler: the new handler keeps its own level.
        Logger::withTaskLogger(Level::debug, std::make_unique<RecordingLogHandler>(Level::error),
                               std::nullopt, [](const Logger& bound) {
                                   EXPECT_EQ(bound.logLevel(), Level::error);
                                   EXPECT_EQ(bound.label(), "base");
                               });
        // No metadata given: the handler's metadata stays.
        Logger::withTaskLogger(Level::debug, nullptr, std::nullopt, [](const Logger& bound) {
            EXPECT_EQ(bound.logLevel(), Level::debug);
            EXPECT_EQ(bound.metadataValue("k"), MetadataValue("v"));
        });
        // Metadata given: it replaces the whole metadata.
        Logger::withTaskLogger(std::nullopt, nullptr, Metadata{{"only", "1"}},
                               [](const Logger& bound) {
                                   EXPECT_EQ(bound.handler().metadata(), (Metadata{{"only", "1"}}));
                                   EXPECT_EQ(bound.logLevel(), Level::info);
                               });
        EXPECT_EQ(Logger::taskLogger().logLevel(), Level::info);
        EXPECT_EQ(Logger::taskLogger().metadataValue("k"), MetadataValue("v"));
    });
}

TEST(TaskLogger, OtherThreadsDoNotSeeTheBinding) {
    const Logger bound("bound", RecordingLogHandler());
    Logger::withTaskLogger(bound, [](const Logger&) {
        std::string seen;
        std::thread([&] { seen = Logger::taskLogger().label(); }).join();
        EXPECT_EQ(seen, "");
    });
}

}  // namespace
}  // namespace logging
