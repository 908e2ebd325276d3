#include "EventSource/AsyncServerSentEventsSequence.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <stdexcept>

#include "platform/http/Client.h"
#include "tests/platform/http/RunAsync.h"
#include "tests/platform/http/ScriptedServer.h"

namespace eventsource {
namespace {

namespace asio = boost::asio;
using fw::http::testing::runAsync;
using namespace std::chrono_literals;

// A byte source that hands out given blocks, and fails where a block is nothing.
struct ScriptedBytes {
    std::vector<std::optional<std::string>> blocks;
    std::size_t reads = 0;
    std::string current;

    asio::awaitable<std::optional<std::span<const std::uint8_t>>> next() {
        if (reads >= blocks.size()) {
            co_return std::nullopt;
        }
        auto& block = blocks[reads++];
        if (!block) {
            throw std::runtime_error("the read failed");
        }
        current = *block;
        co_return std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(current.data()), current.size());
    }
};

Event ev(std::string data, std::optional<std::string> id = std::nullopt,
         std::optional<std::int64_t> retry = std::nullopt) {
    return Event{std::move(id), std::nullopt, std::move(data), retry};
}

class EventSequence : public ::testing::Test {
protected:
    using Sequence = AsyncServerSentEventsSequence<ScriptedBytes>;

    std::optional<Event> next(Sequence& sequence) { return runAsync(context, sequence.next()); }

    asio::io_context context;
};

TEST_F(EventSequence, EachEventAsSoonAsItsBlankLineIsRead) {
    auto events = serverSentEvents(ScriptedBytes{{"data: a\n\ndata: b\n\n", "data: c\r\n\r", "\n"}});
    EXPECT_EQ(next(events), ev("a"));
    EXPECT_EQ(events.base().reads, 1u);
    EXPECT_EQ(next(events), ev("b"));
    EXPECT_EQ(next(events), ev("c"));  // after its CR, before the LF has been read
    EXPECT_EQ(events.base().reads, 2u);
    EXPECT_EQ(next(events), std::nullopt);  // the LF ends no further line
    EXPECT_EQ(next(events), std::nullopt);  // and an ended base stays ended
}

TEST_F(EventSequence, LastEventWithoutBlankLineComesAtTheEnd) {
    auto events = serverSentEvents(ScriptedBytes{{"data: a\n\ndata: last"}});
    EXPECT_EQ(next(events), ev("a"));
    EXPECT_EQ(next(events), ev("last"));
    EXPECT_EQ(next(events), std::nullopt);
}

TEST_F(EventSequence, EmptyOrCommentsOnlyGivesNothing) {
    for (auto blocks : {std::vector<std::optional<std::string>>{},
                        std::vector<std::optional<std::string>>{": hello\n", ":\n\n"}}) {
        auto events = serverSentEvents(ScriptedBytes{blocks});
        EXPECT_EQ(next(events), std::nullopt);
    }
}

TEST_F(EventSequence, BaseErrorPassesThroughAndThePartialLineStays) {
    auto events = serverSentEvents(ScriptedBytes{{"data: ab", std::nullopt, "c\n\n"}});
    EXPECT_THROW(
        {
            try {
                next(events);
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "the read failed");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_EQ(next(events), ev("abc"));
}

TEST_F(EventSequence, RetryAndIdTravelWithTheirEvent) {
    auto events = serverSentEvents(ScriptedBytes{{"retry: 10\n\nid: 4\nretry: 20\ndata: x\n\n"}});
    EXPECT_EQ(next(events), ev("x", "4", 20));  // the block of only "retry" gave no event
    EXPECT_EQ(next(events), std::nullopt);
    EXPECT_EQ(events.parser().getReconnectionTime(), 20);
}

TEST_F(EventSequence, LineBeyondTheLimitFails) {
    auto events = serverSentEvents(ScriptedBytes{{"data: ok\n\n", std::string(40, 'x'), "\n\n"}},
                                   Parser::Limits{.maxLineBytes = 32, .maxEventBytes = 64});
    EXPECT_EQ(next(events), ev("ok"));
    try {
        next(events);
        ADD_FAILURE() << "expected StreamLimitError";
    } catch (const StreamLimitError& error) {
        EXPECT_STREQ(error.what(), "An event stream line is longer than the limit of 32 bytes.");
    }
}

TEST_F(EventSequence, ALastEventBeyondTheLimitAtTheEndFails) {
    auto events = serverSentEvents(ScriptedBytes{{"data: ok\n\n", "data: " + std::string(40, 'x')}},
                                   Parser::Limits{.maxLineBytes = 64, .maxEventBytes = 32});
    EXPECT_EQ(next(events), ev("ok"));
    try {
        auto last = next(events);
        ADD_FAILURE() << "the stream ended cleanly, giving " << (last ? last->data : "nothing");
    } catch (const StreamLimitError& error) {
        EXPECT_STREQ(error.what(), "An event's data is larger than the limit of 32 bytes.");
    }
}

TEST_F(EventSequence, OverAStreamedHTTPBody) {
    using fw::http::testing::ServerExchange;
    fw::http::testing::ScriptedServer server([](ServerExchange& exchange) -> asio::awaitable<void> {
        co_await exchange.startChunked(200, fw::http::testing::fields("Content-Type",
                                                                      "text/event-stream"));
        co_await exchange.chunk("data: one\n");
        co_await exchange.pause(20ms);
        co_await exchange.chunk("\nid: 2\ndata: t");
        co_await exchange.pause(20ms);
        co_await exchange.chunk("wo\r\n\r\ndata: three");
        co_await exchange.endChunks();
    });
    fw::http::Client client(context.get_executor());
    fw::http::Request request;
    request.url = server.url("/events");
    auto collected = runAsync(context, [&]() -> asio::awaitable<std::vector<Event>> {
        fw::http::Response response = co_await client.send(request);
        auto events = serverSentEvents(std::move(response.body));
        std::vector<Event> all;
        while (auto event = co_await events.next()) {
            all.push_back(std::move(*event));
        }
        co_return all;
    }());
    EXPECT_EQ(collected, (std::vector<Event>{ev("one"), ev("two", "2"), ev("three")}));
}

}  // namespace
}  // namespace eventsource
