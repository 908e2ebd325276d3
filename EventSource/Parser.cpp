#include "EventSource/Parser.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>
#include <utility>

#include "EventSource/Utf8.h"

namespace eventsource {

namespace {

// The offset of the first CR or LF in the bytes, or `count` when there is none. Two memchr
// scans, both vectorised, beat one byte loop on the long lines of typical streams. They look
// through windows that double in size, so that finding a line end costs in proportion to the
// line, not to the bytes after it (lines ended by CR alone would otherwise make every line scan
// for an LF to the end of the block).
std::size_t findLineEnd(const std::uint8_t* bytes, std::size_t count) {
    std::size_t start = 0;
    for (std::size_t window = 128; start < count; window *= 2) {
        const std::size_t size = std::min(window, count - start);
        const void* lf = std::memchr(bytes + start, '\n', size);
        const std::size_t end =
            lf ? std::size_t(static_cast<const std::uint8_t*>(lf) - bytes) : start + size;
        if (const void* cr = std::memchr(bytes + start, '\r', end - start)) {
            return std::size_t(static_cast<const std::uint8_t*>(cr) - bytes);
        }
        if (lf) {
            return end;
        }
        start += size;
    }
    return count;
}

// An optional sign and one or more digits, nothing else, within 64 bits.
std::optional<std::int64_t> parseRetry(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty()) {
        return std::nullopt;
    }
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    // from_chars takes a leading minus but no plus.
    std::string_view number = text.front() == '+' ? text.substr(1) : text;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::size_t Parser::feed(const std::uint8_t* bytes, std::size_t count, bool stopAfterEvent) {
    std::size_t i = 0;
    while (i < count) {
        if (limitError_) {
            return count;
        }
        if (sawCR_) {
            sawCR_ = false;
            if (bytes[i] == '\n') {
                ++i;  // the LF of a CR LF pair
                continue;
            }
        }
        std::size_t length = findLineEnd(bytes + i, count - i);
        if (lineBuffer_.size() + length > limits_.maxLineBytes) {
            fail("An event stream line is longer than the limit of " +
                 std::to_string(limits_.maxLineBytes) + " bytes.");
            return count;
        }
        if (i + length == count) {
            lineBuffer_.append(reinterpret_cast<const char*>(bytes + i), length);
            return count;
        }
        std::size_t queued = queue_.size();
        if (lineBuffer_.empty()) {
            processLine(bytes + i, length);
        } else {
            lineBuffer_.append(reinterpret_cast<const char*>(bytes + i), length);
            processLine(reinterpret_cast<const std::uint8_t*>(lineBuffer_.data()),
                        lineBuffer_.size());
            lineBuffer_.clear();  // keeps its storage for the next cut line
        }
        sawCR_ = bytes[i + length] == '\r';
        i += length + 1;
        if (stopAfterEvent && queue_.size() != queued) {
            return i;
        }
    }
    return count;
}

void Parser::finish() {
    if (limitError_) {
        return;
    }
    if (sawCR_) {
        sawCR_ = false;
        processLine(nullptr, 0);
    }
    if (!lineBuffer_.empty()) {
        processLine(reinterpret_cast<const std::uint8_t*>(lineBuffer_.data()),
                    lineBuffer_.size());
        lineBuffer_.clear();
        if (limitError_) {
            return;  // the last line broke the event's limit: the stream fails, no event
        }
    }
    if (!currentData_.empty() || currentEventId_ || currentEventType_) {
        processLine(nullptr, 0);
    }
}

std::optional<Event> Parser::getNextEvent() {
    if (queue_.empty()) {
        return std::nullopt;
    }
    Event event = std::move(queue_.front());
    queue_.pop_front();
    return event;
}

void Parser::resetStream() {
    lineBuffer_.clear();
    sawCR_ = false;
    seenData_ = false;
    currentEventId_.reset();
    currentEventType_.reset();
    currentData_.clear();
    currentRetry_.reset();
    limitError_.reset();
}

void Parser::processLine(const std::uint8_t* line, std::size_t length) {
    if (length >= 3 && line[0] == 0xEF && line[1] == 0xBB && line[2] == 0xBF) {
        line += 3;
        length -= 3;
    }
    if (length == 0) {
        dispatchEvent();
        seenData_ = false;
        return;
    }
    if (line[0] == ':') {
        return;
    }
    // Splitting on the bytes ":" and " " before decoding gives what splitting the decoded
    // text would: neither byte is part of a multi-byte sequence or of a replaced one.
    const void* colon = std::memchr(line, ':', length);
    std::size_t nameLength =
        colon ? std::size_t(static_cast<const std::uint8_t*>(colon) - line) : length;
    std::string_view name(reinterpret_cast<const char*>(line), nameLength);
    const std::uint8_t* value = line + nameLength;
    std::size_t valueLength = length - nameLength;
    if (colon) {
        ++value;
        --valueLength;
        if (valueLength > 0 && *value == ' ') {
            ++value;
            --valueLength;
        }
    }
    processField(name, value, valueLength);
}

void Parser::processField(std::string_view name, const std::uint8_t* value, std::size_t length) {
    // Every known name is ASCII, so a name is compared as bytes; an ill-formed one never
    // matches, as its decoded text would not.
    if (name == "data") {
        seenData_ = true;
        if (!currentData_.empty()) {
            currentData_.push_back('\n');
        }
        appendUtf8Replacing(currentData_, value, length);
        if (currentData_.size() > limits_.maxEventBytes) {
            fail("An event's data is larger than the limit of " +
                 std::to_string(limits_.maxEventBytes) + " bytes.");
        }
    } else if (name == "event") {
        std::string type;
        appendUtf8Replacing(type, value, length);
        currentEventType_ = std::move(type);
    } else if (name == "id") {
        if (!std::memchr(value, 0, length)) {
            std::string id;
            appendUtf8Replacing(id, value, length);
            lastEventId_ = id;
            currentEventId_ = std::move(id);
        }
    } else if (name == "retry") {
        // Digits and signs are ASCII: ill-formed bytes fail the test either way.
        auto retry = parseRetry(std::string_view(reinterpret_cast<const char*>(value), length));
        if (retry && *retry >= 1) {
            reconnectionTime_ = *retry;
            currentRetry_ = *retry;
        }
    }
}

void Parser::dispatchEvent() {
    if (!currentData_.empty() || currentEventId_ || currentEventType_ || seenData_) {
        queue_.push_back(Event{std::move(currentEventId_), std::move(currentEventType_),
                               std::move(currentData_), currentRetry_});
    }
    currentEventId_.reset();
    currentEventType_.reset();
    currentData_.clear();
    currentRetry_.reset();
}

void Parser::fail(std::string reason) {
    limitError_ = std::move(reason);
    lineBuffer_.clear();
    lineBuffer_.shrink_to_fit();
    currentData_.clear();
    currentData_.shrink_to_fit();
}

}  // namespace eventsource
