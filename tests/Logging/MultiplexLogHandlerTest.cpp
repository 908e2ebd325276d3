#include <gtest/gtest.h>

#include "Logging/Logger.h"
#include "Logging/MultiplexLogHandler.h"
#include "Logging/NoOpLogHandler.h"
#include "tests/Logging/RecordingLogHandler.h"

namespace logging {
namespace {

using testing::RecordingLogHandler;

// A multiplexing handler over copies of `handlers`; the copies share their records with them.
MultiplexLogHandler multiplex(const std::vector<RecordingLogHandler>& handlers,
                              std::optional<MetadataProvider> own = std::nullopt) {
    std::vector<std::unique_ptr<LogHandler>> list;
    for (const RecordingLogHandler& handler : handlers) {
        list.push_back(handler.clone());
    }
    return MultiplexLogHandler(std::move(list), std::move(own));
}

MetadataProvider providing(Metadata metadata) {
    return MetadataProvider([metadata = std::move(metadata)] { return metadata; });
}

LogEvent eventAt(Level level) {
    return LogEvent(level, "m", std::nullopt, std::nullopt, "M/f", "f", 1);
}

TEST(MultiplexLogHandler, ForwardsToTheHandlersWhoseLevelAdmitsTheEvent) {
    const RecordingLogHandler info(Level::info);
    const RecordingLogHandler error(Level::error);
    MultiplexLogHandler handler = multiplex({info, error});
    EXPECT_EQ(handler.logLevel(), Level::info);
    struct Case {
        Level level;
        std::size_t toInfo;
        std::size_t toError;
    };
    const Case cases[] = {
        {Level::debug, 0, 0},
        {Level::warning, 1, 0},
        {Level::error, 2, 1},
        {Level::critical, 3, 2},
    };
    for (const Case& c : cases) {
        handler.log(eventAt(c.level));
        EXPECT_EQ(info.events().size(), c.toInfo) << rawValue(c.level);
        EXPECT_EQ(error.events().size(), c.toError) << rawValue(c.level);
    }
    // The older entry points forward the same way.
    handler.log(Level::error, "old", std::nullopt, "Sources/MCP/x", "f", 2);
    ASSERT_EQ(error.events().size(), 3u);
    EXPECT_EQ(error.events().back().source(), "MCP");
    handler.log(Level::warning, "older", std::nullopt, "given", "M/f", "f", 3);
    ASSERT_EQ(info.events().size(), 5u);
    EXPECT_EQ(info.events().back().source(), "given");
    EXPECT_EQ(error.events().size(), 3u);
}

TEST(MultiplexLogHandler, SettingTheLevelMovesEveryHandler) {
    MultiplexLogHandler handler =
        multiplex({RecordingLogHandler(Level::info), RecordingLogHandler(Level::error)});
    handler.setLogLevel(Level::debug);
    EXPECT_EQ(handler.logLevel(), Level::debug);
    for (const auto& inner : handler.handlers()) {
        EXPECT_EQ(inner->logLevel(), Level::debug);
    }
}

TEST(MultiplexLogHandler, SubscriptGivesTheFirstValueAndMetadataTheLast) {
    RecordingLogHandler first;
    first.setMetadata({{"k", "first"}, {"a", "1"}});
    RecordingLogHandler second;
    second.setMetadata({{"k", "second"}});
    second.setMetadataProvider(providing({{"p", "second's provider"}, {"a", "provided"}}));
    MultiplexLogHandler handler = multiplex({first, second}, providing({{"p", "own"}}));
    EXPECT_EQ(handler.metadataValue("k"), MetadataValue("first"));
    EXPECT_FALSE(handler.metadataValue("p"));  // providers are not consulted
    EXPECT_EQ(handler.metadata(), (Metadata{{"k", "second"}, {"a", "provided"}, {"p", "own"}}));

    handler.setMetadataValue("n", MetadataValue("new"));
    for (const auto& inner : handler.handlers()) {
        EXPECT_EQ(inner->metadataValue("n"), MetadataValue("new"));
    }
    handler.setMetadataValue("k", std::nullopt);
    EXPECT_FALSE(handler.metadataValue("k"));
}

TEST(MultiplexLogHandler, ChangingTheMergedViewWritesItIntoEveryHandler) {
    RecordingLogHandler first;
    first.setMetadata({{"a", "1"}});
    RecordingLogHandler second;
    second.setMetadataProvider(providing({{"p", "2"}}));
    Logger logger("l", multiplex({first, second}));
    logger.modifyHandler([](LogHandler& handler) {
        Metadata merged = handler.metadata();
        merged.insert_or_assign("b", "3");
        handler.setMetadata(merged);
    });
    const auto& handlers = dynamic_cast<const MultiplexLogHandler&>(logger.handler()).handlers();
    for (const auto& inner : handlers) {
        EXPECT_EQ(inner->metadata(), (Metadata{{"a", "1"}, {"b", "3"}, {"p", "2"}}));
    }
}

TEST(MultiplexLogHandler, ProviderCombinesTheHandlersThenItsOwn) {
    RecordingLogHandler withProvider;
    withProvider.setMetadataProvider(providing({{"k", "handler"}, {"h", "1"}}));
    const RecordingLogHandler without;

    struct Case {
        const char* name;
        std::vector<RecordingLogHandler> handlers;
        std::optional<MetadataProvider> own;
        std::optional<Metadata> expected;  // none: no provider
    };
    const Case cases[] = {
        {"one handler, neither", {without}, std::nullopt, std::nullopt},
        {"one handler, own only", {without}, providing({{"o", "1"}}), Metadata{{"o", "1"}}},
        {"one handler, its only",
         {withProvider},
         std::nullopt,
         Metadata{{"k", "handler"}, {"h", "1"}}},
        {"one handler, both: own wins",
         {withProvider},
         providing({{"k", "own"}}),
         Metadata{{"k", "own"}, {"h", "1"}}},
        {"empty list", {}, std::nullopt, std::nullopt},
        {"empty list, own", {}, providing({{"o", "1"}}), Metadata{{"o", "1"}}},
        {"two handlers, one provider",
         {without, withProvider},
         std::nullopt,
         Metadata{{"k", "handler"}, {"h", "1"}}},
        {"two handlers and own",
         {withProvider, without},
         providing({{"k", "own"}}),
         Metadata{{"k", "own"}, {"h", "1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<MetadataProvider> provider =
            multiplex(c.handlers, c.own).metadataProvider();
        ASSERT_EQ(provider.has_value(), c.expected.has_value());
        if (provider) {
            EXPECT_EQ(provider->get(), *c.expected);
        }
    }
}

TEST(MultiplexLogHandler, SettingTheProviderReachesEveryHandlerAndKeepsTheOwn) {
    MultiplexLogHandler handler =
        multiplex({RecordingLogHandler(), RecordingLogHandler()}, providing({{"k", "own"}}));
    int calls = 0;
    handler.setMetadataProvider(MetadataProvider([&calls] {
        ++calls;
        return Metadata{{"k", "new"}, {"n", "1"}};
    }));
    const std::optional<MetadataProvider> combined = handler.metadataProvider();
    ASSERT_TRUE(combined);
    EXPECT_EQ(combined->get(), (Metadata{{"k", "own"}, {"n", "1"}}));
    EXPECT_EQ(calls, 2);  // once per handler
}

TEST(MultiplexLogHandler, EmptyListDoesNothing) {
    MultiplexLogHandler handler({});
    EXPECT_EQ(handler.logLevel(), Level::trace);
    handler.log(eventAt(Level::critical));
    handler.setMetadataValue("k", MetadataValue("v"));
    handler.setMetadata({{"k", "v"}});
    EXPECT_FALSE(handler.metadataValue("k"));
    EXPECT_TRUE(handler.metadata().empty());
    EXPECT_FALSE(handler.metadataProvider());
}

TEST(MultiplexLogHandler, CopiesOwnTheirHandlers) {
    MultiplexLogHandler original = multiplex({RecordingLogHandler(Level::info)});
    MultiplexLogHandler copy = original;
    copy.setLogLevel(Level::error);
    EXPECT_EQ(original.handlers()[0]->logLevel(), Level::info);
    EXPECT_EQ(copy.handlers()[0]->logLevel(), Level::error);
}

TEST(NoOpLogHandler, KeepsNothing) {
    NoOpLogHandler handler;
    handler.setLogLevel(Level::trace);
    handler.setMetadata({{"k", "v"}});
    handler.setMetadataValue("k", MetadataValue("v"));
    handler.setMetadataProvider(providing({{"k", "v"}}));
    EXPECT_EQ(handler.logLevel(), Level::critical);
    EXPECT_TRUE(handler.metadata().empty());
    EXPECT_FALSE(handler.metadataValue("k"));
    EXPECT_FALSE(handler.metadataProvider());
}

}  // namespace
}  // namespace logging
