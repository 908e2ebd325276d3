// The event store behind replay: ids, per-stream lookups, and its bounds.
#include <gtest/gtest.h>

#include "MCP/HTTP/HTTPEventStore.h"

namespace mcp {
namespace {

using namespace std::chrono_literals;

TEST(HTTPEventStoreTest, IdsAndEventsAfter) {
    HTTPEventStore store;
    EXPECT_EQ(store.store(1, "7", std::nullopt), "7_1");
    EXPECT_EQ(store.store(2, "7", std::string("other")), "7_2");  // request "7" beside request 7
    EXPECT_EQ(store.store(1, "7", std::string("a")), "7_3");
    EXPECT_EQ(store.store(0, "_GET_stream", std::string("n")), "_GET_stream_4");
    EXPECT_EQ(store.store(1, "7", std::string("b")), "7_5");

    auto replay = store.eventsAfter("7_1");
    ASSERT_TRUE(replay);
    EXPECT_EQ(replay->stream, 1u);
    EXPECT_EQ(replay->events, (std::vector<std::pair<std::string, std::string>>{{"7_3", "a"},
                                                                                {"7_5", "b"}}));
    EXPECT_EQ(store.eventsAfter("7_2")->events.size(), 0u);
    EXPECT_EQ(store.eventsAfter("7_5")->events.size(), 0u);
    EXPECT_FALSE(store.eventsAfter("7_6"));
    EXPECT_FALSE(store.eventsAfter(""));
}

TEST(HTTPEventStoreTest, BoundsForgetTheOldestEvents) {
    HTTPEventStore store({.maxEventsPerStream = 3, .maxBytesPerStream = 10, .maxAge = 1min,
                          .maxStreams = 3});
    const auto t0 = HTTPEventStore::Clock::now();
    std::string first = store.store(1, "r", std::nullopt, t0);
    store.store(1, "r", std::string("1"), t0);
    store.store(1, "r", std::string("2"), t0);
    std::string fourth = store.store(1, "r", std::string("3"), t0);
    EXPECT_FALSE(store.eventsAfter(first, t0));  // beyond three events: treated as unknown
    EXPECT_EQ(store.eventsAfter("r_2", t0)->events.size(), 2u);

    std::string big = store.store(1, "r", std::string(10, 'x'), t0);  // beyond ten bytes
    EXPECT_FALSE(store.eventsAfter(fourth, t0));
    EXPECT_TRUE(store.eventsAfter(big, t0));

    EXPECT_TRUE(store.eventsAfter(big, t0 + 2min));  // the newest of a live stream stays
    store.endStream(1, t0 + 2min);
    EXPECT_FALSE(store.eventsAfter(big, t0 + 2min));  // too old once the stream has ended
    EXPECT_EQ(store.eventCount(), 0u);

    std::string standalone = store.store(0, "_GET_stream", std::nullopt, t0);
    store.store(2, "a", std::nullopt, t0);
    store.store(3, "b", std::nullopt, t0);
    std::string newest = store.store(4, "c", std::nullopt, t0);
    EXPECT_EQ(store.streamCount(), 3u);
    EXPECT_FALSE(store.eventsAfter("a_" + std::to_string(std::stoi(newest.substr(2)) - 2), t0));
    EXPECT_TRUE(store.eventsAfter(standalone, t0));  // the standalone stream stays
    EXPECT_TRUE(store.eventsAfter(newest, t0));
}

TEST(HTTPEventStoreTest, AgeReachesEveryStreamWhileTheStandaloneStreamLives) {
    HTTPEventStore store({.maxAge = 1min});
    const auto t0 = HTTPEventStore::Clock::now();
    const std::string anchor = store.store(0, "_GET_stream", std::nullopt, t0);
    std::vector<std::string> answered;
    for (HTTPEventStore::StreamKey key : {1, 2, 3}) {
        store.store(key, "r", std::nullopt, t0);
        answered.push_back(store.store(key, "r", std::string("answer"), t0));
        store.endStream(key, t0);
    }
    EXPECT_EQ(store.streamCount(), 4u);

    // Later writes on the standalone stream age out every answered request stream.
    const std::string later = store.store(0, "_GET_stream", std::string("n"), t0 + 2min);
    for (const auto& id : answered) {
        EXPECT_FALSE(store.eventsAfter(id, t0 + 2min)) << id;
    }
    EXPECT_EQ(store.streamCount(), 1u);
    // The old anchor stays while the event after it is young: a reader that saw it gets what
    // followed.
    auto replay = store.eventsAfter(anchor, t0 + 2min);
    ASSERT_TRUE(replay);
    EXPECT_EQ(replay->events, (std::vector<std::pair<std::string, std::string>>{{later, "n"}}));

    // A quiet standalone stream can still be resumed from its last event, however old.
    EXPECT_TRUE(store.eventsAfter(later, t0 + 60min));
    EXPECT_EQ(store.eventCount(), 1u);
    // An anchor gone: the standalone stream's kept events, as a gap; a request stream's: none.
    replay = store.eventsAfter(anchor, t0 + 60min);
    ASSERT_TRUE(replay);
    EXPECT_TRUE(replay->gap);
    EXPECT_EQ(replay->events, (std::vector<std::pair<std::string, std::string>>{{later, "n"}}));
    EXPECT_FALSE(store.eventsAfter(answered.front(), t0 + 60min));
    EXPECT_FALSE(store.eventsAfter("_GET_stream_999", t0 + 60min));  // never handed out
}

TEST(HTTPEventStoreTest, AQuietLiveRequestStreamKeepsItsAnchor) {
    HTTPEventStore store({.maxAge = 1min});
    const auto t0 = HTTPEventStore::Clock::now();
    const std::string priming = store.store(5, "call", std::nullopt, t0);
    store.store(0, "_GET_stream", std::string("n"), t0 + 5min);  // time passes elsewhere
    ASSERT_TRUE(store.eventsAfter(priming, t0 + 5min));
    const std::string answer = store.store(5, "call", std::string("done"), t0 + 6min);
    auto replay = store.eventsAfter(priming, t0 + 6min);
    ASSERT_TRUE(replay);  // the answer of a long call reaches a reader that lost its stream
    EXPECT_EQ(replay->events,
              (std::vector<std::pair<std::string, std::string>>{{answer, "done"}}));
    store.endStream(5, t0 + 6min);
    EXPECT_FALSE(store.eventsAfter(answer, t0 + 8min));
    EXPECT_EQ(store.eventCount(), 1u);  // the standalone stream's newest event
}

TEST(HTTPEventStoreTest, TheSessionByteCapDropsTheOldestEventsOfAnyStream) {
    HTTPEventStore store({.maxBytesPerStream = 1000, .maxBytesPerSession = 10});
    const auto t0 = HTTPEventStore::Clock::now();
    const std::string a1 = store.store(0, "_GET_stream", std::string("aaaa"), t0);
    const std::string b1 = store.store(1, "b", std::string("bbbb"), t0);
    const std::string a2 = store.store(0, "_GET_stream", std::string("AAAA"), t0);
    EXPECT_LE(store.byteCount(), 10u);
    EXPECT_TRUE(store.eventsAfter(a1, t0)->gap);  // the oldest went first
    EXPECT_TRUE(store.eventsAfter(b1, t0));
    EXPECT_TRUE(store.eventsAfter(a2, t0));

    // The newest event of each stream stays even beyond the cap, so it can be resumed from.
    const std::string c1 = store.store(2, "c", std::string(20, 'c'), t0);
    EXPECT_TRUE(store.eventsAfter(c1, t0));
    EXPECT_TRUE(store.eventsAfter(a2, t0));
    EXPECT_TRUE(store.eventsAfter(b1, t0));
    EXPECT_EQ(store.byteCount(), 28u);
    const std::string c2 = store.store(2, "c", std::string("cc"), t0);
    EXPECT_FALSE(store.eventsAfter(c1, t0));
    EXPECT_EQ(store.byteCount(), 10u);
    EXPECT_TRUE(store.eventsAfter(c2, t0));
}

}  // namespace
}  // namespace mcp
