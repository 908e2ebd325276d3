#include "EventSource/Parser.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace eventsource {
namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Event ev(std::string data, std::optional<std::string> id = std::nullopt,
         std::optional<std::string> type = std::nullopt,
         std::optional<std::int64_t> retry = std::nullopt) {
    return Event{std::move(id), std::move(type), std::move(data), retry};
}

std::vector<Event> drain(Parser& parser) {
    std::vector<Event> events;
    while (auto event = parser.getNextEvent()) {
        events.push_back(std::move(*event));
    }
    return events;
}

struct Case {
    const char* name;
    std::string input;  // the whole stream; finish() follows
    std::vector<Event> events;
    std::string lastEventId = "";
    std::int64_t reconnectionTime = 3000;
};

std::string nul(std::string text) {
    for (char& c : text) {
        if (c == '@') {
            c = '\0';
        }
    }
    return text;
}

const std::vector<Case>& cases() {
    static const std::vector<Case> table = {
        {"TwoDataLinesJoinWithLineFeed", "data: a\ndata: b\n\n", {ev("a\nb")}},
        {"LeadingEmptyDataAddsNothing", "data:\ndata: x\n\n", {ev("x")}},
        {"EmptyDataBetweenKeepsItsLine", "data: a\ndata\ndata: b\n\n", {ev("a\n\nb")}},
        {"FieldWithoutColonHasEmptyValue", "data\n\n", {ev("")}},
        {"OnlyOneBlankIsRemoved", "data:  x\n\n", {ev(" x")}},
        {"NoBlankAfterColon", "data:x\n\n", {ev("x")}},
        {"ColonInValueStays", "data: a:b\n\n", {ev("a:b")}},
        {"OtherLetterCaseIsIgnored", "DATA: x\nData: y\n\n", {}},
        {"CommentsAreIgnored", ":\n: hello\ndata: x\n:another\n\n", {ev("x")}},
        {"EventType", "event: update\n\n", {ev("", std::nullopt, "update")}},
        {"EmptyEventTypeIsPresent", "event\n\n", {ev("", std::nullopt, "")}},
        {"IdIsKeptAsLastEventId", "id: 42\n\ndata: x\n\n", {ev("", "42"), ev("x")}, "42"},
        {"EmptyIdClearsLastEventId", "id: 7\n\nid\n\n", {ev("", "7"), ev("", "")}, ""},
        {"IdWithNulIsRefused", nul("id: 5\n\nid: a@b\ndata: x\n\n"), {ev("", "5"), ev("x")}, "5"},
        {"RetryAloneQueuesNothing", "retry: 1000\n\n", {}, "", 1000},
        {"RetryTravelsWithItsEvent", "retry: 1000\ndata: x\n\n", {ev("x", {}, {}, 1000)}, "", 1000},
        {"RetryWithPlus", "retry: +250\n\n", {}, "", 250},
        {"RetryLeadingZeros", "retry: 0050\n\n", {}, "", 50},
        {"RetryRefusals",
         "retry: 0\n\nretry: -5\n\nretry: abc\n\nretry: 1e3\n\nretry:\n\nretry: 1.5\n\n"
         "retry:  7\n\nretry: 7 \n\nretry: 99999999999999999999\n\nretry: +\n\n",
         {}},
        {"RetryMaximum", "retry: 9223372036854775807\n\n", {}, "", 9223372036854775807},
        {"CRLFLineEnds", "data: x\r\n\r\n", {ev("x")}},
        {"CRLineEnds", "data: x\r\r", {ev("x")}},
        {"LFThenCREndsTwoLines", "data: x\n\rdata: y\n\n", {ev("x"), ev("y")}},
        {"CRCREndsTwoLines", "data: x\r\rdata: y\r\r", {ev("x"), ev("y")}},
        {"ByteOrderMarkAtStart", "\xEF\xBB\xBF" "data: x\n\n", {ev("x")}},
        {"ByteOrderMarkOnLaterLine", "data: x\n\xEF\xBB\xBF" "data: y\n\n", {ev("x\ny")}},
        {"SecondByteOrderMarkStays", "\xEF\xBB\xBF\xEF\xBB\xBF" "data: x\n\n", {}},
        {"ByteOrderMarkAloneIsBlankLine", "data: x\n\xEF\xBB\xBF\ndata: y\n\n", {ev("x"), ev("y")}},
        {"IllFormedUtf8IsReplaced", "data: a\xFF" "b\xE2\x82z\xC3\xA9\n\n",
         {ev("a\xEF\xBF\xBD" "b\xEF\xBF\xBDz\xC3\xA9")}},
        {"SurrogatesAndOverlongsAreReplaced", "data: \xED\xA0\x80|\xC0\xAF|\xF4\x90\x80\x80\n\n",
         {ev("\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD|"
             "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD")}},
        {"UnterminatedLastLine", "data: x", {ev("x")}},
        {"LastLineEndedByLF", "data: x\n", {ev("x")}},
        {"EmptyDataEndedByLFDispatchesNothingAtEnd", "data:\n", {}},
        {"EmptyDataEndedByCRDispatchesAtEnd", "data:\r", {ev("")}},
        {"BlankLinesWithNothingPending", "\n\n\r\n\r\r\n", {}},
        {"OneBlankLineQueuesOneEvent", "data: a\n\n\n\n", {ev("a")}},
        {"IdIsNotCopiedToLaterEvents", "id: 1\ndata: a\n\ndata: b\n\n", {ev("a", "1"), ev("b")}, "1"},
        {"UnknownFieldsAreIgnored", "foo: bar\nretryx: 5\n\n", {}},
        {"NulInsideData", nul("data: a@b\n\n"), {ev(nul("a@b"))}},
        {"EmptyStream", "", {}},
    };
    return table;
}

struct Outcome {
    std::vector<Event> events;
    std::string lastEventId;
    std::int64_t reconnectionTime;
};

// Feeds `input` cut at the given offsets (sorted), then finishes.
Outcome run(const std::string& input, const std::vector<std::size_t>& cuts) {
    Parser parser;
    std::size_t start = 0;
    std::vector<Event> events;
    for (std::size_t cut : cuts) {
        parser.consume(bytesOf(std::string_view(input).substr(start, cut - start)));
        start = cut;
        for (auto& event : drain(parser)) {
            events.push_back(std::move(event));
        }
    }
    parser.consume(bytesOf(std::string_view(input).substr(start)));
    parser.finish();
    for (auto& event : drain(parser)) {
        events.push_back(std::move(event));
    }
    return {std::move(events), parser.getLastEventId(), parser.getReconnectionTime()};
}

class ParserTable : public testing::TestWithParam<Case> {};

void expectOutcome(const Case& c, const Outcome& outcome, const std::string& how) {
    EXPECT_EQ(outcome.events, c.events) << how;
    EXPECT_EQ(outcome.lastEventId, c.lastEventId) << how;
    EXPECT_EQ(outcome.reconnectionTime, c.reconnectionTime) << how;
}

TEST_P(ParserTable, WholeByteByByteAndRandomSplits) {
    const Case& c = GetParam();
    expectOutcome(c, run(c.input, {}), "whole");

    std::vector<std::size_t> everyByte;
    for (std::size_t i = 1; i < c.input.size(); ++i) {
        everyByte.push_back(i);
    }
    expectOutcome(c, run(c.input, everyByte), "byte by byte");

    // One byte at a time through consume(uint8_t), too.
    Parser single;
    for (char byte : c.input) {
        single.consume(static_cast<std::uint8_t>(byte));
    }
    single.finish();
    EXPECT_EQ(drain(single), c.events) << "consume(byte)";

    std::mt19937 random(12345);
    for (int round = 0; round < 20; ++round) {
        std::vector<std::size_t> cuts;
        for (std::size_t i = 1; i < c.input.size(); ++i) {
            if (random() % 3 == 0) {
                cuts.push_back(i);
            }
        }
        expectOutcome(c, run(c.input, cuts), "random split " + std::to_string(round));
    }
}

INSTANTIATE_TEST_SUITE_P(Parser, ParserTable, testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Parser, CarriageReturnAndLineFeedInSeparateFeedsEndOneLine) {
    Parser parser;
    parser.consume(bytesOf("data: x\r"));
    parser.consume(bytesOf("\n"));
    parser.consume(bytesOf("\r"));
    ASSERT_EQ(drain(parser), std::vector<Event>{ev("x")});
    parser.consume(bytesOf("\n"));  // completes the blank line's CR LF: no second blank line
    parser.consume(bytesOf("data: y\n"));
    parser.finish();
    EXPECT_EQ(drain(parser), std::vector<Event>{ev("y")});
}

TEST(Parser, ConsumeUntilEventStopsAfterTheByteThatQueuedIt) {
    Parser parser;
    std::string stream = "data: a\r\n\r\ndata: b\n\n";
    std::size_t taken = parser.consumeUntilEvent(bytesOf(stream));
    EXPECT_EQ(taken, std::string("data: a\r\n\r").size());
    EXPECT_EQ(drain(parser), std::vector<Event>{ev("a")});
    std::size_t rest = parser.consumeUntilEvent(bytesOf(std::string_view(stream).substr(taken)));
    EXPECT_EQ(taken + rest, stream.size());
    EXPECT_EQ(drain(parser), std::vector<Event>{ev("b")});
}

TEST(Parser, FinishLeavesRetryAndDataMarkForTheNextBlock) {
    Parser parser;
    parser.consume(bytesOf("retry: 700\ndata:\n"));
    parser.finish();
    EXPECT_TRUE(drain(parser).empty());
    parser.consume(bytesOf("\n"));  // the pending block of an empty "data" line dispatches
    EXPECT_EQ(drain(parser), std::vector<Event>{ev("", {}, {}, 700)});
    EXPECT_EQ(parser.getReconnectionTime(), 700);
}

TEST(Parser, LastEventIdAndReconnectionTimeSurviveFinishAndReset) {
    Parser parser;
    parser.consume(bytesOf("id: 9\nretry: 1234\ndata: x\n\ndata: half"));
    parser.resetStream();
    parser.consume(bytesOf("data: new\n\n"));
    parser.finish();
    EXPECT_EQ(drain(parser), (std::vector<Event>{ev("x", "9", {}, 1234), ev("new")}));
    EXPECT_EQ(parser.getLastEventId(), "9");
    EXPECT_EQ(parser.getReconnectionTime(), 1234);
}

TEST(Parser, ResetDropsAPendingCarriageReturnAndFields) {
    Parser parser;
    parser.consume(bytesOf("event: stale\nid: 3\ndata: x\r"));
    parser.resetStream();
    parser.consume(bytesOf("\ndata: y\n\n"));  // this LF ends an empty line: nothing pending
    EXPECT_EQ(drain(parser), std::vector<Event>{ev("y")});
    EXPECT_EQ(parser.getLastEventId(), "3");
}

TEST(Parser, LineLongerThanTheLimitFails) {
    Parser parser(Parser::Limits{.maxLineBytes = 16, .maxEventBytes = 1024});
    parser.consume(bytesOf("data: 0123456789"));  // exactly 16
    EXPECT_FALSE(parser.limitError());
    parser.consume(bytesOf("x"));
    ASSERT_TRUE(parser.limitError());
    EXPECT_EQ(*parser.limitError(), "An event stream line is longer than the limit of 16 bytes.");
    parser.consume(bytesOf("\n\ndata: y\n\n"));
    parser.finish();
    EXPECT_TRUE(drain(parser).empty());
    parser.resetStream();
    EXPECT_FALSE(parser.limitError());
    parser.consume(bytesOf("data: z\n\n"));
    EXPECT_EQ(drain(parser), std::vector<Event>{ev("z")});
}

TEST(Parser, EventLargerThanTheLimitFails) {
    Parser parser(Parser::Limits{.maxLineBytes = 64, .maxEventBytes = 10});
    parser.consume(bytesOf("data: 01234\ndata: 5678\n"));  // 10 bytes with the line feed
    EXPECT_FALSE(parser.limitError());
    parser.consume(bytesOf("data: 9\n\n"));
    ASSERT_TRUE(parser.limitError());
    EXPECT_EQ(*parser.limitError(), "An event's data is larger than the limit of 10 bytes.");
    EXPECT_TRUE(drain(parser).empty());
}

TEST(Parser, ALastLineWithoutLineEndThatBreaksTheEventLimitFailsTheStream) {
    Parser parser(Parser::Limits{.maxLineBytes = 64, .maxEventBytes = 10});
    parser.consume(bytesOf("id: 5\ndata: 0123\ndata: 456789"));  // 4 + 1 + 6: over by one
    EXPECT_FALSE(parser.limitError());
    parser.finish();
    ASSERT_TRUE(parser.limitError());
    EXPECT_EQ(*parser.limitError(), "An event's data is larger than the limit of 10 bytes.");
    EXPECT_TRUE(drain(parser).empty());  // neither the event nor a truncated one
}

}  // namespace
}  // namespace eventsource
