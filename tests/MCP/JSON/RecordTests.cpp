// The field-table mechanism every plain record type relies on.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/JSON/Record.h"

namespace mcp {
namespace {

using mcp::operator==;

struct Inner {
    std::int32_t count = 0;
    static constexpr auto codingFields() { return std::tuple{field("count", &Inner::count)}; }
};

struct Sample {
    enum class Colour { red, green };
    friend constexpr auto rawValues(Colour) {
        return RawValues<Colour, 2>{"Colour", {{{Colour::red, "red"}, {Colour::green, "green"}}}};
    }

    std::string name;
    std::optional<std::string> note{};
    std::optional<std::string> description{};
    std::string mode = "auto";
    std::vector<Inner> items{};
    std::optional<std::map<std::string, Value>> extra{};
    std::optional<Colour> colour{};
    double weight = 0;

    static constexpr auto codingFields() {
        return std::tuple{field("name", &Sample::name),
                          optionalField("note", &Sample::note),
                          nullableField("description", &Sample::description),
                          defaultedField("mode", &Sample::mode, [] { return std::string("auto"); }),
                          defaultedField("items", &Sample::items),
                          optionalField("extra", &Sample::extra),
                          optionalField("colour", &Sample::colour),
                          defaultedField("weight", &Sample::weight)};
    }
};

Sample decodeSample(std::string_view json) {
    return decodeValue<Sample>(parseJson(json));
}

TEST(Record, EncodesEachKindOfField) {
    Sample sample{.name = "a", .items = {{1}, {2}}, .colour = Sample::Colour::green};
    EXPECT_EQ(toJson(encodeValue(sample)),
              R"({"colour":"green","description":null,"items":[{"count":1},{"count":2}],)"
              R"("mode":"auto","name":"a","weight":0.0})");
}

TEST(Record, DecodesDefaultsAndIgnoresUnknownKeys) {
    Sample sample = decodeSample(R"({"name":"a","mode":null,"unknown":[1],"note":null})");
    EXPECT_EQ(sample.name, "a");
    EXPECT_EQ(sample.mode, "auto");
    EXPECT_EQ(sample.note, std::nullopt);
    EXPECT_EQ(sample.description, std::nullopt);
    EXPECT_TRUE(sample.items.empty());
    EXPECT_EQ(sample.weight, 0.0);
    EXPECT_EQ(decodeSample(R"({"name":"a","weight":3})").weight, 3.0);
}

struct Failure {
    std::string_view json;
    DecodingError::Kind kind;
    std::string_view path;
};

TEST(Record, FailuresCarryTheirPath) {
    const Failure failures[] = {
        {R"({"note":"x"})", DecodingError::Kind::keyNotFound, "name"},
        {R"({"name":null})", DecodingError::Kind::valueNotFound, "name"},
        {R"({"name":5})", DecodingError::Kind::typeMismatch, "name"},
        {R"({"name":"a","items":[{"count":1},{"count":"2"}]})", DecodingError::Kind::typeMismatch,
         "items[1].count"},
        {R"({"name":"a","items":[{"count":4294967296}]})", DecodingError::Kind::dataCorrupted,
         "items[0].count"},
        {R"({"name":"a","items":[{"count":1.5}]})", DecodingError::Kind::dataCorrupted,
         "items[0].count"},
        {R"({"name":"a","extra":{"k":1,"l":2},"colour":"blue"})",
         DecodingError::Kind::dataCorrupted, "colour"},
        {R"({"name":"a","extra":[]})", DecodingError::Kind::typeMismatch, "extra"},
        {R"(["name"])", DecodingError::Kind::typeMismatch, ""},
    };
    for (const auto& f : failures) {
        try {
            decodeSample(f.json);
            ADD_FAILURE() << f.json << " decoded";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), f.kind) << f.json << ": " << error.what();
            EXPECT_EQ(describeCodingPath(error.codingPath()), f.path) << f.json;
        }
    }
}

TEST(Record, IntegralNumbersReadAsIntegers) {
    EXPECT_EQ(decodeValue<Inner>(parseJson(R"({"count":2.0})")).count, 2);
    EXPECT_EQ(decodeValue<Inner>(parseJson(R"({"count":-2147483648})")).count, -2147483648);
}

TEST(Record, EqualityAndHashingFollowTheTable) {
    std::hash<Sample> hash;
    Sample a{.name = "caf\xC3\xA9", .extra = std::map<std::string, Value>{{"x", 1}, {"y", "z"}}};
    Sample b{.name = "cafe\xCC\x81", .extra = std::map<std::string, Value>{{"y", "z"}, {"x", 1}}};
    EXPECT_EQ(a, b);
    EXPECT_EQ(hash(a), hash(b));
    Sample c = a;
    c.note = "";
    EXPECT_NE(a, c);
    EXPECT_NE(hash(a), hash(c));
    Sample d = a;
    d.weight = -0.0;
    EXPECT_EQ(a, d);
    EXPECT_EQ(hash(a), hash(d));
    std::unordered_set<Sample> set{a, b, c};
    EXPECT_EQ(set.size(), 2U);
}

TEST(Record, DecodingFromAnRvalueMovesNestedValues) {
    Value big = Value::array({Value::object({{"k", "a long enough text to live on the heap"}})});
    Value source = Value::object({{"name", "n"}, {"extra", Value::object({{"big", big}})}});
    Sample sample = decodeValue<Sample>(std::move(source));
    ASSERT_TRUE(sample.extra);
    EXPECT_EQ(sample.extra->at("big"), big);
    Sample again = decodeValue<Sample>(encodeValue(sample));
    EXPECT_EQ(again, sample);
}

TEST(Record, StringsThatAreDataURLsEncodeAsAJsonRoundTripWould) {
    Inner unused;
    (void)unused;
    Value encoded = encodeValue(std::string("data:,hello"));
    EXPECT_EQ(encoded.kind(), Value::Kind::Data);
    EXPECT_EQ(toJson(encoded), R"("data:,hello")");
    EXPECT_EQ(decodeValue<std::string>(encoded), "data:,hello");
    EXPECT_EQ(encodeValue(std::string("plain ;base64, text")).kind(), Value::Kind::String);
}

}  // namespace
}  // namespace mcp
