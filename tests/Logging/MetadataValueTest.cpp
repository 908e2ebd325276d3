#include <gtest/gtest.h>

#include "Logging/MetadataValue.h"

namespace logging {
namespace {

class Text final : public StringConvertible {
public:
    explicit Text(std::string text) : text_(std::move(text)) {}
    std::string description() const override {
        ++asked;
        return text_;
    }
    mutable int asked = 0;

private:
    std::string text_;
};

TEST(MetadataValue, RendersAsTheStringsAndBracketedLists) {
    const std::pair<MetadataValue, const char*> cases[] = {
        {MetadataValue("plain \"text\""), "plain \"text\""},
        {MetadataValue::array({"a", "b"}), "[\"a\", \"b\"]"},
        {MetadataValue(MetadataValue::Array{}), "[]"},
        {MetadataValue(Metadata{}), "[:]"},
        {MetadataValue(Metadata{{"k", "v"}}), "[\"k\": \"v\"]"},
        // Nested values are rendered once, then quoted as text.
        {MetadataValue::array({Metadata{{"k", "v"}}}), R"(["[\"k\": \"v\"]"])"},
        {MetadataValue::array({"tab\there", "quote'", "back\\slash", "line\nbreak", "cr\r"}),
         R"(["tab\there", "quote\'", "back\\slash", "line\nbreak", "cr\r"])"},
        {MetadataValue::array({std::string("nul\0!", 5), "bell\a", "del\x7f", "c1\xc2\x85"}),
         R"(["nul\0!", "bell\u{7}", "del\u{7f}", "c1\u{85}"])"},
        {MetadataValue::array({"caf\xc3\xa9"}), "[\"caf\xc3\xa9\"]"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(value.description(), text);
    }
}

TEST(MetadataValue, StringConvertibleIsAskedEveryTimeItIsRendered) {
    auto payload = std::make_shared<Text>("seven");
    const MetadataValue value(payload);
    EXPECT_EQ(value.kind(), MetadataValue::Kind::stringConvertible);
    EXPECT_EQ(value.description(), "seven");
    EXPECT_EQ(value.description(), "seven");
    EXPECT_EQ(payload->asked, 2);
    EXPECT_EQ(MetadataValue(std::shared_ptr<const StringConvertible>()).description(), "");
}

TEST(MetadataValue, EqualityNeedsTheSameCase) {
    const MetadataValue text("7");
    const MetadataValue convertible(std::make_shared<Text>("7"));
    const MetadataValue otherConvertible(std::make_shared<Text>("7"));
    EXPECT_NE(text, convertible);
    EXPECT_EQ(convertible, otherConvertible);
    EXPECT_NE(convertible, MetadataValue(std::make_shared<Text>("8")));
    EXPECT_EQ(MetadataValue::array({"a", "b"}), MetadataValue::array({"a", "b"}));
    EXPECT_NE(MetadataValue::array({"a", "b"}), MetadataValue::array({"a"}));
    EXPECT_NE(MetadataValue::array({"a"}), MetadataValue(Metadata{{"a", "a"}}));
    EXPECT_EQ(MetadataValue(Metadata{{"k", "v"}}), MetadataValue(Metadata{{"k", "v"}}));
    EXPECT_NE(MetadataValue(Metadata{{"k", "v"}}), MetadataValue(Metadata{{"k", "w"}}));
}

TEST(MetadataValueDeathTest, RepeatedKeyInADictionaryLiteralStopsTheProcess) {
    EXPECT_DEATH(MetadataValue::dictionary({{"k", "a"}, {"k", "b"}}), "duplicate keys");
}

}  // namespace
}  // namespace logging
