// The event-stream parser and the event sequence over it: cutting the input anywhere must not
// change what comes out.
// - The parser fed the whole input at once, fed in random pieces (whole feeds, single bytes and
//   feeds that stop after each event mixed), and the sequence reading random blocks from a byte
//   source give the same events, the same last event id and reconnection time, and fail on a
//   limit exactly when the others do.
// The first four bytes seed the cutting; the rest is the stream. Small limits let the fuzzer
// reach them.
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "EventSource/AsyncServerSentEventsSequence.h"
#include "EventSource/Parser.h"
#include "fuzz/FuzzCheck.h"

namespace {

using eventsource::Event;
using eventsource::Parser;

constexpr Parser::Limits kLimits{.maxLineBytes = 96, .maxEventBytes = 160};

struct Outcome {
    std::vector<Event> events;
    bool failed = false;
    std::string lastEventId;
    std::int64_t reconnectionTime = 0;
};

// A small generator of piece sizes, the same for the same seed.
class Cuts {
public:
    explicit Cuts(std::uint32_t seed) : state_(seed | 1) {}
    std::size_t next(std::size_t left) {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        const std::size_t size = (state_ % 8 == 0) ? state_ % 300 : state_ % 9;
        return std::min(left, size + 1);
    }
    std::uint32_t choice() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_ % 3;
    }

private:
    std::uint32_t state_;
};

void drain(Parser& parser, Outcome& outcome) {
    while (auto event = parser.getNextEvent()) {
        outcome.events.push_back(std::move(*event));
    }
}

void finishOutcome(Parser& parser, Outcome& outcome) {
    parser.finish();
    drain(parser, outcome);
    outcome.failed = parser.limitError().has_value();
    outcome.lastEventId = parser.getLastEventId();
    outcome.reconnectionTime = parser.getReconnectionTime();
}

Outcome whole(std::span<const std::uint8_t> stream) {
    Parser parser(kLimits);
    Outcome outcome;
    parser.consume(stream);
    drain(parser, outcome);
    finishOutcome(parser, outcome);
    return outcome;
}

Outcome pieces(std::span<const std::uint8_t> stream, std::uint32_t seed) {
    Parser parser(kLimits);
    Outcome outcome;
    Cuts cuts(seed);
    while (!stream.empty()) {
        const std::size_t size = cuts.next(stream.size());
        auto piece = stream.first(size);
        stream = stream.subspan(size);
        switch (cuts.choice()) {
        case 0:
            parser.consume(piece);
            break;
        case 1:
            for (std::uint8_t byte : piece) {
                parser.consume(byte);
            }
            break;
        default:
            while (!piece.empty()) {
                piece = piece.subspan(parser.consumeUntilEvent(piece));
            }
            break;
        }
        drain(parser, outcome);
    }
    finishOutcome(parser, outcome);
    return outcome;
}

// Hands out the input in blocks of the generator's sizes.
struct Blocks {
    std::span<const std::uint8_t> rest;
    Cuts cuts;

    boost::asio::awaitable<std::optional<std::span<const std::uint8_t>>> next() {
        if (rest.empty()) {
            co_return std::nullopt;
        }
        const std::size_t size = cuts.next(rest.size());
        auto block = rest.first(size);
        rest = rest.subspan(size);
        co_return block;
    }
};

Outcome sequence(std::span<const std::uint8_t> stream, std::uint32_t seed) {
    Outcome outcome;
    boost::asio::io_context context;
    auto events = eventsource::serverSentEvents(Blocks{stream, Cuts(seed ^ 0x9e3779b9u)}, kLimits);
    boost::asio::co_spawn(
        context,
        [&]() -> boost::asio::awaitable<void> {
            try {
                while (auto event = co_await events.next()) {
                    outcome.events.push_back(std::move(*event));
                }
            } catch (const eventsource::StreamLimitError&) {
                outcome.failed = true;
            }
        },
        boost::asio::detached);
    context.run();
    outcome.lastEventId = events.parser().getLastEventId();
    outcome.reconnectionTime = events.parser().getReconnectionTime();
    return outcome;
}

std::string describe(const Outcome& outcome) {
    std::string text = "events: " + std::to_string(outcome.events.size()) +
                       (outcome.failed ? ", failed" : "") + ", last id: " + outcome.lastEventId +
                       ", retry: " + std::to_string(outcome.reconnectionTime);
    for (const Event& event : outcome.events) {
        text += "\n  [" + event.id.value_or("-") + "|" + event.event.value_or("-") + "] " +
                event.data;
    }
    return text;
}

void compare(const Outcome& expected, const Outcome& actual, const char* what) {
    const bool same = expected.events == actual.events && expected.failed == actual.failed &&
                      expected.lastEventId == actual.lastEventId &&
                      expected.reconnectionTime == actual.reconnectionTime;
    fuzz::check(same, what, describe(expected) + "\n--- against ---\n" + describe(actual));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    const std::uint32_t seed = std::uint32_t(data[0]) | std::uint32_t(data[1]) << 8 |
                               std::uint32_t(data[2]) << 16 | std::uint32_t(data[3]) << 24;
    const std::span<const std::uint8_t> stream(data + 4, size - 4);
    const Outcome reference = whole(stream);
    compare(reference, pieces(stream, seed), "random pieces give what the whole input gives");
    const Outcome read = sequence(stream, seed);
    // The sequence stops reading at a limit; what it delivered must match up to there.
    compare(reference, read, "the event sequence gives what the whole input gives");
    return 0;
}
