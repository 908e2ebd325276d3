// The system log: one line per call through syslog(3), under the identity "Frameweaver".
//
// Thread-safe. Tests may redirect the lines to a sink of their own.
#pragma once

#include <functional>
#include <string_view>

namespace fw::platform {

enum class SystemLogLevel {
    kError,
    kWarning,
    kInfo,
};

void systemLog(SystemLogLevel level, std::string_view message);

// Replaces the system log by `sink` until called again with an empty function. For tests.
void setSystemLogSinkForTesting(std::function<void(SystemLogLevel, std::string_view)> sink);

}  // namespace fw::platform
