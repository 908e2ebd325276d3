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
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <variant>

#include "MCP/DecodingError.h"
#include "MCP/JsonParser.h"
#include "MCP/JsonWriter.h"
#include "MCP/Value.h"

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

}  // namespace mcp::testing
