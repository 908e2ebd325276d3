#include "MCP/HTTP/HTTPEventStore.h"

#include <algorithm>
#include <charconv>

namespace mcp {

std::string HTTPEventStore::store(StreamKey key, std::string_view streamID,
                                  std::optional<std::string> message, Clock::time_point now) {
    const std::uint64_t counter = ++counter_;
    std::string id;
    id.reserve(streamID.size() + 21);
    id.append(streamID).push_back('_');
    id.append(std::to_string(counter));

    auto [position, created] = streams_.try_emplace(key);
    Stream& stream = position->second;
    const std::size_t size = message ? message->size() : 0;
    stream.bytes += size;
    bytes_ += size;
    index_.emplace(id, std::make_pair(key, counter));
    order_.emplace_hint(order_.end(), counter, key);
    stream.events.push_back(Event{counter, id, std::move(message), now});
    trimStream(stream);

    if (created) {
        // Too many streams: the oldest request streams go (the standalone one stays).
        while (streams_.size() > std::max<std::size_t>(limits_.maxStreams, 2)) {
            auto oldest = streams_.begin();
            if (oldest->first == kStandaloneStream) {
                ++oldest;
            }
            if (oldest->first == key) {
                break;
            }
            eraseStream(oldest);
        }
    }
    trimStore(now);
    return id;
}

void HTTPEventStore::endStream(StreamKey key, Clock::time_point now) {
    auto position = streams_.find(key);
    if (position == streams_.end()) {
        return;
    }
    position->second.live = false;
    trimStore(now);
}

void HTTPEventStore::trimStream(Stream& stream) {
    // The newest event always stays, so that the id just handed out can be resumed from.
    while (stream.events.size() > 1 && (stream.events.size() > limits_.maxEventsPerStream ||
                                        stream.bytes > limits_.maxBytesPerStream)) {
        dropFront(stream);
    }
}

void HTTPEventStore::trimStore(Clock::time_point now) {
    // From the oldest event on, across all streams. Every stream's events are in `order_` in
    // their own order, so the event met for a stream is always its front; those passed over are
    // at most one per stream, and the first event young enough ends the walk unless the store
    // holds too many bytes.
    const auto isOld = [&](const Event& event) { return now - event.storedAt > limits_.maxAge; };
    for (auto entry = order_.begin(); entry != order_.end();) {
        const bool tooMany = bytes_ > limits_.maxBytesPerSession;
        auto stream = streams_.find(entry->second);
        const std::deque<Event>& events = stream->second.events;
        const bool tooOld = isOld(events.front());
        if (!tooMany && !tooOld) {
            break;
        }
        bool keep = false;
        if (events.size() == 1) {
            // The newest event: the anchor of a live stream whatever its age, and of any stream
            // whatever the bytes.
            keep = !tooOld || stream->second.live;
        } else if (!tooMany) {
            // A reader that saw this event may resume from it for as long as its successor is
            // young: only then is it gone for age.
            keep = !isOld(events[1]);
        }
        ++entry;  // dropFront() erases the event's own entry
        if (!keep) {
            dropFront(stream->second);
            if (stream->second.events.empty()) {
                streams_.erase(stream);
            }
        }
    }
}

void HTTPEventStore::dropFront(Stream& stream) {
    Event& front = stream.events.front();
    const std::size_t size = front.message ? front.message->size() : 0;
    stream.bytes -= size;
    bytes_ -= size;
    index_.erase(front.id);
    order_.erase(front.counter);
    stream.events.pop_front();
}

void HTTPEventStore::eraseStream(Streams::iterator stream) {
    while (!stream->second.events.empty()) {
        dropFront(stream->second);
    }
    streams_.erase(stream);
}

std::optional<HTTPEventStore::Replay> HTTPEventStore::eventsAfter(std::string_view lastEventID,
                                                                  Clock::time_point now) {
    trimStore(now);
    auto found = index_.find(std::string(lastEventID));
    if (found == index_.end()) {
        return standaloneAfterGap(lastEventID);
    }
    const auto [key, counter] = found->second;
    auto position = streams_.find(key);
    if (position == streams_.end()) {
        return std::nullopt;
    }
    Stream& stream = position->second;
    Replay replay{key, {}};
    auto after = std::upper_bound(stream.events.begin(), stream.events.end(), counter,
                                  [](std::uint64_t value, const Event& event) {
                                      return value < event.counter;
                                  });
    for (; after != stream.events.end(); ++after) {
        if (after->message) {
            replay.events.emplace_back(after->id, *after->message);
        }
    }
    return replay;
}

std::optional<HTTPEventStore::Replay> HTTPEventStore::standaloneAfterGap(
    std::string_view lastEventID) {
    auto standalone = streams_.find(kStandaloneStream);
    const std::size_t cut = lastEventID.rfind('_');
    if (standalone == streams_.end() || cut == std::string_view::npos) {
        return std::nullopt;
    }
    const Event& front = standalone->second.events.front();
    const std::string_view prefix = lastEventID.substr(0, cut + 1);
    if (front.id.compare(0, prefix.size(), prefix) != 0 ||
        front.id.find('_', prefix.size()) != std::string::npos) {
        return std::nullopt;  // not an id of the standalone stream
    }
    const std::string_view digits = lastEventID.substr(cut + 1);
    std::uint64_t counter = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), counter);
    if (error != std::errc() || end != digits.data() + digits.size() || digits.empty() ||
        counter >= front.counter) {
        return std::nullopt;  // never handed out, or not older than what is kept
    }
    Replay replay{kStandaloneStream, {}, true};
    for (const Event& event : standalone->second.events) {
        if (event.message) {
            replay.events.emplace_back(event.id, *event.message);
        }
    }
    return replay;
}

std::vector<std::pair<std::string, std::string>> HTTPEventStore::eventsOf(StreamKey key,
                                                                          Clock::time_point now) {
    trimStore(now);
    std::vector<std::pair<std::string, std::string>> events;
    if (auto position = streams_.find(key); position != streams_.end()) {
        for (const Event& event : position->second.events) {
            if (event.message) {
                events.emplace_back(event.id, *event.message);
            }
        }
    }
    return events;
}

void HTTPEventStore::clear() {
    streams_.clear();
    order_.clear();
    index_.clear();
    bytes_ = 0;
}

}  // namespace mcp
