// The heartbeat frame and the line framing of the network transport, without I/O.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MCP/Network/NetworkHeartbeat.h"
#include "MCP/Network/NetworkLineFramer.h"

namespace mcp {
namespace {

using namespace std::chrono_literals;

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (int value : values) {
        text.push_back(static_cast<char>(value));
    }
    return text;
}

TEST(NetworkHeartbeat, FrameHoldsTheMagicAndLittleEndianMillisecondsSince2001) {
    NetworkHeartbeat heartbeat(NetworkHeartbeat::kReferenceDate + 1234500us);
    EXPECT_EQ(heartbeat.data(), bytes({0xF0, 0x9F, 0x92, 0x93, 0xD2, 0x04, 0, 0, 0, 0, 0, 0}));
    auto decoded = NetworkHeartbeat::from(heartbeat.data());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->timestamp, NetworkHeartbeat::kReferenceDate + 1234ms);
    EXPECT_EQ(decoded->timestampText(), "2001-01-01 00:00:01.234 +0000");
    // Within one millisecond: equal, and hashed alike.
    NetworkHeartbeat close(NetworkHeartbeat::kReferenceDate + 1234900us);
    EXPECT_EQ(heartbeat, close);
    EXPECT_EQ(heartbeat.hash(), close.hash());
    EXPECT_NE(heartbeat, NetworkHeartbeat(NetworkHeartbeat::kReferenceDate + 1235ms));
    // A frame made now decodes to now, to the millisecond.
    const auto now = std::chrono::system_clock::now();
    auto current = NetworkHeartbeat::from(NetworkHeartbeat(now).data());
    ASSERT_TRUE(current);
    EXPECT_EQ(current->timestamp, std::chrono::floor<std::chrono::milliseconds>(now));
}

TEST(NetworkHeartbeat, TimestampsOutsideWhatATimePointHoldsAreClamped) {
    using TimePoint = NetworkHeartbeat::TimePoint;
    // Any 64 bits from a peer: the latest representable time, never an overflow.
    for (std::uint64_t milliseconds :
         {~std::uint64_t{0}, std::uint64_t{1} << 63, std::uint64_t{9'000'000'000'000'000}}) {
        std::string frame(NetworkHeartbeat::kMagic.begin(), NetworkHeartbeat::kMagic.end());
        for (std::size_t index = 0; index < 8; ++index) {
            frame += static_cast<char>(milliseconds >> (8 * index));
        }
        auto decoded = NetworkHeartbeat::from(frame);
        ASSERT_TRUE(decoded);
        EXPECT_LE(TimePoint::max() - decoded->timestamp, std::chrono::milliseconds(1));
        EXPECT_FALSE(decoded->timestampText().empty());
    }
    // A time long before the reference date is written as 0.
    EXPECT_EQ(NetworkHeartbeat::from(NetworkHeartbeat(TimePoint::min()).data())->timestamp,
              TimePoint(NetworkHeartbeat::kReferenceDate));
}

TEST(NetworkHeartbeat, RecognitionNeedsTheMagicAndDecodingTwelveBytes) {
    const std::string frame = NetworkHeartbeat().data();
    struct Case {
        const char* name;
        std::string data;
        bool isHeartbeat;
        bool decodes;
    };
    const std::vector<Case> cases = {
        {"frame", frame, true, true},
        {"eleven bytes", frame.substr(0, 11), true, false},
        {"magic alone", frame.substr(0, 4), true, false},
        {"three bytes", frame.substr(0, 3), false, false},
        {"wrong first byte", "x" + frame.substr(1), false, false},
        {"frame and more", frame + "{\"a\":1}\n", true, true},
        {"JSON", "{\"jsonrpc\":\"2.0\"}", false, false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(NetworkHeartbeat::isHeartbeat(test.data), test.isHeartbeat);
        EXPECT_EQ(NetworkHeartbeat::from(test.data).has_value(), test.decodes);
    }
}

// Feeds the chunks and tells what came out: lines as they are, frames as "<3". `handOver` gives
// the framer each chunk to keep (a whole line is then taken without a copy).
std::vector<std::string> frameOnce(const std::vector<std::string>& chunks,
                                   std::optional<std::size_t> limit, bool handOver) {
    NetworkLineFramer framer(limit);
    std::vector<std::string> out;
    for (const std::string& chunk : chunks) {
        auto onLine = [&](std::string&& line) { out.push_back(std::move(line)); };
        auto onFrame = [&](const NetworkHeartbeat::Frame&) { out.push_back("<3"); };
        const bool fits = handOver ? framer.feed(std::string(chunk), onLine, onFrame)
                                   : framer.feed(std::string_view(chunk), onLine, onFrame);
        if (!fits) {
            out.push_back("too long");
            break;
        }
    }
    return out;
}

std::vector<std::string> frame(const std::vector<std::string>& chunks,
                               std::optional<std::size_t> limit = std::nullopt) {
    auto viewed = frameOnce(chunks, limit, false);
    EXPECT_EQ(frameOnce(chunks, limit, true), viewed);
    return viewed;
}

TEST(NetworkLineFramer, SplitsLinesAndDropsFramesAtLineBoundaries) {
    const std::string hb = NetworkHeartbeat().data();
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<std::string> out;
    };
    const std::vector<Case> cases = {
        {"one line per read", {"a\n", "b\n"}, {"a", "b"}},
        {"two lines in one read", {"a\nb\n"}, {"a", "b"}},
        {"empty line skipped", {"a\n\n"}, {"a"}},
        {"line over two reads", {"ab", "c\n"}, {"abc"}},
        {"CR kept", {"a\r\n"}, {"a\r"}},
        {"frame alone", {hb}, {"<3"}},
        {"frame then message in one read", {hb + "{}\n"}, {"<3", "{}"}},
        {"message then frame in one read", {"{}\n" + hb + "[]\n"}, {"{}", "<3", "[]"}},
        {"frame split over reads",
         {hb.substr(0, 2), hb.substr(2, 7), hb.substr(9) + "x\n"},
         {"<3", "x"}},
        {"byte by byte", {hb.substr(0, 1), hb.substr(1, 1), hb.substr(2, 1), hb.substr(3)}, {"<3"}},
        {"two frames back to back", {hb + hb}, {"<3", "<3"}},
        {"F0 inside a line is data", {"a" + hb.substr(0, 4) + "\n"}, {"a" + hb.substr(0, 4)}},
        {"F0 without the magic is data",
         {bytes({0xF0, 0x9F}) + "x\n"},
         {bytes({0xF0, 0x9F}) + "x"}},
        {"F0 then a line end", {bytes({0xF0}) + "\nz\n"}, {bytes({0xF0}), "z"}},
        {"short F0 read, then data", {bytes({0xF0, 0x9F}), "y\n"}, {bytes({0xF0, 0x9F}) + "y"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(frame(test.chunks), test.out);
    }
}

TEST(NetworkLineFramer, TheLimitBoundsALineNotARead) {
    // Many short lines in one large read are fine.
    std::string many;
    for (int index = 0; index < 100; ++index) {
        many += "12345678\n";
    }
    EXPECT_EQ(frame({many}, 8).size(), 100u);
    EXPECT_EQ(frame({"12345678", "9\n"}, 8), (std::vector<std::string>{"too long"}));
    EXPECT_EQ(frame({"123456789\n"}, 8), (std::vector<std::string>{"too long"}));
    EXPECT_EQ(frame({"12345678\n"}, 8), (std::vector<std::string>{"12345678"}));
    // A peer that never ends its line is stopped at the limit, whatever the chunks.
    EXPECT_EQ(frame({"1234", "5678", "9"}, 8), (std::vector<std::string>{"too long"}));
}

}  // namespace
}  // namespace mcp
