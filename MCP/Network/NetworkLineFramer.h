// NetworkLineFramer: cuts the byte stream of a network transport into messages, without I/O.
// A message is a line ended by LF (a CR before it is kept; empty lines are skipped). At every line
// boundary a byte 0xF0 begins a heartbeat frame (NetworkHeartbeat): 0xF0 can never begin JSON
// text. A frame is taken whole, also when its bytes arrive over several reads, and dropped; what
// follows it, in the same read or a later one, is framed as usual. Bytes that begin with 0xF0 but
// not with the whole magic are ordinary data.
//
// A line longer than the limit (its bytes without the LF) stops the framer: feed() answers false
// then and ever after. Without a limit a peer that never sends an LF makes it grow without end.
//
// A plain object used by one reader at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "MCP/Network/NetworkHeartbeat.h"

namespace mcp {

class NetworkLineFramer {
public:
    explicit NetworkLineFramer(std::optional<std::size_t> maxLineLength)
        : maxLineLength_(maxLineLength) {}

    // Frames `bytes`: `onLine(std::string&&)` for each complete non-empty line, in order, and
    // `onHeartbeat(const NetworkHeartbeat::Frame&)` for each whole frame. False when a line
    // passed the limit.
    template <class OnLine, class OnHeartbeat>
    bool feed(std::string_view bytes, OnLine&& onLine, OnHeartbeat&& onHeartbeat) {
        if (overflowed_) {
            return false;
        }
        std::size_t position = 0;
        while (position < bytes.size()) {
            if (frameLength_ > 0 ||
                (partial_.empty() && static_cast<std::uint8_t>(bytes[position]) == 0xF0)) {
                position = takeFrame(bytes, position, onHeartbeat);
                continue;
            }
            const std::string_view rest = bytes.substr(position);
            const std::size_t end = rest.find('\n');
            const std::string_view piece = rest.substr(0, end);
            if (maxLineLength_ && partial_.size() + piece.size() > *maxLineLength_) {
                overflowed_ = true;
                partial_ = std::string();
                return false;
            }
            if (end == std::string_view::npos) {
                partial_.append(piece);
                break;
            }
            position += end + 1;
            std::string line;
            if (partial_.empty()) {
                line.assign(piece);
            } else {
                line = std::move(partial_);
                line.append(piece);
                partial_ = std::string();
            }
            if (!line.empty()) {
                onLine(std::move(line));
            }
        }
        return true;
    }

    // The same for bytes the caller gives up: a read that holds exactly one whole line becomes
    // that line without a copy.
    template <class OnLine, class OnHeartbeat>
    bool feed(std::string&& bytes, OnLine&& onLine, OnHeartbeat&& onHeartbeat) {
        if (!overflowed_ && frameLength_ == 0 && partial_.empty() && !bytes.empty() &&
            static_cast<std::uint8_t>(bytes.front()) != 0xF0 &&
            bytes.find('\n') == bytes.size() - 1 &&
            (!maxLineLength_ || bytes.size() - 1 <= *maxLineLength_)) {
            bytes.pop_back();
            if (!bytes.empty()) {
                onLine(std::move(bytes));
            }
            return true;
        }
        return feed(std::string_view(bytes), onLine, onHeartbeat);
    }

    // The bytes of an unfinished line.
    std::size_t pendingSize() const { return partial_.size() + frameLength_; }

private:
    // Takes bytes of a frame that begins at a line boundary; gives the position after them.
    template <class OnHeartbeat>
    std::size_t takeFrame(std::string_view bytes, std::size_t position, OnHeartbeat& onHeartbeat) {
        while (position < bytes.size() && frameLength_ < NetworkHeartbeat::kSize) {
            const auto byte = static_cast<std::uint8_t>(bytes[position]);
            if (frameLength_ < NetworkHeartbeat::kMagic.size() &&
                byte != NetworkHeartbeat::kMagic[frameLength_]) {
                // Not a frame after all: the bytes matched so far (none of them an LF) begin a
                // line, and this byte is framed as usual.
                partial_.assign(reinterpret_cast<const char*>(frame_.data()), frameLength_);
                frameLength_ = 0;
                return position;
            }
            frame_[frameLength_++] = byte;
            ++position;
        }
        if (frameLength_ == NetworkHeartbeat::kSize) {
            frameLength_ = 0;
            onHeartbeat(frame_);
        }
        return position;
    }

    const std::optional<std::size_t> maxLineLength_;
    std::string partial_;
    NetworkHeartbeat::Frame frame_{};
    std::size_t frameLength_ = 0;
    bool overflowed_ = false;
};

}  // namespace mcp
