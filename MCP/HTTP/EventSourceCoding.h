// JSON coding of the EventSource module's values, which that module (knowing nothing of MCP/)
// cannot give itself:
//   eventsource::Event                     {"data": ..., "id": ..., "event": ..., "retry": ...}:
//       "data" always written and required; the other three written only when present, and a
//       missing key or null reads as absent.
//   eventsource::EventSource::ReadyState   its raw value, 0, 1 or 2; any other integer fails.
// Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include "EventSource/Event.h"
#include "EventSource/EventSource.h"
#include "MCP/JSON/Coding.h"
#include "MCP/JSON/Record.h"

namespace mcp {

namespace detail {

// Event's field table, kept here rather than in the Event type.
struct EventRecord {
    std::optional<std::string> id{};
    std::optional<std::string> event{};
    std::string data{};
    std::optional<std::int64_t> retry{};

    static constexpr auto codingFields() {
        return std::tuple{optionalField("id", &EventRecord::id),
                          optionalField("event", &EventRecord::event),
                          field("data", &EventRecord::data),
                          optionalField("retry", &EventRecord::retry)};
    }
};

}  // namespace detail

template <>
struct Coder<eventsource::Event> {
    using Record = detail::EventRecord;
    static Record record(const eventsource::Event& e) { return {e.id, e.event, e.data, e.retry}; }

    static Value encode(const eventsource::Event& event) {
        return Coder<Record>::encode(record(event));
    }
    static eventsource::Event decode(const Value& value) {
        Record r = Coder<Record>::decode(value);
        return {std::move(r.id), std::move(r.event), std::move(r.data), r.retry};
    }
    static bool equals(const eventsource::Event& a, const eventsource::Event& b) { return a == b; }
    static void hash(Hasher& hasher, const eventsource::Event& event) {
        Coder<Record>::hash(hasher, record(event));
    }
};

template <>
struct Coder<eventsource::EventSource::ReadyState> {
    using ReadyState = eventsource::EventSource::ReadyState;

    static Value encode(ReadyState state) { return Value(static_cast<std::int64_t>(state)); }
    static ReadyState decode(const Value& value) {
        int raw = Coder<int>::decode(value);
        if (auto state = eventsource::EventSource::readyStateFromRawValue(raw)) {
            return *state;
        }
        throw DecodingError::dataCorrupted(
            {}, "Cannot initialize ReadyState from invalid Int value " + std::to_string(raw));
    }
    static bool equals(ReadyState a, ReadyState b) { return a == b; }
    static void hash(Hasher& hasher, ReadyState state) {
        hasher.combine(static_cast<std::int64_t>(state));
    }
};

}  // namespace mcp
