// The JSON parser: options, error reporting and use from several threads.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "MCP/JsonParser.h"
#include "MCP/JsonWriter.h"

namespace mcp {
namespace {

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
