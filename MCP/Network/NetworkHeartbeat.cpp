#include "MCP/Network/NetworkHeartbeat.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "MCP/JSON/Hasher.h"

namespace mcp {

NetworkHeartbeat::Frame NetworkHeartbeat::rawValue() const {
    Frame frame{};
    std::copy(kMagic.begin(), kMagic.end(), frame.begin());
    // Whole milliseconds, truncated toward zero; compared first, since the difference from a
    // time far before the reference date would not fit.
    const std::uint64_t value =
        timestamp <= TimePoint(kReferenceDate)
            ? 0
            : static_cast<std::uint64_t>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(timestamp - kReferenceDate)
                      .count());
    for (std::size_t index = 0; index < 8; ++index) {
        frame[4 + index] = static_cast<std::uint8_t>(value >> (8 * index));
    }
    return frame;
}

std::optional<NetworkHeartbeat> NetworkHeartbeat::fromRawValue(
    std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kSize || !std::equal(kMagic.begin(), kMagic.end(), bytes.begin())) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t index = 0; index < 8; ++index) {
        value |= std::uint64_t{bytes[4 + index]} << (8 * index);
    }
    // A peer may send any 64 bits: a time past what a TimePoint holds is taken as its latest.
    static const auto kLatest =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       TimePoint::max() - TimePoint(kReferenceDate))
                                       .count());
    const auto milliseconds = static_cast<std::int64_t>(std::min(value, kLatest));
    return NetworkHeartbeat(TimePoint(kReferenceDate) + std::chrono::milliseconds(milliseconds));
}

std::string NetworkHeartbeat::data() const {
    const Frame frame = rawValue();
    return std::string(frame.begin(), frame.end());
}

std::optional<NetworkHeartbeat> NetworkHeartbeat::from(std::string_view data) {
    if (data.size() < kSize) {
        return std::nullopt;
    }
    return fromRawValue(std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
}

bool NetworkHeartbeat::isHeartbeat(std::string_view data) {
    return data.size() >= kMagic.size() &&
           std::equal(kMagic.begin(), kMagic.end(), data.begin(),
                      [](std::uint8_t magic, char byte) {
                          return magic == static_cast<std::uint8_t>(byte);
                      });
}

std::string NetworkHeartbeat::timestampText() const {
    const auto milliseconds =
        std::chrono::floor<std::chrono::milliseconds>(timestamp).time_since_epoch().count();
    const std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d +0000", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(((milliseconds % 1000) + 1000) % 1000));
    return text;
}

std::size_t NetworkHeartbeat::hash() const {
    Hasher hasher;
    const Frame frame = rawValue();
    hasher.combine(std::uint64_t{frame.size()});
    for (std::uint8_t byte : frame) {
        hasher.combine(std::uint64_t{byte});
    }
    return hasher.finish();
}

}  // namespace mcp
