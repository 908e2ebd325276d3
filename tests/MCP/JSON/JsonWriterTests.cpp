// The JSON writer: what it refuses and how it reports it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"

namespace mcp {
namespace {

TEST(JsonWriter, RefusesNonFiniteNumbersWithTheirPath) {
    const double kInf = std::numeric_limits<double>::infinity();
    const std::pair<Value, std::string> rows[] = {
        {Value(std::nan("")), ""},
        {Value::array({1, kInf}), "[1]"},
        {Value::object({{"a", Value::array({Value::object({{"b", -kInf}})})}}), "a[0].b"},
    };
    for (const auto& [value, path] : rows) {
        try {
            (void)toJson(value);
            ADD_FAILURE() << "wrote " << value.description();
        } catch (const EncodingError& error) {
            EXPECT_EQ(describeCodingPath(error.codingPath()), path);
            EXPECT_NE(std::string(error.what()).find("Unable to encode"), std::string::npos);
        }
    }
}

TEST(JsonWriter, RefusesTextThatIsNotUtf8) {
    EXPECT_THROW((void)toJson(Value(std::string("a\xFF"))), EncodingError);
    EXPECT_THROW((void)toJson(Value::object({{std::string("\xC0\xAF"), 1}})), EncodingError);
    EXPECT_THROW((void)toJson(Value::data({1}, std::string("image/\xFF"))), EncodingError);
}

TEST(JsonWriter, AppendKeepsEarlierOutputOnFailure) {
    std::string out = "prefix:";
    EXPECT_THROW(appendJson(out, Value::array({1, std::nan("")})), EncodingError);
    EXPECT_EQ(out, "prefix:");
    appendJson(out, Value::array({1, 2}));
    EXPECT_EQ(out, "prefix:[1,2]");
}

TEST(JsonWriter, WritesAnObjectAsItsValueWithTheSamePathOnFailure) {
    Object object{{"b", Value::array({1, "t"})}, {"a", Value::object({{"x", Value()}})}};
    std::string out = "prefix:";
    appendJson(out, object);
    EXPECT_EQ(out, "prefix:" + toJson(Value(object)));

    object.insertOrAssign("c", Value::array({std::nan("")}));
    out = "prefix:";
    try {
        appendJson(out, object);
        ADD_FAILURE() << "wrote " << out;
    } catch (const EncodingError& error) {
        EXPECT_EQ(describeCodingPath(error.codingPath()), "c[0]");
    }
    EXPECT_EQ(out, "prefix:");
}

TEST(JsonWriter, EscapesMediaTypesOfDataBuiltInCode) {
    const Value value = Value::data({0}, "text/\"odd\"");
    EXPECT_EQ(toJson(value), R"("data:text/\"odd\";base64,AA==")");
}

TEST(JsonWriter, RefusesValuesNestedTooDeeplyInsteadOfOverflowing) {
    Value value = 1;
    for (int i = 0; i < 20000; ++i) {
        Array wrapper;
        wrapper.push_back(std::move(value));
        value = Value(std::move(wrapper));
    }
    EXPECT_THROW((void)toJson(value), EncodingError);
    // Take the chain apart iteratively; its destructor recursion would be deep otherwise.
    while (Array* array = value.arrayValue()) {
        Value inner = std::move(array->front());
        value = std::move(inner);
    }
}

TEST(JsonWriter, WritesLargeDataAsCanonicalBase64) {
    Bytes bytes(3 * 1000 + 1);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    }
    const Value value = Value::data(bytes, "application/octet-stream");
    const Value back = parseJson(toJson(value));
    EXPECT_EQ(back, value);
    EXPECT_EQ(toJson(back), toJson(value));
}

}  // namespace
}  // namespace mcp
