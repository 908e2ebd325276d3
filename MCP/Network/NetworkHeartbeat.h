// NetworkHeartbeat: the 12-byte frame a network transport writes between messages to show that
// it is alive: the magic F0 9F 92 93, then the time it was made as whole milliseconds since
// 2001-01-01 00:00:00 UTC, unsigned 64-bit little-endian. It is not an MCP message and carries no
// line feed; since 0xF0 can never begin JSON text, a receiver recognises it at a line boundary by
// its first byte and drops it (NetworkLineFramer).
//
// A plain value: equal when the frames are equal (timestamps agree to the whole millisecond).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace mcp {

struct NetworkHeartbeat {
    using TimePoint = std::chrono::system_clock::time_point;
    using Frame = std::array<std::uint8_t, 12>;

    static constexpr std::array<std::uint8_t, 4> kMagic = {0xF0, 0x9F, 0x92, 0x93};
    static constexpr std::size_t kSize = 12;
    // 2001-01-01 00:00:00 UTC, the epoch of the timestamp.
    static constexpr std::chrono::sys_seconds kReferenceDate{std::chrono::seconds(978307200)};

    // A heartbeat made now.
    NetworkHeartbeat() : timestamp(std::chrono::system_clock::now()) {}
    explicit NetworkHeartbeat(TimePoint timestamp) : timestamp(timestamp) {}

    TimePoint timestamp;

    // The frame. A timestamp before the reference date is written as 0.
    Frame rawValue() const;
    // From the first 12 bytes of `bytes` (more are ignored); nothing when there are fewer or the
    // magic is wrong. A timestamp past the latest TimePoint is read as that.
    static std::optional<NetworkHeartbeat> fromRawValue(std::span<const std::uint8_t> bytes);
    // The frame as bytes.
    std::string data() const;
    static std::optional<NetworkHeartbeat> from(std::string_view data);
    // Whether `data` begins with the magic (at least 4 bytes); nothing after it is looked at.
    static bool isHeartbeat(std::string_view data);

    // The timestamp as "2001-01-01 00:00:01.234 +0000".
    std::string timestampText() const;

    bool operator==(const NetworkHeartbeat& other) const { return rawValue() == other.rawValue(); }
    std::size_t hash() const;
};

}  // namespace mcp

template <>
struct std::hash<mcp::NetworkHeartbeat> {
    std::size_t operator()(const mcp::NetworkHeartbeat& heartbeat) const {
        return heartbeat.hash();
    }
};
