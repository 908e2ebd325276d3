// The lines written to the platform's system log while a recorder lives (or until stop()), kept
// in order instead of being written out.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/SystemLog.h"

namespace fw::testing {

class SystemLogRecorder {
public:
    SystemLogRecorder() {
        platform::setSystemLogSinkForTesting(
            [this](platform::SystemLogLevel, std::string_view line) { lines.emplace_back(line); });
    }
    ~SystemLogRecorder() { stop(); }
    SystemLogRecorder(const SystemLogRecorder&) = delete;
    SystemLogRecorder& operator=(const SystemLogRecorder&) = delete;

    // The system log writes out again from here on.
    void stop() { platform::setSystemLogSinkForTesting(nullptr); }

    std::vector<std::string> lines;
};

}  // namespace fw::testing
