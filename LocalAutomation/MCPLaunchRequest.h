// MCPLaunchRequest: the markers that make a start of the application an automation launch, which
// must not put the main window in front of the user. The application tests for them; the
// companion `frameweaver-mcp` attaches the launch event's marker when it starts the application.
//
// Two markers make a launch an automation launch:
//   - the command-line argument "--frameweaver-automation-launch" among the process's own
//     arguments (whole-string equality);
//   - the launch event's automation flag. On this platform the launch event is not a
//     message from the system: the companion starts the application with the environment
//     variable FRAMEWEAVER_AUTOMATION_LAUNCH set to a non-zero integer. The application
//     reads that variable once at start and clears it, so that nothing it starts inherits
//     the flag. A second start that hands its launch over to the running instance carries
//     the same flag in its hand-over (app/launch/SingleInstance.h); that is the reopen event.
//
// Plain constants and functions, no Qt: both programs compile this in. Safe from any thread,
// except takeLaunchEventFromEnvironment() (see there).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace fw {

// The launch or reopen event being handled: what the platform's launch event says.
struct LaunchEvent {
    // True when the event was sent by the automation companion.
    bool automation = false;

    friend bool operator==(const LaunchEvent&, const LaunchEvent&) = default;
};

namespace launch_request {

// The command-line marker. The companion never passes it; a person or a script may.
inline constexpr std::string_view kArgument = "--frameweaver-automation-launch";
// The environment variable that carries the launch event's automation flag.
inline constexpr const char* kEnvironmentVariable = "FRAMEWEAVER_AUTOMATION_LAUNCH";
// The value the companion sets it to.
inline constexpr const char* kEnvironmentValue = "1";

// The launch event's marker as the companion hands it to the application it starts: one
// environment entry, "FRAMEWEAVER_AUTOMATION_LAUNCH=1".
std::string environmentEntry();

// True when any argument equals kArgument exactly; otherwise the event's automation flag;
// false with no event.
bool isAutomationLaunch(std::span<const std::string> arguments,
                        const std::optional<LaunchEvent>& currentEvent);

// The automation flag as the environment variable's text gives it: true only for a decimal
// integer other than zero (leading and trailing blanks allowed). Absent, empty or anything
// else: false.
bool flagFromEnvironmentValue(const char* value);

// Reads kEnvironmentVariable and removes it from the process environment, so it is read
// once and not inherited by programs the application starts. Call early in `main`, before
// any thread is started (the environment is not thread-safe to change).
LaunchEvent takeLaunchEventFromEnvironment();

}  // namespace launch_request
}  // namespace fw
