#include "MCP/HTTP/SSEEvent.h"

#include <stdexcept>

#include "EventSource/Utf8.h"

namespace mcp {

SSEEvent SSEEvent::message(std::optional<std::string> id, std::string_view data) {
    std::string text;
    eventsource::appendUtf8Replacing(text, reinterpret_cast<const std::uint8_t*>(data.data()),
                                     data.size());
    return SSEEvent{std::move(id), "message", std::move(text), std::nullopt};
}

bool SSEEvent::canCarry(std::string_view text) noexcept {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool SSEEvent::canResumeFrom(std::string_view text) noexcept {
    if (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        return false;
    }
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

std::string SSEEvent::formatted() const {
    std::string out;
    appendFormatted(out);
    return out;
}

void SSEEvent::appendFormatted(std::string& out) const {
    if ((id && !canCarry(*id)) || (event && !canCarry(*event))) {
        throw std::invalid_argument(
            "An event id or name cannot hold a carriage return, a line feed or a NUL character.");
    }
    out.reserve(out.size() + data.size() + 32 + (id ? id->size() : 0));
    if (id) {
        out.append("id: ").append(*id).push_back('\n');
    }
    if (event) {
        out.append("event: ").append(*event).push_back('\n');
    }
    if (retry) {
        out.append("retry: ").append(std::to_string(*retry)).push_back('\n');
    }
    std::string_view rest = data;
    while (true) {
        std::size_t end = rest.find_first_of("\r\n");
        out.append("data: ").append(rest.substr(0, end)).push_back('\n');
        if (end == std::string_view::npos) {
            break;
        }
        std::size_t next = end + 1;
        if (rest[end] == '\r' && next < rest.size() && rest[next] == '\n') {
            ++next;
        }
        rest.remove_prefix(next);
    }
    out.push_back('\n');
}

}  // namespace mcp
