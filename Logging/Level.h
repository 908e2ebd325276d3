// The seven severities of a log entry, ordered from `trace` (most verbose) to `critical`.
//
// A plain one-byte value; every function here is pure and safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace logging {

enum class Level : std::uint8_t {
    trace = 0,
    debug = 1,
    info = 2,
    notice = 3,
    warning = 4,
    error = 5,
    critical = 6,
};

// Every level in ascending order.
inline constexpr std::array<Level, 7> allLevels{Level::trace,   Level::debug,   Level::info,
                                                Level::notice,  Level::warning, Level::error,
                                                Level::critical};

// The level's raw value, which is also its text: "trace", "debug", ..., "critical".
std::string_view rawValue(Level level) noexcept;

// Exact, case-sensitive match against the seven raw values; none otherwise.
std::optional<Level> levelFromRawValue(std::string_view raw) noexcept;

// Lower-cases the text first, so "WARNING" and "Warning" both give `warning`.
std::optional<Level> levelFromText(std::string_view text);

// Thrown by decodeLevel when a coded level is not one of the seven raw values.
class LevelDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A level is coded as its raw value; decoding anything else throws LevelDecodingError.
inline std::string_view encodeLevel(Level level) noexcept {
    return rawValue(level);
}
Level decodeLevel(std::string_view coded);

}  // namespace logging
