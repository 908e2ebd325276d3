// The MCP logging messages: the severity LogLevel, the request "logging/setLevel"
// (SetLoggingLevel) by which a client sets the server's level, and the notification
// "notifications/message" (LogMessageNotification) carrying one log entry to the client.
//
//   SetLoggingLevel::Parameters        {"level"}                     result: Empty ({})
//   LogMessageNotification::Parameters {"level", "logger"?, "data"}  data: any JSON value, null too
//
// Levels travel as their exact raw strings; any other text, or a level that is no text, fails as
// corrupted data naming what was found. The levels are not ordered here and nothing filters by
// them.
//
// Plain values: copy them freely and use them from any thread.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/DecodingError.h"
#include "MCP/JSON/Hasher.h"
#include "MCP/JSON/Record.h"
#include "MCP/JSON/Value.h"
#include "MCP/Messages/Method.h"

namespace mcp {

// From least to most severe.
enum class LogLevel { debug, info, notice, warning, error, critical, alert, emergency };

constexpr auto rawValues(LogLevel) {
    return RawValues<LogLevel, 8>{"LogLevel",
                                  {{{LogLevel::debug, "debug"},
                                    {LogLevel::info, "info"},
                                    {LogLevel::notice, "notice"},
                                    {LogLevel::warning, "warning"},
                                    {LogLevel::error, "error"},
                                    {LogLevel::critical, "critical"},
                                    {LogLevel::alert, "alert"},
                                    {LogLevel::emergency, "emergency"}}}};
}

// Levels code as their raw strings; anything else under a level, a string or not, is corrupted
// data naming what was found ("Cannot initialize LogLevel from invalid String value Warning",
// "... from invalid value 5").
template <>
struct Coder<LogLevel> {
    static Value encode(LogLevel level) { return Value(std::string(rawValue(level))); }
    static LogLevel decode(const Value& value) {
        const std::string* text = value.stringValue();
        if (text == nullptr) {
            throw DecodingError::dataCorrupted(
                {}, "Cannot initialize LogLevel from invalid value " +
                        (value.isNull() ? std::string("null") : value.description()));
        }
        if (auto level = fromRawValue<LogLevel>(*text)) {
            return *level;
        }
        throw DecodingError::dataCorrupted(
            {}, "Cannot initialize LogLevel from invalid String value " + *text);
    }
    static bool equals(LogLevel a, LogLevel b) { return a == b; }
    static void hash(Hasher& hasher, LogLevel level) { hasher.combineText(rawValue(level)); }
};

// Every level, in declaration order.
inline constexpr std::array<LogLevel, 8> kAllLogLevels = {
    LogLevel::debug, LogLevel::info,     LogLevel::notice, LogLevel::warning,
    LogLevel::error, LogLevel::critical, LogLevel::alert,  LogLevel::emergency};

struct SetLoggingLevel {
    struct Parameters {
        LogLevel level{};

        static constexpr auto codingFields() {
            return std::tuple{field("level", &Parameters::level)};
        }
    };
    using Result = Empty;

    static constexpr std::string_view name = "logging/setLevel";
};

struct LogMessageNotification : Fieldless {
    struct Parameters {
        LogLevel level{};
        std::optional<std::string> logger{};
        Value data{};

        static constexpr auto codingFields() {
            return std::tuple{field("level", &Parameters::level),
                              optionalField("logger", &Parameters::logger),
                              field("data", &Parameters::data)};
        }
    };

    static constexpr std::string_view name = "notifications/message";
};

}  // namespace mcp
