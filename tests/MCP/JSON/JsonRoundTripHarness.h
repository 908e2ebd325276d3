// A table-driven round trip for any coded type: JSON text -> Value -> T -> Value -> JSON text.
//
// Each row names an input text and either the exact compact JSON the round trip must write (keys
// sorted) or the decoding failure it must raise (kind, coding path as describeCodingPath renders
// it, description). A row may add a check of the decoded value.
//
// A codec adapts the type under test:
//
//   struct ToolCodec {
//       static Tool decode(const mcp::Value& v) { return mcp::decodeValue<Tool>(v); }
//       static mcp::Value encode(const Tool& t) { return mcp::encodeValue(t); }
//   };
//   INSTANTIATE_TEST_SUITE_P(Tool, ToolRoundTrip, ::testing::ValuesIn(kToolRows), rowName<Tool>);
//   TEST_P(ToolRoundTrip, MatchesRow) { checkRoundTrip<Tool, ToolCodec>(GetParam()); }
//
// For one table over many types, rows name their type by a key into a table of erased codecs and
// the written JSON is compared as a Value, so member order does not matter:
//
//   const CodecTable& codecs() { static const CodecTable t{{"Tool", codec<Tool>()}}; return t; }
//   const TypedCase kCases[] = {
//       ok("Tool", R"({"name":"n","inputSchema":{}})", R"({...})"),
//       fails("Tool", R"({"name":"n"})", DecodingError::Kind::keyNotFound, "inputSchema"),
//   };
//   TEST_P(ToolTable, MatchesRow) { checkTypedCase(GetParam(), codecs()); }
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/DecodingError.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/JSON/TypedJson.h"
#include "MCP/JSON/Value.h"

namespace mcp::testing {

struct ExpectedError {
    DecodingError::Kind kind = DecodingError::Kind::dataCorrupted;
    std::string codingPath;   // as describeCodingPath renders it; "" for the top level
    std::string description;  // the exact debugDescription
};

// Marks a row whose output is its input unchanged.
struct SameAsInput {};

template <class T>
struct RoundTripRow {
    std::string name;  // a test name: letters, digits and underscores
    std::string input;
    std::variant<SameAsInput, std::string, ExpectedError> expected;
    std::function<void(const T&)> check = {};  // extra expectations on the decoded value
};

// The codec of Value itself: decoding a parsed Value is the identity.
struct ValueCodec {
    static Value decode(const Value& value) { return value; }
    static Value encode(const Value& value) { return value; }
};

// Keeps test listings readable: a row prints as its name.
template <class T>
void PrintTo(const RoundTripRow<T>& row, std::ostream* os) {
    *os << row.name;
}

template <class T>
std::string rowName(const ::testing::TestParamInfo<RoundTripRow<T>>& info) {
    return info.param.name;
}

template <class T, class Codec>
void checkRoundTrip(const RoundTripRow<T>& row) {
    SCOPED_TRACE("input: " + row.input.substr(0, 200));
    std::optional<T> decoded;
    std::optional<DecodingError> failure;
    try {
        decoded.emplace(Codec::decode(parseJson(row.input)));
    } catch (const DecodingError& error) {
        failure = error;
    }

    if (const auto* expected = std::get_if<ExpectedError>(&row.expected)) {
        ASSERT_TRUE(failure.has_value()) << "decoded although a failure was expected";
        EXPECT_EQ(toString(failure->kind()), toString(expected->kind));
        EXPECT_EQ(describeCodingPath(failure->codingPath()), expected->codingPath);
        EXPECT_EQ(failure->debugDescription(), expected->description);
        return;
    }
    ASSERT_FALSE(failure.has_value()) << "unexpected failure: " << failure->what();
    if (row.check) {
        row.check(*decoded);
    }
    const std::string& output = std::holds_alternative<SameAsInput>(row.expected)
                                    ? row.input
                                    : std::get<std::string>(row.expected);
    const std::string written = toJson(Codec::encode(*decoded));
    EXPECT_EQ(written, output);
    // What we write must read back to the same value.
    try {
        const T again = Codec::decode(parseJson(written));
        EXPECT_EQ(toJson(Codec::encode(again)), written);
    } catch (const DecodingError& error) {
        ADD_FAILURE() << "our own output did not decode: " << error.what();
    }
}

// Decodes a Value as one type and encodes the result again.
using TypeCodec = std::function<Value(Value)>;
using CodecTable = std::map<std::string_view, TypeCodec>;

// Also checks that the typed writer gives the very text of the Value path for every value read.
template <class T>
TypeCodec codec() {
    return [](Value input) {
        T decoded = decodeValue<T>(std::move(input));
        Value encoded = encodeValue(decoded);
        std::string typed;
        appendTypedJson(typed, decoded);
        EXPECT_EQ(typed, toJson(encoded)) << "typed writer";
        return encoded;
    };
}

struct TypedCase {
    std::string_view type;  // the key of its codec
    std::string_view input;
    // Expected JSON when decoding succeeds ("=" for the input itself)...
    std::optional<std::string_view> output;
    // ...or the failure: kind, path as describeCodingPath renders it, description ("" to accept
    // any).
    DecodingError::Kind kind = DecodingError::Kind::dataCorrupted;
    std::string_view path = "";
    std::string_view text = "";
};

inline TypedCase ok(std::string_view type, std::string_view input, std::string_view output = "=") {
    return {type, input, output};
}

inline TypedCase fails(std::string_view type, std::string_view input, DecodingError::Kind kind,
                       std::string_view path, std::string_view text = "") {
    return {type, input, std::nullopt, kind, path, text};
}

inline void PrintTo(const TypedCase& c, std::ostream* os) {
    *os << c.type << " " << c.input;
}

inline void checkTypedCase(const TypedCase& c, const CodecTable& codecs) {
    SCOPED_TRACE(std::string(c.type) + " " + std::string(c.input));
    const auto found = codecs.find(c.type);
    ASSERT_NE(found, codecs.end()) << "no codec for " << c.type;
    const TypeCodec& run = found->second;
    Value input = parseJson(c.input);
    if (!c.output) {
        try {
            Value actual = run(input);
            ADD_FAILURE() << "decoded as " << toJson(actual);
        } catch (const DecodingError& error) {
            EXPECT_EQ(toString(error.kind()), toString(c.kind)) << error.what();
            EXPECT_EQ(describeCodingPath(error.codingPath()), c.path) << error.what();
            if (!c.text.empty()) {
                EXPECT_EQ(error.debugDescription(), c.text);
            }
        }
        return;
    }
    Value expected = *c.output == "=" ? input : parseJson(*c.output);
    Value actual;
    ASSERT_NO_THROW(actual = run(input));
    EXPECT_EQ(actual, expected) << "gave " << toJson(actual);
    // Encoding again changes nothing, and what we write reads back the same through JSON text.
    EXPECT_EQ(run(actual), actual);
    EXPECT_EQ(run(parseJson(toJson(actual))), actual);
}

}  // namespace mcp::testing
