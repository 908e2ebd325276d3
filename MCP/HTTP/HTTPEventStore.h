// HTTPEventStore: the events the stateful HTTP server transport has written, kept so that a
// client that lost a stream can reconnect with "Last-Event-ID" and receive what followed.
//
// Each stream has a key of the transport's choosing (one per request, so that two requests that
// share an id never share a stream) and a text id used in event ids. Event ids are the stream's
// text id, "_" and the store's counter after incrementing: one counter for all streams, so ids
// are unique and increase across the store. An event without a message is a priming event: an
// anchor to resume from that is never replayed itself.
//
// Bounds (one store serves one session):
//   - a stream keeps at most `maxEventsPerStream` events and `maxBytesPerStream` message bytes;
//   - the whole store keeps at most `maxBytesPerSession` message bytes: beyond it the oldest
//     events of any stream go first;
//   - an event goes when it and the event after it on its stream are older than `maxAge`
//     (the last event of an ended stream: when it is), whichever stream it belongs to (one
//     index of all events in the order they were stored, so a stream written no more ages out
//     as well); a reader can thus resume from an event until `maxAge` after the next one;
//   - at most `maxStreams` streams are kept: the oldest request stream goes first; the
//     standalone stream (key 0) is never pushed out by others.
// Only one event outlives these bounds: the newest of a live stream (endStream() not yet
// called for it), so that a stream that has been quiet for a long time can still be resumed
// from the last id its reader saw. An event that went is no longer found: eventsAfter() then
// answers nothing, exactly as for an id never written. Lookups are by hash, and a stream's
// events after an id are found by binary search.
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
    std::size_t maxBytesPerSession = std::size_t(32) << 20;
};

class HTTPEventStore {
public:
    using Clock = std::chrono::steady_clock;
    using StreamKey = std::uint64_t;
    static constexpr StreamKey kStandaloneStream = 0;

    explicit HTTPEventStore(EventStoreLimits limits = {}) : limits_(limits) {}

    // Stores one event on stream `key` (text id `streamID`) and gives its event id. A stream
    // is live from its first event until endStream().
    std::string store(StreamKey key, std::string_view streamID, std::optional<std::string> message,
                      Clock::time_point now = Clock::now());
    // Nothing more will be written on stream `key` (its request was answered): its newest event
    // ages out like the others from now on.
    void endStream(StreamKey key, Clock::time_point now = Clock::now());

    struct Replay {
        StreamKey stream;
        std::vector<std::pair<std::string, std::string>> events;  // (event id, message)
        // The id was no longer kept: the events between it and the first replayed one are lost.
        bool gap = false;
    };
    // The stream of `lastEventID` and its later events that carry a message, in order; nothing
    // when no kept event has that id. An id of the standalone stream that this store handed out
    // but no longer keeps gives every kept event of that stream, marked as a gap (the standalone
    // stream's events are the only ones a client can reach no other way).
    std::optional<Replay> eventsAfter(std::string_view lastEventID,
                                      Clock::time_point now = Clock::now());

    // Every kept event of stream `key` that carries a message, in order.
    std::vector<std::pair<std::string, std::string>> eventsOf(StreamKey key,
                                                              Clock::time_point now = Clock::now());

    void clear();
    std::size_t eventCount() const noexcept { return index_.size(); }
    std::size_t streamCount() const noexcept { return streams_.size(); }
    // Message bytes kept in all streams.
    std::size_t byteCount() const noexcept { return bytes_; }

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
        bool live = true;
    };
    using Streams = std::map<StreamKey, Stream>;

    // The bounds of one stream, then those of the whole store.
    void trimStream(Stream& stream);
    void trimStore(Clock::time_point now);
    void dropFront(Stream& stream);
    std::optional<Replay> standaloneAfterGap(std::string_view lastEventID);
    void eraseStream(Streams::iterator stream);

    EventStoreLimits limits_;
    std::uint64_t counter_ = 0;
    std::size_t bytes_ = 0;
    Streams streams_;  // keys grow with time: begin() is the oldest
    // Every kept event by counter, which is the order of storing: the oldest first.
    std::map<std::uint64_t, StreamKey> order_;
    std::unordered_map<std::string, std::pair<StreamKey, std::uint64_t>> index_;
};

}  // namespace mcp
