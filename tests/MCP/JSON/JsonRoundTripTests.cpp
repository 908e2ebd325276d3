// Value through the parser and the writer: the round-trip table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MCP/JSON/Value.h"
#include "tests/MCP/JSON/JsonRoundTripHarness.h"

namespace mcp::testing {
namespace {

using Row = RoundTripRow<Value>;
using Kind = Value::Kind;

constexpr const char* kTruncated =
    "The given data was not valid JSON: the text is malformed or truncated.";
constexpr const char* kBadString =
    "The given data was not valid JSON: a string holds an invalid escape, an unpaired surrogate or "
    "a control character.";
constexpr const char* kBadNumber =
    "The given data was not valid JSON: a number is malformed or too large.";
constexpr const char* kBadUtf8 = "The given data was not valid JSON: the text is not valid UTF-8.";

ExpectedError invalid(const char* description) {
    return ExpectedError{DecodingError::Kind::dataCorrupted, "", description};
}

std::function<void(const Value&)> isKind(Kind kind) {
    return
        [kind](const Value& v) { EXPECT_EQ(static_cast<int>(v.kind()), static_cast<int>(kind)); };
}

std::function<void(const Value&)> isData(std::string mimeType, std::string bytes) {
    return [mimeType, bytes](const Value& v) {
        const Value::Data* data = v.dataValue();
        ASSERT_NE(data, nullptr) << "not the data case";
        ASSERT_TRUE(data->mimeType.has_value());
        EXPECT_EQ(*data->mimeType, mimeType);
        EXPECT_EQ(std::string(data->bytes.begin(), data->bytes.end()), bytes);
    };
}

std::string nested(std::size_t depth, char open, char close, const std::string& inner = "") {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) {
        text += open;
        if (open == '{') {
            text += "\"k\":";
        }
    }
    text += inner.empty() && open == '{' ? "1" : inner;
    text.append(depth, close);
    return text;
}

const std::vector<Row>& rows() {
    static const std::vector<Row> table = {
        // Numbers: the lexical form decides between int and double, and doubles stay doubles.
        {"IntStaysInt", "1", SameAsInput{}, isKind(Kind::Int)},
        {"NegativeZeroIntIsZero", "-0", std::string("0"), isKind(Kind::Int)},
        {"FractionIsDouble", "1.5", SameAsInput{}, isKind(Kind::Double)},
        {"IntegralDoubleKeepsPoint", "1.0", SameAsInput{}, isKind(Kind::Double)},
        {"NegativeZeroDouble", "-0.0", SameAsInput{}, isKind(Kind::Double)},
        {"ExponentIsDouble", "1E2", std::string("100.0"), isKind(Kind::Double)},
        {"LargeExponent", "1e20", std::string("1e+20"), isKind(Kind::Double)},
        {"SmallExponent", "0.0000001", std::string("1e-07"), isKind(Kind::Double)},
        {"ShortestRoundTrip", "0.30000000000000004", SameAsInput{}, isKind(Kind::Double)},
        {"SmallestNormal", "2.2250738585072014e-308", SameAsInput{}, isKind(Kind::Double)},
        {"LargestInt", "9223372036854775807", SameAsInput{}, isKind(Kind::Int)},
        {"SmallestInt", "-9223372036854775808", SameAsInput{}, isKind(Kind::Int)},
        {"BeyondIntIsDouble", "9223372036854775808", std::string("9.223372036854776e+18"),
         isKind(Kind::Double)},
        {"HugeIntegerIsDouble", "123456789012345678901234567890",
         std::string("1.2345678901234568e+29"), isKind(Kind::Double)},
        {"BelowIntIsDouble", "-9223372036854775809", std::string("-9.223372036854776e+18"),
         isKind(Kind::Double)},
        {"HugeNegativeIntegerInsideContainers", R"({"id":[-123456789012345678901234567890]})",
         std::string("{\"id\":[-1.2345678901234568e+29]}")},
        {"HugeIntegerInsideContainers", R"({"b":[1,"\u00e9"],"a":123456789012345678901234567890})",
         std::string("{\"a\":1.2345678901234568e+29,\"b\":[1,\"\xC3\xA9\"]}")},
        {"HugeIntegerThenGarbage", "[123456789012345678901234567890] x", invalid(kTruncated)},
        {"HugeIntegerThenLoneSurrogate", R"([123456789012345678901234567890,"\ud800"])",
         invalid(kBadString)},
        {"HugeIntegerThenTruncated", R"({"a":123456789012345678901234567890,"b":)",
         invalid(kTruncated)},
        {"NumberBeyondDouble", "1e400", invalid(kBadNumber)},
        {"NegativeNumberBeyondDouble", "[-1e400]", invalid(kBadNumber)},
        {"LeadingZero", "[01]", invalid(kBadNumber)},
        {"BareMinus", "[-]", invalid(kBadNumber)},

        // Atoms.
        {"True", "true", SameAsInput{}, isKind(Kind::Bool)},
        {"False", "false", SameAsInput{}, isKind(Kind::Bool)},
        {"Null", "null", SameAsInput{}, isKind(Kind::Null)},
        {"TruncatedAtom", "[tru]", invalid(kTruncated)},

        // Strings: "/" stays unescaped, controls are escaped, escapes of printable text vanish.
        {"SlashNotEscaped", R"("a/b")", SameAsInput{}, isKind(Kind::String)},
        {"EscapedSlashUnescaped", R"("a\/b")", std::string(R"("a/b")")},
        {"ControlsEscaped", R"("\u0001\n\t\"\\")", SameAsInput{}},
        {"UnicodeEscapeWrittenRaw", R"("\u00e9")", std::string("\"\xC3\xA9\"")},
        {"SurrogatePair", R"("\ud83d\ude00")", std::string("\"\xF0\x9F\x98\x80\"")},
        {"EscapedNul", R"("a\u0000b")", SameAsInput{}},
        {"LoneHighSurrogate", R"("\ud800")", invalid(kBadString)},
        {"LoneLowSurrogate", R"(["\udc00x"])", invalid(kBadString)},
        {"HighSurrogateThenLetter", R"("\ud800\u0041")", invalid(kBadString)},
        {"InvalidUtf8", "\"\xFF\"", invalid(kBadUtf8)},
        {"OverlongUtf8", "[\"\xC0\xAF\"]", invalid(kBadUtf8)},
        {"RawControlCharacter", "\"a\x01\"", invalid(kBadString)},

        // Containers: keys come out sorted; for a duplicate key the last one wins.
        {"KeysSorted", R"({"b":1,"a":[true,null],"c":{}})",
         std::string(R"({"a":[true,null],"b":1,"c":{}})")},
        {"DuplicateKeyLastWins", R"({"a":1,"a":2})", std::string(R"({"a":2})")},
        {"WhiteSpaceDropped", " { \"a\" : [ 1 , 2 ] } \n", std::string(R"({"a":[1,2]})")},
        {"EmptyContainers", R"([[],{}])", SameAsInput{}},

        // Malformed and truncated text.
        {"Empty", "", invalid("The given data was not valid JSON: the text is empty.")},
        {"OnlyWhiteSpace", "  \n",
         invalid("The given data was not valid JSON: the text is empty.")},
        {"TruncatedObject", R"({"a":)", invalid(kTruncated)},
        {"TruncatedArray", "[1,", invalid(kTruncated)},
        {"UnclosedArray", "[[]", invalid(kTruncated)},
        {"TruncatedString", R"("abc)", invalid(kBadString)},
        {"TrailingComma", "[1,]", invalid(kTruncated)},
        {"MissingColon", R"({"a" 1})", invalid(kTruncated)},
        {"TrailingGarbage", "[1] x", invalid(kTruncated)},
        {"ExtraClosingBracket", "{}}", invalid(kTruncated)},
        {"TwoScalars", R"("x" "y")", invalid(kTruncated)},

        // Nesting: the limit is 512 levels; a hostile 100,000 levels is a clean error.
        {"DepthAtLimit", nested(512, '[', ']'), SameAsInput{}},
        {"DepthBeyondLimit", nested(513, '[', ']'),
         invalid("The given data was not valid JSON: arrays and objects are nested more than 512 "
                 "levels deep.")},
        {"HostileArrayNesting", nested(100000, '[', ']'),
         invalid("The given data was not valid JSON: arrays and objects are nested more than 512 "
                 "levels deep.")},
        {"HostileObjectNesting", nested(100000, '{', '}'),
         invalid("The given data was not valid JSON: arrays and objects are nested more than 512 "
                 "levels deep.")},
        {"HostileUnclosedNesting", std::string(100000, '['), invalid(kTruncated)},

        // Data URLs: recognised when the payload decodes; the text is written back unchanged.
        {"DataPlainPayload", R"("data:,hello")", SameAsInput{}, isData("text/plain", "hello")},
        {"DataCharset", R"("data:;charset=utf-8,a%20b")", SameAsInput{},
         isData("text/plain;charset=utf-8", "a b")},
        {"DataCharsetDroppedForImages", R"("data:image/png;charset=x;base64,AA==")", SameAsInput{},
         isData("image/png", std::string(1, '\0'))},
        {"DataCanonicalBase64", R"("data:application/octet-stream;base64,aGVsbG8=")", SameAsInput{},
         isData("application/octet-stream", "hello")},
        {"DataEmptyBase64", R"("data:;base64,")", SameAsInput{}, isData("text/plain", "")},
        {"DataWithEscapedQuote", R"("data:,a\"b")", SameAsInput{}, isData("text/plain", "a\"b")},
        {"Base64MarkerInsidePayloadIsText", R"("data:,abc;base64,xyz")", SameAsInput{},
         isData("text/plain", "abc;base64,xyz")},
        {"Base64MarkerInsidePayloadNotDecoded", R"("data:,a;base64,aGk=")", SameAsInput{},
         isData("text/plain", "a;base64,aGk=")},
        {"UpperCaseSchemeIsString", R"("DATA:,x")", SameAsInput{}, isKind(Kind::String)},
        {"ExtraParameterIsString", R"("data:text/plain;foo=bar,x")", SameAsInput{},
         isKind(Kind::String)},
        {"Base64BeforeCharsetIsString", R"("data:text/plain;base64;charset=x,AA==")", SameAsInput{},
         isKind(Kind::String)},
        {"NoCommaIsString", R"("data:text/plain")", SameAsInput{}, isKind(Kind::String)},
        {"BadBase64IsString", R"("data:image/png;base64,AA=")", SameAsInput{},
         isKind(Kind::String)},
        {"Base64StrayBitsIsString", R"("data:image/png;base64,AB==")", SameAsInput{},
         isKind(Kind::String)},
        {"Base64WhiteSpaceIsString", R"("data:image/png;base64,aGVs bG8=")", SameAsInput{},
         isKind(Kind::String)},
        {"BadPercentEscapeIsString", R"("data:,%zz")", SameAsInput{}, isKind(Kind::String)},
        {"PercentToInvalidUtf8IsString", R"("data:,%ff")", SameAsInput{}, isKind(Kind::String)},
        {"DataInsideContainers", R"({"b":["data:,x"]})", SameAsInput{},
         [](const Value& v) {
             EXPECT_NE(v.find("b")->arrayValue()->front().dataValue(), nullptr);
         }},
    };
    return table;
}

class ValueRoundTrip : public ::testing::TestWithParam<Row> {};

TEST_P(ValueRoundTrip, MatchesRow) {
    checkRoundTrip<Value, ValueCodec>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Value, ValueRoundTrip, ::testing::ValuesIn(rows()), rowName<Value>);

}  // namespace
}  // namespace mcp::testing
