#include <gtest/gtest.h>

#include "Logging/Level.h"

namespace logging {
namespace {

TEST(Level, OrderAndRawValuesFollowTheTable) {
    const char* expected[] = {"trace", "debug", "info", "notice", "warning", "error", "critical"};
    for (std::size_t i = 0; i < allLevels.size(); ++i) {
        EXPECT_EQ(rawValue(allLevels[i]), expected[i]);
        EXPECT_EQ(static_cast<std::size_t>(allLevels[i]), i);
    }
    EXPECT_LT(Level::info, Level::notice);
    EXPECT_LT(Level::notice, Level::warning);
    EXPECT_EQ(sizeof(Level), 1u);
}

TEST(Level, RawValueIsCaseSensitiveButTextIsNot) {
    struct Case {
        const char* text;
        std::optional<Level> fromRaw;
        std::optional<Level> fromText;
    };
    const Case cases[] = {
        {"error", Level::error, Level::error},     {"Error", std::nullopt, Level::error},
        {"WARNING", std::nullopt, Level::warning}, {"Warning", std::nullopt, Level::warning},
        {"fatal", std::nullopt, std::nullopt},     {"", std::nullopt, std::nullopt},
        {"info ", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(levelFromRawValue(c.text), c.fromRaw) << c.text;
        EXPECT_EQ(levelFromText(c.text), c.fromText) << c.text;
    }
}

TEST(Level, DecodingAcceptsOnlyRawValues) {
    for (const Level level : allLevels) {
        EXPECT_EQ(decodeLevel(encodeLevel(level)), level);
    }
    EXPECT_THROW(decodeLevel("fatal"), LevelDecodingError);
    EXPECT_THROW(decodeLevel("Info"), LevelDecodingError);
}

}  // namespace
}  // namespace logging
