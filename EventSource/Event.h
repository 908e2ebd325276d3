// Event: one server-sent event as the parser hands it out: the id and type given in its own
// block (absent when the block had none), its data lines joined by line feeds, and the block's
// accepted retry value in milliseconds. A plain value; equality covers all four fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace eventsource {

struct Event {
    std::optional<std::string> id;
    std::optional<std::string> event;
    std::string data;
    std::optional<std::int64_t> retry;

    bool operator==(const Event&) const = default;
};

}  // namespace eventsource
