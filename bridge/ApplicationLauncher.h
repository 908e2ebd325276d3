// Finding a running copy of the application and starting it in the background: what the
// companion needs of the desktop's workspace service.
//
// A running copy of an installation is a process of this user whose executable is that
// installation's "Contents/MacOS/Frameweaver" (read from /proc/<pid>/exe; processes whose
// executable cannot be read, such as other users', are passed over).
//
// The launch starts the application's executable with posix_spawn, detached from the companion:
// in a session of its own, every signal disposition back to its default and no signal blocked
// (the companion ignores SIGPIPE), standard streams on /dev/null (the companion's standard
// output is the MCP channel, and nothing may reach it), no descriptor above 2 inherited, the
// companion's environment plus the launch event's marker (LocalAutomation/MCPLaunchRequest.h).
// No command-line marker is passed. The companion does not wait for it.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace fw::bridge {

// The launch failed; the description is the system's own text of why.
class LaunchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Whether a process of this user runs the application of the bundle at `appBundle` (canonical).
bool isApplicationRunning(const std::filesystem::path& appBundle);

// Starts the application of the bundle at `appBundle` (canonical) as described above and
// returns the bundle of the executable it started. Throws LaunchError.
std::filesystem::path launchApplication(const std::filesystem::path& appBundle);

}  // namespace fw::bridge
