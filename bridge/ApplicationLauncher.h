// Finding a running copy of the application and starting it in the background: what the
// companion needs of the desktop's workspace service.
//
// A running copy of an installation is a process of this user, not quitting (not a zombie and
// not stopped for good), whose executable is that installation's "Contents/MacOS/Frameweaver"
// (read from /proc/<pid>/exe; processes of other users are passed over).
//
// The launch starts that installation's exact executable with the automation-launch argument in
// the user's session, with the session's environment rather than the companion's (whose client
// may have given it no display and no bus address), in the folder "/". The first route that is
// reachable is taken (bridge/UserSession.h says where each is looked for):
//   1. D-Bus activation of the installation's own bus name on the session bus, after writing its
//      service file into the user's D-Bus services folder (LocalAutomation/ActivationService.h).
//      The bus answers once the application owns the name, or tells how the program ended
//      before it did. The owner of the name must run this installation's executable.
//   2. The user's service manager (systemd-run --user), when one runs.
//   3. Neither reachable: a detached posix_spawn, in a session of its own, every signal
//      disposition back to its default and no signal blocked (the companion ignores SIGPIPE),
//      standard streams on /dev/null (the companion's standard output is the MCP channel, and
//      nothing may reach it), no descriptor above 2 inherited, the companion's environment plus
//      the launch event's marker (LocalAutomation/MCPLaunchRequest.h) and the argument.
// The companion does not wait for the application; it only notices when it has already ended.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "bridge/StartupDeadline.h"
#include "bridge/UserSession.h"

namespace fw::bridge {

// The launch failed; the description says why, in the system's words where it gave some.
class LaunchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The application as the launch left it.
struct LaunchedApplication {
    // The bundle of the executable that was started (or that owns the installation's bus name).
    std::filesystem::path bundle;
    // A sentence saying that the started program has ended already, with its status where
    // known; none while it runs, after a clean exit (a running copy took the launch over), or
    // when the route cannot tell. Empty when the route cannot tell at all.
    std::function<std::optional<std::string>()> endedEarly;
};

// Whether a process of this user runs the application of the bundle at `appBundle` (canonical)
// and is not quitting.
bool isApplicationRunning(const std::filesystem::path& appBundle);

// Starts the application of the bundle at `appBundle` (canonical) as described above, the
// session's places taken from `session`, waiting at most until `deadline`. Throws LaunchError,
// IdentityError::peerInstallation (the bus name's owner runs another executable) or
// BridgeError::startupDeadline.
LaunchedApplication launchApplication(const std::filesystem::path& appBundle,
                                      const UserSession& session, MonotonicTime deadline);

// The sentence for a started program that ended with `waitStatus` (as waitpid reports it).
std::string endedDuringStartup(int waitStatus);

}  // namespace fw::bridge
