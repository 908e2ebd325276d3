// The text of one log entry.
//
// A plain value: copies may be used on different threads; one value must not be changed from two
// threads at once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace logging {

class Message {
public:
    Message() = default;
    Message(const char* text) : value(text) {}  // NOLINT: built from literals implicitly
    Message(std::nullptr_t) = delete;
    Message(std::string text) : value(std::move(text)) {}  // NOLINT
    Message(std::string_view text) : value(text) {}        // NOLINT

    const std::string& description() const noexcept { return value; }

    friend bool operator==(const Message&, const Message&) = default;

    std::string value;
};

}  // namespace logging
