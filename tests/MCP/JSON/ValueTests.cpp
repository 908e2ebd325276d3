// Value: accessors, lenient conversions, text forms, equality, hashing, the object map.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/JSON/Value.h"

namespace mcp {
namespace {

const std::string kComposedE = "\xC3\xA9";     // U+00E9
const std::string kDecomposedE = "e\xCC\x81";  // U+0065 U+0301
const std::string kKelvin = "\xE2\x84\xAA";    // U+212A, canonically equivalent to "K"

TEST(Value, AccessorsAnswerOnlyForTheirOwnCase) {
    const Value i = 1;
    EXPECT_EQ(i.intValue(), 1);
    EXPECT_EQ(i.doubleValue(), std::nullopt);
    EXPECT_EQ(i.boolValue(), std::nullopt);
    EXPECT_EQ(i.stringValue(), nullptr);

    const Value d = 1.0;
    EXPECT_EQ(d.doubleValue(), 1.0);
    EXPECT_EQ(d.intValue(), std::nullopt);

    const Value s = "data:,hello";  // text from code stays text
    ASSERT_NE(s.stringValue(), nullptr);
    EXPECT_EQ(*s.stringValue(), "data:,hello");
    EXPECT_EQ(s.dataValue(), nullptr);

    EXPECT_TRUE(Value().isNull());
    EXPECT_TRUE(Value(nullptr).isNull());
    EXPECT_FALSE(Value(false).isNull());
    EXPECT_NE(Value::array({1, 2}).arrayValue(), nullptr);
    EXPECT_EQ(Value::array({1, 2}).objectValue(), nullptr);
}

struct ConversionRow {
    const char* name;
    Value value;
    bool strict;
    std::optional<bool> asBool;
    std::optional<std::int64_t> asInt;
    std::optional<double> asDouble;
    std::optional<std::string> asString;
};

TEST(Value, LenientConversionsFollowTheirTable) {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    const ConversionRow rows[] = {
        {"bool strict", true, true, true, {}, {}, {}},
        {"bool lenient", true, false, true, {}, {}, "true"},
        {"int 1 strict", 1, true, {}, 1, 1.0, {}},
        {"int 1 lenient", 1, false, true, 1, 1.0, "1"},
        {"int 0 lenient", 0, false, false, 0, 0.0, "0"},
        {"int 2 lenient", 2, false, {}, 2, 2.0, "2"},
        {"int 7 strict to double", 7, true, {}, 7, 7.0, {}},
        {"double 1.0 lenient", 1.0, false, true, 1, 1.0, "1.0"},
        {"double 3.5 lenient", 3.5, false, {}, {}, 3.5, "3.5"},
        {"double min int",
         -9223372036854775808.0,
         false,
         {},
         kMin,
         -9223372036854775808.0,
         "-9.223372036854776e+18"},
        {"double 2^63 overflows",
         9223372036854775808.0,
         false,
         {},
         {},
         9223372036854775808.0,
         "9.223372036854776e+18"},
        {"string yes strict", "yes", true, {}, {}, {}, "yes"},
        {"string yes lenient", "yes", false, true, {}, {}, "yes"},
        {"string Yes lenient", "Yes", false, {}, {}, {}, "Yes"},
        {"string off lenient", "off", false, false, {}, {}, "off"},
        {"string signed int", "+42", false, {}, 42, 42.0, "+42"},
        {"string negative int", "-42", false, {}, -42, -42.0, "-42"},
        {"string leading space", " 42", false, {}, {}, {}, " 42"},
        {"string lone sign", "-", false, {}, {}, {}, "-"},
        {"string double sign", "+-1", false, {}, {}, {}, "+-1"},
        {"string int overflow",
         "9223372036854775808",
         false,
         {},
         {},
         9223372036854775808.0,
         "9223372036854775808"},
        {"string exponent", "1e3", false, {}, {}, 1000.0, "1e3"},
        {"string hex float", "0x1p4", false, {}, {}, 16.0, "0x1p4"},
        {"string trailing text", "1.5x", false, {}, {}, {}, "1.5x"},
        {"string empty", "", false, {}, {}, {}, ""},
        {"null lenient", Value(), false, {}, {}, {}, {}},
        {"array lenient", Value::array({1}), false, {}, {}, {}, {}},
    };
    for (const ConversionRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.value.asBool(row.strict), row.asBool);
        EXPECT_EQ(row.value.asInt(row.strict), row.asInt);
        EXPECT_EQ(row.value.asDouble(row.strict), row.asDouble);
        EXPECT_EQ(row.value.asString(row.strict), row.asString);
    }
    EXPECT_TRUE(std::isinf(*Value("inf").asDouble(false)));
    EXPECT_TRUE(std::isnan(*Value("nan").asDouble(false)));
    EXPECT_EQ(Value(std::nan("")).asInt(false), std::nullopt);
}

TEST(Value, DescriptionRendersEachCase) {
    const std::pair<Value, std::string> rows[] = {
        {true, "true"},
        {-12, "-12"},
        {1.0, "1.0"},
        {-0.0, "-0.0"},
        {0.1, "0.1"},
        {1e16, "1e+16"},
        {1234567890123456.0, "1234567890123456.0"},
        {0.0001, "0.0001"},
        {0.00001, "1e-05"},
        {5e-324, "5e-324"},
        {"plain text", "plain text"},
        {Value::data({'h', 'i'}), "data:text/plain;base64,aGk="},
        {Value::data({0}, "image/png"), "data:image/png;base64,AA=="},
        {parseJson(R"("data:,hi")"), "data:,hi"},
        {Value::array({1, "a", Value()}), "[1, a, ]"},
        {Value::object({{"b", 2}, {"a", Value::array({})}}), "[\"a\": [], \"b\": 2]"},
        {Value::object({}), "[:]"},
        {Value(), ""},
    };
    for (const auto& [value, text] : rows) {
        EXPECT_EQ(value.description(), text);
    }
}

TEST(Value, EqualityComparesCaseAndPayload) {
    EXPECT_NE(Value(1), Value(1.0));
    EXPECT_EQ(Value(0.0), Value(-0.0));
    EXPECT_NE(Value(std::nan("")), Value(std::nan("")));
    EXPECT_NE(Value(true), Value(1));
    EXPECT_EQ(Value(), Value(nullptr));
    EXPECT_NE(Value(), Value(false));
    EXPECT_NE(Value("data:,x"), parseJson(R"("data:,x")"));
    EXPECT_EQ(Value::data({1, 2}), Value::data({1, 2}));
    EXPECT_NE(Value::data({1, 2}), Value::data({1, 2}, "text/plain"));
    EXPECT_NE(Value::data({1, 2}, "image/png"), Value::data({1, 2}, "image/jpeg"));
    EXPECT_NE(Value::array({1, 2}), Value::array({1}));
    EXPECT_NE(Value::array({1, 2}), Value::array({2, 1}));
    EXPECT_EQ(Value::object({{"a", 1}, {"b", 2}}), Value::object({{"b", 2}, {"a", 1}}));
    EXPECT_NE(Value::object({{"a", 1}}), Value::object({{"a", 1}, {"b", 2}}));
}

TEST(Value, DataWithoutMediaTypeComesBackAsTextPlain) {
    const Value original = Value::data({'h', 'i'});
    const Value back = parseJson(toJson(original));
    ASSERT_NE(back.dataValue(), nullptr);
    EXPECT_EQ(back.dataValue()->mimeType, "text/plain");
    EXPECT_EQ(back.dataValue()->bytes, original.dataValue()->bytes);
    EXPECT_NE(back, original);
}

TEST(Value, TextsCompareByCanonicalEquivalence) {
    EXPECT_EQ(Value(kComposedE), Value(kDecomposedE));
    EXPECT_EQ(Value(kKelvin), Value("K"));
    EXPECT_NE(Value(kComposedE), Value("e"));
    EXPECT_NE(Value("a"), Value("b"));
    EXPECT_EQ(Value::array({kComposedE}), Value::array({kDecomposedE}));
    EXPECT_EQ(Value::data({1}, "text/" + kComposedE), Value::data({1}, "text/" + kDecomposedE));
    // Bytes that are no UTF-8 compare bytewise.
    EXPECT_EQ(Value(std::string("\xFF")), Value(std::string("\xFF")));
    EXPECT_NE(Value(std::string("\xFF")), Value(std::string("\xFE")));
}

TEST(Value, EqualValuesHashAlike) {
    const std::pair<Value, Value> equal[] = {
        {Value(kComposedE), Value(kDecomposedE)},
        {Value(kKelvin), Value("K")},
        {Value(0.0), Value(-0.0)},
        {Value::object({{"a", kComposedE}, {"b", 1}}),
         Value::object({{"b", 1}, {"a", kDecomposedE}})},
        {Value::data({1, 2}, "image/png"), parseJson(R"("data:image/png;base64,AQI=")")},
        {parseJson(R"("data:,hi")"), Value::data({'h', 'i'}, "text/plain")},
    };
    for (const auto& [a, b] : equal) {
        SCOPED_TRACE(a.description());
        EXPECT_EQ(a, b);
        EXPECT_EQ(a.hash(), b.hash());
        EXPECT_EQ(std::hash<Value>{}(a), std::hash<Value>{}(b));
    }
    // Different cases with the same bits do not collide by construction.
    const std::vector<Value> distinct = {
        Value(),   Value(false), Value(true),     Value(0),         Value(1),         Value(0.5),
        Value(""), Value("0"),   Value::data({}), Value::array({}), Value::object({})};
    std::unordered_set<std::size_t> hashes;
    for (const Value& v : distinct) {
        hashes.insert(v.hash());
    }
    EXPECT_EQ(hashes.size(), distinct.size());
    EXPECT_EQ(textHash(kComposedE), textHash(kDecomposedE));
}

TEST(Value, DataKeepsTheTextItWasReadFrom) {
    const Value value = parseJson(R"("data:;charset=utf-8,a%20b")");
    EXPECT_EQ(value.jsonString(), "data:;charset=utf-8,a%20b");
    EXPECT_EQ(toJson(value), R"("data:;charset=utf-8,a%20b")");
    // Built in code: the URL is made from the parts.
    EXPECT_EQ(Value::data({'a'}, "text/plain").jsonString(), "data:text/plain;base64,YQ==");
    EXPECT_EQ(Value::fromJsonString("data:,a").dataValue()->bytes, Bytes{'a'});
    EXPECT_NE(Value::fromJsonString("data:,%zz").stringValue(), nullptr);
    EXPECT_EQ(Value(3).jsonString(), std::nullopt);
}

TEST(Value, CopiesAreIndependentAndMovesLeaveValidValues) {
    Value original = Value::object({{"list", Value::array({1, 2})}});
    Value copy = original;
    copy.objectValue()->find("list")->arrayValue()->push_back(3);
    EXPECT_EQ(original.find("list")->arrayValue()->size(), 2u);
    Value moved = std::move(copy);
    EXPECT_EQ(moved.find("list")->arrayValue()->size(), 3u);
}

TEST(Object, KeepsKeysSortedAndUnique) {
    Object object{{"b", 1}, {"a", 2}, {"b", 3}};  // the later "b" wins
    ASSERT_EQ(object.size(), 2u);
    EXPECT_EQ(object.begin()->first, "a");
    EXPECT_EQ(*object.find("b"), Value(3));

    object.insertOrAssign("c", 4);
    object.insertOrAssign("a", 5);
    object["0"] = 6;
    std::vector<std::string> keys;
    for (const auto& entry : object) {
        keys.push_back(entry.first);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"0", "a", "b", "c"}));
    EXPECT_EQ(*object.find("a"), Value(5));
    EXPECT_TRUE(object.erase("b"));
    EXPECT_FALSE(object.erase("b"));
    EXPECT_FALSE(object.contains("b"));
    EXPECT_EQ(object.find("missing"), nullptr);
    EXPECT_TRUE(object["new"].isNull());
}

}  // namespace
}  // namespace mcp
