#include "LocalAutomation/MCPLaunchRequest.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace fw::launch_request {

std::string environmentEntry() {
    return std::string(kEnvironmentVariable) + "=" + kEnvironmentValue;
}

bool isAutomationLaunch(std::span<const std::string> arguments,
                        const std::optional<LaunchEvent>& currentEvent) {
    if (std::any_of(arguments.begin(), arguments.end(),
                    [](const std::string& argument) { return argument == kArgument; })) {
        return true;
    }
    return currentEvent.has_value() && currentEvent->automation;
}

bool flagFromEnvironmentValue(const char* value) {
    if (value == nullptr) {
        return false;
    }
    std::string_view text(value);
    const auto isBlank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        text.remove_prefix(1);
    }
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return false;
    }
    return std::any_of(text.begin(), text.end(), [](char c) { return c != '0'; });
}

LaunchEvent takeLaunchEventFromEnvironment() {
    LaunchEvent event;
    event.automation = flagFromEnvironmentValue(std::getenv(kEnvironmentVariable));
    ::unsetenv(kEnvironmentVariable);
    return event;
}

}  // namespace fw::launch_request
