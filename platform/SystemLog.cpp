#include "platform/SystemLog.h"

#include <syslog.h>

#include <mutex>
#include <string>
#include <utility>

namespace fw::platform {
namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(SystemLogLevel, std::string_view)>& testSink() {
    static std::function<void(SystemLogLevel, std::string_view)> sink;
    return sink;
}

int priorityOf(SystemLogLevel level) {
    switch (level) {
        case SystemLogLevel::kError:
            return LOG_ERR;
        case SystemLogLevel::kWarning:
            return LOG_WARNING;
        case SystemLogLevel::kInfo:
            break;
    }
    return LOG_INFO;
}

}  // namespace

void systemLog(SystemLogLevel level, std::string_view message) {
    {
        std::lock_guard lock(sinkMutex());
        if (testSink()) {
            testSink()(level, message);
            return;
        }
    }
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("Frameweaver", LOG_PID, LOG_USER); });
    // The message goes through "%s" so that a '%' in a path is printed, not interpreted.
    const std::string text(message);
    syslog(priorityOf(level), "%s", text.c_str());
}

void setSystemLogSinkForTesting(std::function<void(SystemLogLevel, std::string_view)> sink) {
    std::lock_guard lock(sinkMutex());
    testSink() = std::move(sink);
}

}  // namespace fw::platform
