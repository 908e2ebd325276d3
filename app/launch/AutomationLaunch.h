// The automation-launch test: whether this start of the application, or a request to show
// it again, comes from the automation companion, which must not put the main window in
// front of the user.
//
// The markers and the test itself are LocalAutomation/MCPLaunchRequest.h, which the companion
// compiles in too.
//
// `AutomationBootstrap` is what the application delegate asks: it reads the process's
// arguments and the event being handled (set with `AutomationBootstrap::EventScope`).
//
// Thread-safety: `AutomationBootstrap` is main thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "LocalAutomation/MCPLaunchRequest.h"

namespace fw {

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
