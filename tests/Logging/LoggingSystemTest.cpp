#include <gtest/gtest.h>

#include <cstdlib>

#include "Logging/Logger.h"
#include "Logging/LoggingSystem.h"
#include "Logging/NoOpLogHandler.h"
#include "Logging/StreamLogHandler.h"
#include "tests/Logging/RecordingLogHandler.h"

namespace logging {
namespace {

// Every bootstrap happens in a child process (a death test), so the process-wide settings of the
// test program itself stay at their defaults.

const char* const kViolation = "logging system can only be initialized once per process\\.";

std::unique_ptr<LogHandler> noOp(const std::string&) {
    return std::make_unique<NoOpLogHandler>();
}
std::unique_ptr<LogHandler> noOp2(const std::string&, const std::optional<MetadataProvider>&) {
    return std::make_unique<NoOpLogHandler>();
}

TEST(LoggingSystemDeathTest, SecondBootstrapStopsTheProcessWithItsMessage) {
    EXPECT_DEATH(
        {
            LoggingSystem::bootstrap(noOp);
            LoggingSystem::bootstrap(noOp);
        },
        kViolation);
    // A bootstrap without provider still uses up the provider box.
    EXPECT_DEATH(
        {
            LoggingSystem::bootstrap(noOp2, std::nullopt);
            LoggingSystem::bootstrap(noOp);
        },
        kViolation);
    EXPECT_DEATH(
        {
            LoggingSystem::bootstrap(noOp);
            LoggingSystem::bootstrap(noOp2, std::nullopt);
        },
        kViolation);
}

// Bootstraps, then checks the loggers made before and after; exits 0 when all is as expected.
[[noreturn]] void bootstrapBetweenTwoLoggers() {
    const Logger before("before");
    const testing::RecordingLogHandler recording(Level::debug);
    LoggingSystem::bootstrap([&](const std::string&) { return recording.clone(); });
    const Logger after("after");
    const bool ok =
        dynamic_cast<const StreamLogHandler*>(&before.handler()) != nullptr &&
        before.logLevel() == Level::info &&
        dynamic_cast<const testing::RecordingLogHandler*>(&after.handler()) != nullptr &&
        after.logLevel() == Level::debug;
    std::exit(ok ? 0 : 1);
}

[[noreturn]] void bootstrapWithProvider() {
    const Metadata provided{{"request", "1"}};
    std::optional<MetadataProvider> seen;
    LoggingSystem::bootstrap(
        [&](const std::string& label, const std::optional<MetadataProvider>& provider) {
            seen = provider;
            return std::unique_ptr<LogHandler>(
                new StreamLogHandler(StreamLogHandler::standardError(label)));
        },
        MetadataProvider([provided] { return provided; }));
    const Logger logger("x");
    const std::optional<MetadataProvider> handlerProvider = logger.metadataProvider();
    const bool ok = seen && seen->get() == provided && handlerProvider &&
                    handlerProvider->get() == provided &&
                    LoggingSystem::metadataProvider().has_value();
    std::exit(ok ? 0 : 1);
}

TEST(LoggingSystemDeathTest, LoggerMadeBeforeBootstrapKeepsItsHandler) {
    EXPECT_EXIT(bootstrapBetweenTwoLoggers(), ::testing::ExitedWithCode(0), "");
}

TEST(LoggingSystemDeathTest, BootstrapProviderReachesLoggersAndStreamHandlers) {
    EXPECT_EXIT(bootstrapWithProvider(), ::testing::ExitedWithCode(0), "");
}

TEST(LoggingSystem, DefaultsWithoutBootstrap) {
    EXPECT_FALSE(LoggingSystem::metadataProvider());
    const std::unique_ptr<LogHandler> handler = LoggingSystem::factory()("label", std::nullopt);
    const auto* stream = dynamic_cast<const StreamLogHandler*>(handler.get());
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->label(), "label");
    EXPECT_EQ(stream->logLevel(), Level::info);
    // The default factory ignores the provider it is given.
    const std::unique_ptr<LogHandler> ignoring =
        LoggingSystem::factory()("label", MetadataProvider([] {
                                     return Metadata{{"k", "v"}};
                                 }));
    EXPECT_FALSE(ignoring->metadataProvider());
}

}  // namespace
}  // namespace logging
