#include "MCP/HTTP/EventSourceCoding.h"

#include <gtest/gtest.h>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"

namespace mcp {
namespace {

using eventsource::Event;
using ReadyState = eventsource::EventSource::ReadyState;

TEST(EventSourceCoding, EventWritesOnlyPresentFields) {
    EXPECT_EQ(toJson(encodeValue(Event{std::nullopt, std::nullopt, "x", std::nullopt})),
              R"({"data":"x"})");
    EXPECT_EQ(toJson(encodeValue(Event{"7", "update", "a\nb", 500})),
              R"({"data":"a\nb","event":"update","id":"7","retry":500})");
}

TEST(EventSourceCoding, EventReadsNullAsAbsentAndNeedsData) {
    EXPECT_EQ(decodeValue<Event>(parseJson(R"({"data":"x","id":null,"event":null,"retry":null})")),
              (Event{std::nullopt, std::nullopt, "x", std::nullopt}));
    EXPECT_EQ(decodeValue<Event>(parseJson(R"({"data":"","id":"","retry":3})")),
              (Event{"", std::nullopt, "", 3}));
    EXPECT_THROW(decodeValue<Event>(parseJson(R"({"id":"1"})")), DecodingError);
    EXPECT_THROW(decodeValue<Event>(parseJson(R"({"data":1})")), DecodingError);
}

TEST(EventSourceCoding, ReadyStateIsItsRawValue) {
    EXPECT_EQ(toJson(encodeValue(ReadyState::open)), "1");
    EXPECT_EQ(decodeValue<ReadyState>(parseJson("2")), ReadyState::closed);
    EXPECT_THROW(decodeValue<ReadyState>(parseJson("3")), DecodingError);
    EXPECT_THROW(decodeValue<ReadyState>(parseJson("-1")), DecodingError);
}

}  // namespace
}  // namespace mcp
