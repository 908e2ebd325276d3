#include "bridge/ApplicationLauncher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>
#include <vector>

#include "LocalAutomation/MCPLaunchRequest.h"
#include "LocalAutomation/MCPPeerIdentity.h"

extern char** environ;

namespace fw::bridge {

namespace identity = automation::MCPPeerIdentity;

namespace {

bool isProcessDirectory(std::string_view name) {
    return !name.empty() && name.find_first_not_of("0123456789") == std::string_view::npos;
}

// The companion's environment with the launch marker in place of any value it had.
std::vector<std::string> launchEnvironment() {
    const std::string prefix = std::string(launch_request::kEnvironmentVariable) + "=";
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::string_view(*entry).substr(0, prefix.size()) != prefix) {
            entries.emplace_back(*entry);
        }
    }
    entries.push_back(launch_request::environmentEntry());
    return entries;
}

LaunchError launchFailure(int error) {
    return LaunchError("Could not launch the Frameweaver app: " +
                       std::generic_category().message(error));
}

// posix_spawn attributes and file actions, released however the launch ends.
struct SpawnSetup {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;

    SpawnSetup() {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

bool isApplicationRunning(const std::filesystem::path& appBundle) {
    const std::string executable = identity::appExecutableURL(appBundle).string();
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (!isProcessDirectory(name)) {
            continue;
        }
        std::error_code unreadable;
        const std::filesystem::path running =
            std::filesystem::read_symlink(entry->path() / "exe", unreadable);
        if (!unreadable && running == executable) {
            return true;
        }
    }
    return false;
}

std::filesystem::path launchApplication(const std::filesystem::path& appBundle) {
    const std::string executable = identity::appExecutableURL(appBundle).string();
    std::vector<std::string> environment = launchEnvironment();
    std::vector<char*> environmentPointers;
    for (std::string& entry : environment) {
        environmentPointers.push_back(entry.data());
    }
    environmentPointers.push_back(nullptr);
    std::string program = executable;
    char* arguments[] = {program.data(), nullptr};

    SpawnSetup setup;
    sigset_t all;
    sigfillset(&all);
    sigset_t none;
    sigemptyset(&none);
    int result = posix_spawnattr_setsigdefault(&setup.attributes, &all);
    if (result == 0) {
        result = posix_spawnattr_setsigmask(&setup.attributes, &none);
    }
    if (result == 0) {
        result = posix_spawnattr_setflags(
            &setup.attributes,
            POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);
    }
    if (result == 0) {
        result = posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null",
                                                  O_RDWR, 0);
    }
    if (result == 0) {
        result = posix_spawn_file_actions_adddup2(&setup.actions, STDIN_FILENO, STDOUT_FILENO);
    }
    if (result == 0) {
        result = posix_spawn_file_actions_adddup2(&setup.actions, STDIN_FILENO, STDERR_FILENO);
    }
    if (result == 0) {
        result = posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);
    }
    if (result != 0) {
        throw launchFailure(result);
    }
    pid_t child = 0;
    result = posix_spawn(&child, executable.c_str(), &setup.actions, &setup.attributes, arguments,
                         environmentPointers.data());
    if (result != 0) {
        throw launchFailure(result);
    }
    return identity::appBundleURL(std::filesystem::path(executable));
}

}  // namespace fw::bridge
