#include "Logging/Level.h"

#include <string>

namespace logging {

namespace {
constexpr std::array<std::string_view, 7> kRawValues{"trace",   "debug", "info",    "notice",
                                                     "warning", "error", "critical"};
}  // namespace

std::string_view rawValue(Level level) noexcept {
    return kRawValues[static_cast<std::size_t>(level)];
}

std::optional<Level> levelFromRawValue(std::string_view raw) noexcept {
    for (const Level level : allLevels) {
        if (rawValue(level) == raw) {
            return level;
        }
    }
    return std::nullopt;
}

std::optional<Level> levelFromText(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return levelFromRawValue(lowered);
}

Level decodeLevel(std::string_view coded) {
    if (const std::optional<Level> level = levelFromRawValue(coded)) {
        return *level;
    }
    throw LevelDecodingError("Cannot initialize Level from invalid String value " +
                             std::string(coded));
}

}  // namespace logging
