// The automation-launch test: whether this start of the application, or a request to show
// it again, comes from the automation companion, which must not put the main window in
// front of the user.
//
// Two markers make a launch an automation launch:
//   - the command-line argument "--frameweaver-automation-launch" among the process's own
//     arguments (whole-string equality);
//   - the launch event's automation flag. On this platform the launch event is not a
//     message from the system: the companion starts the application with the environment
//     variable FRAMEWEAVER_AUTOMATION_LAUNCH set to a non-zero integer. The application
//     reads that variable once at start and clears it, so that nothing it starts inherits
//     the flag. A second start that hands its launch over to the running instance carries
//     the same flag in its hand-over (see SingleInstance.h); that is the reopen event.
//
// `AutomationBootstrap` is what the application delegate asks: it reads the process's
// arguments and the event being handled (set with `AutomationBootstrap::EventScope`).
//
// Thread-safety: `isAutomationLaunch(arguments, event)` and the constants are plain and may
// be used anywhere (the companion uses them too). `AutomationBootstrap` is main thread only.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

class AutomationBootstrap {
public:
    AutomationBootstrap() = delete;

    // Makes `event` the event being handled for the scope's lifetime (nesting restores the
    // outer one). The delegate opens one around its launch and reopen handling.
    class EventScope {
    public:
        explicit EventScope(std::optional<LaunchEvent> event);
        ~EventScope();
        EventScope(const EventScope&) = delete;
        EventScope& operator=(const EventScope&) = delete;

    private:
        std::optional<LaunchEvent> previous_;
    };

    // The test with the process's full argument list and the event being handled.
    static bool isAutomationLaunch();
    // The test with no arguments and the event being handled: only the event counts.
    static bool isAutomationReopen();

    // Called last when launching has finished, for every launch. Runs the hook set with
    // `setFinishLaunchingHook` on a later turn of the main loop and returns at once, so the
    // window decisions are never delayed; with no hook it does nothing. Starting local
    // automation (when the user enabled it) is wired in through that hook.
    static void finishLaunching();
    static void setFinishLaunchingHook(std::function<void()> hook);

    // The process's full argument list (the program first), as `main` received it, for
    // `isAutomationLaunch`; QCoreApplication's arguments when never set.
    static void setProcessArguments(std::vector<std::string> arguments);
};

}  // namespace fw
