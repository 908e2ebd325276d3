// The JSON parser: options, error reporting, use from several threads, and reading in place.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "MCP/JSON/JsonElement.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"

namespace mcp {
namespace {

// Expected reading of a number text: the int or double case with its value, or absent (refused).
using Number = std::optional<Value>;

// Doubles compare bit for bit, so that -0.0 differs from 0.0.
std::string describeNumber(const std::optional<Value>& value) {
    if (!value) {
        return "refused";
    }
    if (const std::optional<std::int64_t> i = value->intValue()) {
        return "int " + std::to_string(*i);
    }
    if (const std::optional<double> d = value->doubleValue()) {
        return "double bits " + std::to_string(std::bit_cast<std::uint64_t>(*d)) + " (" +
               toJson(*value) + ")";
    }
    return "other " + toJson(*value);
}

// An integer beyond 64 bits sends the whole document down the parser's second path; every number
// must read there exactly as it reads alone.
TEST(JsonParser, NumbersReadTheSameAloneAndBesideAnIntegerBeyond64Bits) {
    constexpr double kLargest = std::numeric_limits<double>::max();
    constexpr double kSmallestSubnormal = std::numeric_limits<double>::denorm_min();
    const struct {
        std::string text;
        Number expected;
    } rows[] = {
        {"0", Value(0)},
        {"-0", Value(0)},
        {"-0.0", Value(-0.0)},
        {"17", Value(17)},
        {"9223372036854775807", Value(std::numeric_limits<std::int64_t>::max())},
        {"-9223372036854775808", Value(std::numeric_limits<std::int64_t>::min())},
        {"9223372036854775808", Value(9223372036854775808.0)},
        {"-9223372036854775809", Value(-9223372036854775808.0)},
        {"18446744073709551615", Value(18446744073709551616.0)},
        {"18446744073709551616", Value(18446744073709551616.0)},
        {"-82231682216231682216", Value(-82231682216231682216.0)},
        {"123456789012345678901234567890", Value(1.2345678901234568e+29)},
        {"0.1", Value(0.1)},
        {"0.30000000000000004", Value(0.30000000000000004)},
        {"-0.33333333333333333333", Value(-0.33333333333333333333)},
        {"3.14159265358979323846264338327950288419716939937510", Value(3.141592653589793)},
        // Halfway between two doubles: ties to even, and any later non-zero digit rounds up.
        {"9007199254740993.0", Value(9007199254740992.0)},
        {"9007199254740993.00000000000000000001", Value(9007199254740994.0)},
        {"1E2", Value(100.0)},
        {"1e+2", Value(100.0)},
        {"25e-2", Value(0.25)},
        {"1e0000000000000000000000000001", Value(10.0)},
        {"1e-0000000000000000000000000001", Value(0.1)},
        {"1.7976931348623157e308", Value(kLargest)},
        {"4.9406564584124654e-324", Value(kSmallestSubnormal)},
        {"2.4703282292062328e-324", Value(kSmallestSubnormal)},
        // Too small for a double: zero of the number's sign.
        {"2e-324", Value(0.0)},
        {"1e-400", Value(0.0)},
        {"-1e-400", Value(-0.0)},
        {"0.00000000000000000000000000000000000000000000000001e-300", Value(0.0)},
        {"1e-99999999999999999999", Value(0.0)},
        {"-1e-99999999999999999999", Value(-0.0)},
        // Too large for a double, or not JSON numbers.
        {"1.7976931348623159e308", std::nullopt},
        {"1e400", std::nullopt},
        {"-1e400", std::nullopt},
        {"1e99999999999999999999", std::nullopt},
        {"100000000000000000000000000000000000000000000000000e300", std::nullopt},
        {"01", std::nullopt},
        {"-01", std::nullopt},
        {"-", std::nullopt},
        {"+1", std::nullopt},
        {".5", std::nullopt},
        {"1.", std::nullopt},
        {"1.e5", std::nullopt},
        {"1e", std::nullopt},
        {"1e+", std::nullopt},
        {"0x10", std::nullopt},
        {"1-2", std::nullopt},
        {"Infinity", std::nullopt},
        {"NaN", std::nullopt},
    };
    const std::string big = "18446744073709551616";
    for (const auto& row : rows) {
        const std::string expected = describeNumber(row.expected);
        EXPECT_EQ(describeNumber(tryParseJson(row.text)), expected) << row.text << " alone";
        const std::string before = "[" + row.text + "," + big + "]";
        const std::string after = "[" + big + ", " + row.text + " ]";
        const std::string member = R"({"a":)" + row.text + R"(,"b":[)" + big + "]}";
        const auto element = [](const std::optional<Value>& document, std::size_t index) {
            return document ? std::optional<Value>(document->arrayValue()->at(index))
                            : std::nullopt;
        };
        EXPECT_EQ(describeNumber(element(tryParseJson(before), 0)), expected) << before;
        EXPECT_EQ(describeNumber(element(tryParseJson(after), 1)), expected) << after;
        const std::optional<Value> object = tryParseJson(member);
        EXPECT_EQ(describeNumber(object ? std::optional<Value>(*object->find("a")) : std::nullopt),
                  expected)
            << member;
    }
}

TEST(JsonParser, DepthLimitIsAnOption) {
    const std::string text = "[[[[1]]]]";
    EXPECT_NO_THROW((void)parseJson(text, JsonReadOptions{4}));
    DecodingError error(DecodingError::Kind::typeMismatch, {}, "");
    EXPECT_FALSE(tryParseJson(text, &error, JsonReadOptions{3}).has_value());
    EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
    EXPECT_TRUE(error.codingPath().empty());
    EXPECT_EQ(std::string(error.what()),
              "The given data was not valid JSON: arrays and objects are nested more than 3 levels "
              "deep.");
    // A limit above what the parser can nest is capped, and the error names the cap.
    const std::string deeper = std::string(1500, '[') + std::string(1500, ']');
    EXPECT_FALSE(tryParseJson(deeper, &error, JsonReadOptions{2000}).has_value());
    EXPECT_EQ(std::string(error.what()),
              "The given data was not valid JSON: arrays and objects are nested more than 1024 "
              "levels deep.");
}

TEST(JsonParser, ParsesAfterAFailureAsBefore) {
    EXPECT_FALSE(tryParseJson(R"({"a":[1,2,{"b":)").has_value());
    EXPECT_EQ(toJson(parseJson(R"({"a":[1,2,{"b":3}]})")), R"({"a":[1,2,{"b":3}]})");
}

TEST(JsonParser, ReadsTextWithoutTerminatorOrPadding) {
    const std::string backing = "[1,2]garbage";
    EXPECT_EQ(toJson(parseJson(std::string_view(backing).substr(0, 5))), "[1,2]");
}

TEST(JsonParser, ParsesOnAfterADocumentLargerThanItsKeptBuffers) {
    const std::string big = "[\"" + std::string(9u << 20, 'x') + "\",1]";
    const Value value = parseJson(big);
    EXPECT_EQ(value.arrayValue()->front().stringValue()->size(), 9u << 20);
    EXPECT_EQ(toJson(parseJson(R"({"b":[1],"a":2})")), R"({"a":2,"b":[1]})");
    EXPECT_EQ(toJson(value).size(), big.size());
}

TEST(JsonParser, ParsesOnManyThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> good(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &good] {
            for (int i = 0; i < 200; ++i) {
                const std::string text = R"({"thread":)" + std::to_string(t) + R"(,"i":)" +
                                         std::to_string(i) + R"(,"list":[1.5,"x",null]})";
                if (toJson(parseJson(text)) == R"({"i":)" + std::to_string(i) +
                                                   R"(,"list":[1.5,"x",null],"thread":)" +
                                                   std::to_string(t) + "}") {
                    ++good[static_cast<std::size_t>(t)];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(good, std::vector<int>(8, 200));
}

// --- Reading in place -----------------------------------------------------------------------

std::string nested(std::size_t levels) {
    return std::string(levels, '[') + "1" + std::string(levels, ']');
}

TEST(JsonElement, VisitsWhatParseJsonReadsAndBuildsTheSameValue) {
    const std::string texts[] = {
        "null",
        "true",
        "-7",
        "9223372036854775807",
        "18446744073709551615",
        "1.5e-3",
        R"("data:text/plain;base64,aGk=")",
        R"("data:,not base64 %")",
        R"({"b":1,"a":[true,{"x":"y\u00e9"}],"b":2})",
        R"([{},[],"",0.0,-0.0])",
        nested(512),
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 60));
        std::optional<Value> built;
        EXPECT_TRUE(visitJson(text, [&](const JsonElement& root) { built = root.toValue(); }));
        ASSERT_TRUE(built);
        EXPECT_EQ(toJson(*built), toJson(parseJson(text)));
        EXPECT_EQ(built->kind(), parseJson(text).kind());
    }
}

TEST(JsonElement, RefusesWhatParseJsonRefusesAndNumbersBeyond64Bits) {
    const std::string texts[] = {"", "{", "[1,]", "\"\xff\"", "1 2", nested(513),
                                 "[1, 123456789012345678901234567890]"};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 60));
        bool visited = false;
        EXPECT_FALSE(visitJson(text, [&](const JsonElement&) { visited = true; }));
        EXPECT_FALSE(visited);
    }
    // The last one is valid: the Value road reads it.
    EXPECT_NO_THROW(parseJson("[1, 123456789012345678901234567890]"));
}

TEST(JsonElement, ReadsKindsMembersAndTheLastOfRepeatedKeys) {
    const std::string text =
        R"({"id":1,"list":[1,-2,3.5,18446744073709551615],"id":"two","t":true,"n":null})";
    ASSERT_TRUE(visitJson(text, [&](const JsonElement& root) {
        EXPECT_EQ(root.kind(), JsonElement::Kind::object);
        EXPECT_EQ(root.size(), 5u);
        EXPECT_EQ(root.find("id")->string(), "two");
        EXPECT_FALSE(root.find("missing"));
        EXPECT_EQ(root.find("t")->boolean(), true);
        EXPECT_TRUE(root.find("n")->isNull());
        EXPECT_FALSE(root.find("n")->string());

        std::vector<std::string> keys;
        JsonElement::Members members = root.members();
        std::string_view key;
        JsonElement member;
        while (members.next(key, member)) {
            keys.emplace_back(key);
        }
        EXPECT_EQ(keys, (std::vector<std::string>{"id", "list", "id", "t", "n"}));

        const JsonElement list = *root.find("list");
        EXPECT_EQ(list.size(), 4u);
        std::vector<JsonElement::Kind> kinds;
        std::vector<std::optional<double>> numbers;
        JsonElement::Elements elements = list.elements();
        JsonElement element;
        while (elements.next(element)) {
            kinds.push_back(element.kind());
            numbers.push_back(element.number());
        }
        using Kind = JsonElement::Kind;
        EXPECT_EQ(kinds, (std::vector<Kind>{Kind::integer, Kind::integer, Kind::number,
                                            Kind::number}));
        EXPECT_EQ(numbers, (std::vector<std::optional<double>>{1.0, -2.0, 3.5, 0x1p64}));
        EXPECT_FALSE(list.find("id"));
        EXPECT_FALSE(list.members().next(key, member));
        EXPECT_FALSE(root.elements().next(element));
        EXPECT_FALSE(root.find("id")->integer());
    }));
}

TEST(JsonElement, AVisitMayParseOtherTextMeanwhile) {
    ASSERT_TRUE(visitJson(R"({"outer":[1,2,3]})", [&](const JsonElement& root) {
        EXPECT_EQ(toJson(parseJson(R"({"inner":true})")), R"({"inner":true})");
        EXPECT_TRUE(visitJson("[4]", [](const JsonElement& inner) {
            EXPECT_EQ(inner.size(), 1u);
        }));
        EXPECT_EQ(toJson(root.toValue()), R"({"outer":[1,2,3]})");
    }));
    // And the thread's parser is free again afterwards.
    EXPECT_EQ(toJson(parseJson("[5]")), "[5]");
}

TEST(DecodingError, RendersKindPathAndSentence) {
    const DecodingError error =
        DecodingError::keyNotFound({CodingKey::key("params"), CodingKey::at(2)}, "name");
    EXPECT_EQ(error.kind(), DecodingError::Kind::keyNotFound);
    EXPECT_EQ(describeCodingPath(error.codingPath()), "params[2].name");
    EXPECT_EQ(error.debugDescription(), "No value associated with key \"name\".");
    EXPECT_EQ(std::string(error.what()),
              "No value associated with key \"name\". (at params[2].name)");

    const DecodingError outer = error.prepending(CodingKey::key("message"));
    EXPECT_EQ(describeCodingPath(outer.codingPath()), "message.params[2].name");
    EXPECT_EQ(std::string(outer.what()),
              "No value associated with key \"name\". (at message.params[2].name)");
    EXPECT_EQ(DecodingError::typeMismatch({}, "a string", "an integer").debugDescription(),
              "Expected to decode a string but found an integer instead.");
    EXPECT_EQ(toString(DecodingError::Kind::dataCorrupted), "dataCorrupted");
}

}  // namespace
}  // namespace mcp
