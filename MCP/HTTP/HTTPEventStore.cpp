#include "MCP/HTTP/HTTPEventStore.h"

#include <algorithm>

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
    stream.bytes += message ? message->size() : 0;
    index_.emplace(id, std::make_pair(key, counter));
    stream.events.push_back(Event{counter, id, std::move(message), now});
    trim(key, stream, now);

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
    // Streams written no more would keep old events for ever: look at the oldest one each time.
    if (auto oldest = streams_.begin(); oldest != streams_.end() && oldest->first != key) {
        trim(oldest->first, oldest->second, now);
        if (oldest->second.events.empty()) {
            eraseStream(oldest);
        }
    }
    return id;
}

void HTTPEventStore::trim(StreamKey key, Stream& stream, Clock::time_point now) {
    (void)key;
    // The newest event always stays, so that the id just handed out can be resumed from.
    while (stream.events.size() > 1 &&
           (stream.events.size() > limits_.maxEventsPerStream ||
            stream.bytes > limits_.maxBytesPerStream ||
            now - stream.events.front().storedAt > limits_.maxAge)) {
        dropFront(stream);
    }
    if (stream.events.size() == 1 && now - stream.events.front().storedAt > limits_.maxAge) {
        dropFront(stream);
    }
}

void HTTPEventStore::dropFront(Stream& stream) {
    Event& front = stream.events.front();
    stream.bytes -= front.message ? front.message->size() : 0;
    index_.erase(front.id);
    stream.events.pop_front();
}

void HTTPEventStore::eraseStream(std::map<StreamKey, Stream>::iterator stream) {
    for (const Event& event : stream->second.events) {
        index_.erase(event.id);
    }
    streams_.erase(stream);
}

std::optional<HTTPEventStore::Replay> HTTPEventStore::eventsAfter(std::string_view lastEventID,
                                                                  Clock::time_point now) {
    auto found = index_.find(std::string(lastEventID));
    if (found == index_.end()) {
        return std::nullopt;
    }
    const auto [key, counter] = found->second;
    auto position = streams_.find(key);
    if (position == streams_.end()) {
        return std::nullopt;
    }
    Stream& stream = position->second;
    trim(key, stream, now);
    if (!index_.contains(std::string(lastEventID))) {
        if (stream.events.empty()) {
            eraseStream(position);
        }
        return std::nullopt;  // expired just now
    }
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

void HTTPEventStore::clear() {
    streams_.clear();
    index_.clear();
}

}  // namespace mcp
