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

    EXPECT_FALSE(store.eventsAfter(big, t0 + 2min));  // too old
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

}  // namespace
}  // namespace mcp
