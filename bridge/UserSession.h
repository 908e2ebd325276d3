// UserSession: where the companion finds the user's session services, whatever environment its
// client gave it. AI clients often start the companion with only HOME, PATH and a few more: no
// bus address and no runtime directory. The session bus and the service manager are then looked
// for at their standard per-user places, so the application can still be started in the
// session, with the session's environment (display included), rather than the companion's.
//
//   runtime directory  $XDG_RUNTIME_DIR when it is an absolute path to a directory, else
//                      /run/user/<uid> when that is a directory
//   session bus        $DBUS_SESSION_BUS_ADDRESS when set (it is not second-guessed), else the
//                      socket "bus" in $XDG_RUNTIME_DIR or in /run/user/<uid>, the first that is
//                      a socket
//   services folder    the user's D-Bus services folder: $XDG_DATA_HOME/dbus-1/services, else
//                      $HOME/.local/share/dbus-1/services, else the same below the home
//                      directory of the user database
//   service manager    the user's service manager, when its private socket "systemd/private"
//                      is in the runtime directory
//
// Plain values; finding them reads the environment and looks at the file system only.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace fw::bridge {

struct UserSession {
    // The session bus's D-Bus address; none when none was found.
    std::optional<std::string> busAddress;
    // Where service files for the session bus go; empty when no home directory is known.
    std::filesystem::path servicesFolder;
    // The runtime directory of a running service manager of this user; none without one.
    std::optional<std::filesystem::path> serviceManagerRuntime;

    // What `variable` gives for each environment variable (null when unset).
    using Environment = std::function<const char*(const char* variable)>;

    // The session of this process's user, found as described above.
    static UserSession find();
    static UserSession find(const Environment& environment);
    // No session service reachable: only the detached start is left.
    static UserSession none() { return {}; }
};

// A D-Bus address for the Unix socket at `path`, with the bytes the address syntax reserves
// escaped.
std::string unixBusAddress(const std::string& path);

}  // namespace fw::bridge
