// Data URLs, strict base64 and percent-decoding.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "MCP/JSON/DataURL.h"

namespace mcp {
namespace {

struct URLRow {
    const char* text;
    bool isURL;
    std::optional<std::string> mimeType;  // absent: no components
    std::string bytes = {};
};

TEST(DataURL, MatchesAndSplitsByThePattern) {
    const URLRow rows[] = {
        {"data:,hello", true, "text/plain", "hello"},
        {"data:;charset=utf-8,a%20b", true, "text/plain;charset=utf-8", "a b"},
        {"data:image/png;charset=x;base64,AA==", true, "image/png", std::string(1, '\0')},
        {"data:text/html;charset=latin1;base64,aGk=", true, "text/html;charset=latin1", "hi"},
        {"data:,abc;base64,xyz", true, "text/plain", "abc;base64,xyz"},
        {"data:,", true, "text/plain", ""},
        {"data:a/b;base64,", true, "a/b", ""},
        {"data:text/plain;charset=,x", false, std::nullopt},
        {"data:text/plain;foo=bar,x", false, std::nullopt},
        {"data:text/plain;base64;x,AA==", false, std::nullopt},
        {"data:text/plain", false, std::nullopt},
        {"DATA:,x", false, std::nullopt},
        {" data:,x", false, std::nullopt},
        {"data:;base64,AA=", true, std::nullopt},
        {"data:,%4", true, std::nullopt},
        {"data:,%C3%A9", true, "text/plain", "\xC3\xA9"},
        {"data:,%C3", true, std::nullopt},
    };
    for (const URLRow& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(isDataURL(row.text), row.isURL);
        const std::optional<DataURLComponents> parts = dataURLComponents(row.text);
        ASSERT_EQ(parts.has_value(), row.mimeType.has_value());
        if (parts) {
            EXPECT_EQ(parts->mimeType, *row.mimeType);
            EXPECT_EQ(std::string(parts->bytes.begin(), parts->bytes.end()), row.bytes);
        }
    }
}

TEST(DataURL, MakesBase64URLs) {
    const Bytes hi = {'h', 'i'};
    EXPECT_EQ(makeDataURL(hi), "data:text/plain;base64,aGk=");
    EXPECT_EQ(makeDataURL(hi, "image/png"), "data:image/png;base64,aGk=");
    EXPECT_EQ(makeDataURL({}, "a/b"), "data:a/b;base64,");
}

TEST(Base64, EncodesAndDecodesStrictly) {
    const std::pair<std::string, std::string> known[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xFF\xFE\xFD", "//79"},
    };
    for (const auto& [plain, encoded] : known) {
        const Bytes bytes(plain.begin(), plain.end());
        EXPECT_EQ(base64Encode(bytes), encoded);
        EXPECT_EQ(base64Decode(encoded), bytes);
    }
    for (const char* bad : {"Zg", "Zg=", "Zh==", "Zm9=", "Zm9v\n", "Zm 9v", "Z===", "====", "Zm-v",
                            "Zm_v", "=Zm9", "Zg==Zg=="}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(base64Decode(bad), std::nullopt);
    }
}

TEST(PercentDecode, DecodesEscapesAndRequiresUtf8) {
    EXPECT_EQ(percentDecode("a%20b%2f"), "a b/");
    EXPECT_EQ(percentDecode("plain"), "plain");
    EXPECT_EQ(percentDecode("%"), std::nullopt);
    EXPECT_EQ(percentDecode("%2"), std::nullopt);
    EXPECT_EQ(percentDecode("%g0"), std::nullopt);
    EXPECT_EQ(percentDecode("%FF"), std::nullopt);
    EXPECT_EQ(percentDecode("%E2%82%AC"), "\xE2\x82\xAC");
}

}  // namespace
}  // namespace mcp
