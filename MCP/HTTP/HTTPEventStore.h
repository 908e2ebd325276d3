// HTTPEventStore: the events the stateful HTTP server transport has written, kept so that a
// client that lost a stream can reconnect with "Last-Event-ID" and receive what followed.
//
// Each stream has a key of the transport's choosing (one per request, so that two requests that
// share an id never share a stream) and a text id used in event ids. Event ids are the stream's
// text id, "_" and the store's counter after incrementing: one counter for all streams, so ids
// are unique and increase across the store. An event without a message is a priming event: an
// anchor to resume from that is never replayed itself.
//
// The store is bounded: each stream keeps at most `maxEventsPerStream` events and
// `maxBytesPerStream` message bytes, events older than `maxAge` go, and at most `maxStreams`
// streams are kept (the oldest request stream goes first; the standalone stream, key 0, is never
// pushed out by others). An event that went is no longer found: eventsAfter() then answers
// nothing, exactly as for an id never written. Lookups are by hash, and a stream's events after
// an id are found by binary search.
//
// Thread-safety: none; the transport calls it under its own lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace mcp {

struct EventStoreLimits {
    std::size_t maxEventsPerStream = 1000;
    std::size_t maxBytesPerStream = std::size_t(8) << 20;
    std::chrono::steady_clock::duration maxAge = std::chrono::minutes(10);
    std::size_t maxStreams = 1000;
};

class HTTPEventStore {
public:
    using Clock = std::chrono::steady_clock;
    using StreamKey = std::uint64_t;
    static constexpr StreamKey kStandaloneStream = 0;

    explicit HTTPEventStore(EventStoreLimits limits = {}) : limits_(limits) {}

    // Stores one event on stream `key` (text id `streamID`) and gives its event id.
    std::string store(StreamKey key, std::string_view streamID, std::optional<std::string> message,
                      Clock::time_point now = Clock::now());

    struct Replay {
        StreamKey stream;
        std::vector<std::pair<std::string, std::string>> events;  // (event id, message)
    };
    // The stream of `lastEventID` and its later events that carry a message, in order; nothing
    // when no kept event has that id.
    std::optional<Replay> eventsAfter(std::string_view lastEventID,
                                      Clock::time_point now = Clock::now());

    void clear();
    std::size_t eventCount() const noexcept { return index_.size(); }
    std::size_t streamCount() const noexcept { return streams_.size(); }

private:
    struct Event {
        std::uint64_t counter;
        std::string id;
        std::optional<std::string> message;
        Clock::time_point storedAt;
    };
    struct Stream {
        std::deque<Event> events;
        std::size_t bytes = 0;
    };

    void trim(StreamKey key, Stream& stream, Clock::time_point now);
    void dropFront(Stream& stream);
    void eraseStream(std::map<StreamKey, Stream>::iterator stream);

    EventStoreLimits limits_;
    std::uint64_t counter_ = 0;
    std::map<StreamKey, Stream> streams_;  // keys grow with time: begin() is the oldest
    std::unordered_map<std::string, std::pair<StreamKey, std::uint64_t>> index_;
};

}  // namespace mcp
