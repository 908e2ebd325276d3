#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>

#include "Logging/Logger.h"
#include "Logging/NoOpLogHandler.h"
#include "Logging/StdioOutputStream.h"
#include "Logging/StreamLogHandler.h"
#include "tests/Logging/RecordingLogHandler.h"

namespace logging {
namespace {

using testing::RecordingLogHandler;

TEST(Logger, ForwardsOnlyEntriesAtOrAboveTheHandlersLevel) {
    for (const Level handlerLevel : allLevels) {
        RecordingLogHandler handler(handlerLevel);
        const Logger logger("test", handler);
        logger.trace("trace");
        logger.debug("debug");
        logger.info("info");
        logger.notice("notice");
        logger.warning("warning");
        logger.error("error");
        logger.critical("critical");
        const std::vector<LogEvent> events = handler.events();
        ASSERT_EQ(events.size(), 7 - static_cast<std::size_t>(handlerLevel));
        for (const LogEvent& event : events) {
            EXPECT_GE(event.level, handlerLevel);
            EXPECT_EQ(event.message.value, rawValue(event.level));
        }
    }
}

TEST(Logger, DroppedEntryProducesNoPart) {
    RecordingLogHandler handler(Level::info);
    const Logger logger("test", handler);
    int produced = 0;
    auto message = [&] {
        ++produced;
        return "message";
    };
    auto metadata = [&] {
        ++produced;
        return Metadata{{"k", "v"}};
    };
    auto source = [&] {
        ++produced;
        return std::string("src");
    };
    auto error = [&] {
        ++produced;
        return std::runtime_error("boom");
    };
    logger.debug(message, metadata, source);
    logger.debug(message, error, metadata, source);
    logger.log(Level::trace, message, metadata);
    EXPECT_EQ(produced, 0);
    EXPECT_TRUE(handler.events().empty());
}

TEST(Logger, PassingEntryProducesEachPartOnceInOrder) {
    RecordingLogHandler handler(Level::trace);
    const Logger logger("test", handler);
    std::string order;
    logger.warning(
        [&] {
            order += "m";
            return "message";
        },
        [&] {
            order += "e";
            return std::runtime_error("boom");
        },
        [&] {
            order += "d";
            return Metadata{{"k", "v"}};
        },
        [&] {
            order += "s";
            return std::string("src");
        });
    EXPECT_EQ(order, "meds");
    const std::vector<LogEvent> events = handler.events();
    ASSERT_EQ(events.size(), 1u);
    const LogEvent& event = events[0];
    EXPECT_EQ(event.level, Level::warning);
    EXPECT_EQ(event.message.value, "message");
    ASSERT_TRUE(event.error);
    EXPECT_EQ(event.error->description(), "boom");
    EXPECT_EQ(event.error->typeName(), "std::runtime_error");
    EXPECT_EQ(event.metadata, (Metadata{{"k", "v"}}));
    EXPECT_EQ(event.source(), "src");
}

TEST(Logger, EventCarriesTheCallersPositionAndNothingOfItsOwn) {
    RecordingLogHandler handler(Level::trace);
    handler.setMetadata({{"handler", "h"}});
    const Logger logger("test", handler);
    const unsigned line = __LINE__ + 1;
    logger.info("here");
    const std::vector<LogEvent> events = handler.events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].file, "Logging/LoggerTest.cpp");
    EXPECT_EQ(events[0].source(), "Logging");
    EXPECT_EQ(events[0].line, line);
    EXPECT_NE(events[0].function.find("TestBody"), std::string::npos) << events[0].function;
    EXPECT_FALSE(events[0].metadata);
    EXPECT_FALSE(events[0].error);
    EXPECT_FALSE(events[0].explicitSource);
}

TEST(Logger, ErrorsOfEveryKindKeepTheirDynamicType) {
    RecordingLogHandler handler(Level::trace);
    const Logger logger("test", handler);
    const std::invalid_argument thrown("bad argument");
    const std::exception& asBase = thrown;
    logger.error("a", asBase);
    logger.error("b", std::make_exception_ptr(std::out_of_range("far")));
    logger.error("c", std::make_error_code(std::errc::broken_pipe));
    logger.error("d", std::exception_ptr());
    const std::vector<LogEvent> events = handler.events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].error->typeName(), "std::invalid_argument");
    EXPECT_EQ(events[0].error->description(), "bad argument");
    EXPECT_EQ(events[1].error->typeName(), "std::out_of_range");
    EXPECT_TRUE(events[1].error->exception());
    EXPECT_EQ(events[2].error->typeName(), "std::error_code(generic)");
    EXPECT_EQ(events[2].error->description(),
              std::make_error_code(std::errc::broken_pipe).message());
    EXPECT_EQ(events[3].error->description(), "Unknown error");
}

TEST(Logger, CopyOnWriteKeepsCopiesApart) {
    RecordingLogHandler handler(Level::info);
    Logger original("test", handler);
    Logger copy = original;
    EXPECT_TRUE(copy.sameStorage(original));
    copy.setLogLevel(Level::debug);
    copy.setMetadataValue("k", MetadataValue("v"));
    EXPECT_FALSE(copy.sameStorage(original));
    EXPECT_EQ(original.logLevel(), Level::info);
    EXPECT_EQ(original.handler().logLevel(), Level::info);
    EXPECT_FALSE(original.metadataValue("k"));
    EXPECT_EQ(copy.logLevel(), Level::debug);
    EXPECT_EQ(copy.metadataValue("k"), MetadataValue("v"));

    // A unique logger changes in place.
    const LogHandler* before = &copy.handler();
    copy.setMetadataValue("k", std::nullopt);
    EXPECT_EQ(&copy.handler(), before);
    EXPECT_FALSE(copy.metadataValue("k"));

    Logger third = original;
    third.modifyHandler([](LogHandler& h) { h.setLogLevel(Level::error); });
    EXPECT_EQ(third.logLevel(), Level::error);
    EXPECT_EQ(original.logLevel(), Level::info);
    third.setHandler(NoOpLogHandler());
    EXPECT_EQ(third.logLevel(), Level::critical);
    EXPECT_EQ(third.label(), "test");
}

TEST(Logger, NoOpHandlerForwardsOnlyCriticalAndTraceHandlerEverything) {
    const Logger quiet("quiet", NoOpLogHandler());
    EXPECT_FALSE(quiet.isEnabled(Level::error));
    EXPECT_TRUE(quiet.isEnabled(Level::critical));
    RecordingLogHandler handler(Level::trace);
    const Logger loud("loud", handler);
    for (const Level level : allLevels) {
        EXPECT_TRUE(loud.isEnabled(level));
    }
}

TEST(Logger, ConstructionByFactory) {
    RecordingLogHandler recording(Level::notice);
    std::string seenLabel;
    const Logger byLabel("one", [&](const std::string& label) {
        seenLabel = label;
        return recording.clone();
    });
    EXPECT_EQ(seenLabel, "one");
    EXPECT_EQ(byLabel.label(), "one");
    EXPECT_EQ(byLabel.logLevel(), Level::notice);

    bool providerGiven = true;
    const Logger byFactory(
        "two", [&](const std::string&, const std::optional<MetadataProvider>& provider) {
            providerGiven = provider.has_value();
            return recording.clone();
        });
    EXPECT_FALSE(providerGiven);  // no bootstrap in this process

    const Logger withProvider("three", MetadataProvider([] { return Metadata{{"p", "1"}}; }));
    ASSERT_TRUE(withProvider.metadataProvider());
    EXPECT_EQ(withProvider.metadataProvider()->get(), (Metadata{{"p", "1"}}));
}

TEST(Logger, ByLabelWithoutBootstrapWritesToStandardErrorAtInfo) {
    const Logger logger("frameweaver.mcp.unix");
    EXPECT_EQ(logger.label(), "frameweaver.mcp.unix");
    EXPECT_EQ(logger.logLevel(), Level::info);
    const auto* stream = dynamic_cast<const StreamLogHandler*>(&logger.handler());
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->stream(), StdioOutputStream::standardError());
    EXPECT_EQ(stream->label(), "frameweaver.mcp.unix");
    EXPECT_FALSE(stream->metadataProvider());
    EXPECT_TRUE(stream->metadata().empty());
}

}  // namespace
}  // namespace logging
