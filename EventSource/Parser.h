// Parser: turns the bytes of a "text/event-stream" body into events. It is fed bytes in any
// chunking (one at a time or in blocks; a CR and its LF may arrive in separate feeds), told
// when the input has ended with finish(), and drained with getNextEvent(). It keeps the two
// values that outlive single events: the last event id and the reconnection time.
//
//   eventsource::Parser parser;
//   parser.consume(bytes);                 // any number of times
//   parser.finish();                       // at the end of the body
//   while (auto event = parser.getNextEvent()) { use(*event); }
//
// Lines end at CR, LF or CR LF; a UTF-8 byte-order mark is removed at the start of every line;
// ill-formed UTF-8 becomes U+FFFD. The fields "event", "data", "id" and "retry" are read as
// the event-stream format has them; other fields and comments are ignored.
//
// Limits: a line longer than `Limits::maxLineBytes`, or an event whose data grows beyond
// `Limits::maxEventBytes`, puts the parser into a failed state: limitError() then gives the
// reason, and further bytes are ignored until resetStream(). Nothing else fails.
//
// Thread-safety: none; one owner feeds and drains a parser, in the order of the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>

#include "EventSource/Event.h"

namespace eventsource {

class Parser {
public:
    struct Limits {
        // Bytes of one line, its line end not counted.
        std::size_t maxLineBytes = std::size_t(16) << 20;
        // Bytes of one event's data, the line feeds between its data lines included.
        std::size_t maxEventBytes = std::size_t(64) << 20;
    };

    static constexpr std::int64_t kInitialReconnectionTime = 3000;

    Parser() = default;
    explicit Parser(Limits limits) : limits_(limits) {}

    // Feeds one byte. Bytes inside a line take the short way.
    void consume(std::uint8_t byte) {
        if (byte != '\r' && byte != '\n' && !sawCR_ && !limitError_ &&
            lineBuffer_.size() < limits_.maxLineBytes) {
            lineBuffer_.push_back(static_cast<char>(byte));
            return;
        }
        feed(&byte, 1, false);
    }
    // Feeds every byte of `bytes`.
    void consume(std::span<const std::uint8_t> bytes) { feed(bytes.data(), bytes.size(), false); }
    // Feeds bytes up to and including the first one that queues an event, and answers how
    // many it took (all of them when none queued an event). The rest is for the next call.
    std::size_t consumeUntilEvent(std::span<const std::uint8_t> bytes) {
        return feed(bytes.data(), bytes.size(), true);
    }

    // End of input: completes the pending line and the pending event. When that last line
    // goes beyond a limit, the parser fails (limitError()) and queues nothing.
    void finish();

    // Removes and returns the oldest queued event; nothing when none is queued.
    std::optional<Event> getNextEvent();
    bool hasQueuedEvent() const { return !queue_.empty(); }

    // The last accepted id; empty until one is accepted.
    const std::string& getLastEventId() const { return lastEventId_; }
    // The last accepted retry value in milliseconds; 3000 until one is accepted.
    std::int64_t getReconnectionTime() const { return reconnectionTime_; }

    // Why the parser stopped taking bytes; nothing while it takes them.
    const std::optional<std::string>& limitError() const { return limitError_; }

    // Starts a new stream: drops the partial line, a pending CR and the pending event's fields
    // and clears a limit failure. Queued events, the last event id and the reconnection time
    // stay.
    void resetStream();

private:
    std::size_t feed(const std::uint8_t* bytes, std::size_t count, bool stopAfterEvent);
    void processLine(const std::uint8_t* line, std::size_t length);
    void processField(std::string_view name, const std::uint8_t* value, std::size_t length);
    void dispatchEvent();
    void fail(std::string reason);

    Limits limits_{};
    std::optional<std::string> currentEventId_;
    std::optional<std::string> currentEventType_;
    std::string currentData_;
    std::optional<std::int64_t> currentRetry_;
    std::string lastEventId_;
    std::int64_t reconnectionTime_ = kInitialReconnectionTime;
    std::string lineBuffer_;  // bytes of a line cut by the end of a feed; never holds CR or LF
    bool sawCR_ = false;
    bool seenData_ = false;  // a "data" field since the last blank line
    std::deque<Event> queue_;
    std::optional<std::string> limitError_;
};

}  // namespace eventsource
