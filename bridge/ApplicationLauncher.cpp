#include "bridge/ApplicationLauncher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "LocalAutomation/ActivationService.h"
#include "LocalAutomation/IdentityError.h"
#include "LocalAutomation/MCPLaunchRequest.h"
#include "LocalAutomation/MCPPeerIdentity.h"
#include "bridge/SessionBus.h"

extern char** environ;

namespace fw::bridge {

namespace fs = std::filesystem;
namespace identity = automation::MCPPeerIdentity;
namespace activation = automation::activation;

namespace {

bool isProcessDirectory(std::string_view name) {
    return !name.empty() && name.find_first_not_of("0123456789") == std::string_view::npos;
}

// The state letter of /proc/<pid>/stat (after the command name, which may hold blanks and
// parentheses); 0 when it cannot be read.
char processState(const fs::path& processDirectory) {
    std::ifstream in(processDirectory / "stat");
    std::string text;
    std::getline(in, text);
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) {
        return 0;
    }
    return text[close + 2];
}

// A process that has ended or is being reaped: it will never listen again.
bool isEnding(char state) {
    return state == 0 || state == 'Z' || state == 'X' || state == 'x';
}

bool ownedByThisUser(const fs::path& processDirectory) {
    struct stat status {};
    return ::stat(processDirectory.c_str(), &status) == 0 && status.st_uid == ::geteuid();
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

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
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

    // A detached child: its own session, default signal handling, standard streams on
    // /dev/null, nothing else inherited, started in "/". Returns 0 or the error number.
    int detach() {
        sigset_t all;
        sigfillset(&all);
        sigset_t none;
        sigemptyset(&none);
        int result = posix_spawnattr_setsigdefault(&attributes, &all);
        if (result == 0) {
            result = posix_spawnattr_setsigmask(&attributes, &none);
        }
        if (result == 0) {
            result = posix_spawnattr_setflags(
                &attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);
        }
        if (result == 0) {
            result = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDWR,
                                                      0);
        }
        if (result == 0) {
            result = posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
        }
        if (result == 0) {
            result = posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDERR_FILENO);
        }
        if (result == 0) {
            result = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        }
        if (result == 0) {
            result = posix_spawn_file_actions_addchdir_np(&actions, "/");
        }
        return result;
    }
};

// --- Route 1: D-Bus activation of the installation's bus name ---

// Writes the service file unless the same text is there already; false when it cannot.
bool writeServiceFile(const fs::path& folder, const std::string& name, const std::string& text) {
    const fs::path file = folder / name;
    {
        std::ifstream existing(file, std::ios::binary);
        std::ostringstream current;
        current << existing.rdbuf();
        if (existing && current.str() == text) {
            return true;
        }
    }
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        return false;
    }
    // Written beside it and renamed over it, so the bus never reads half a file.
    fs::path partial = file;
    partial += ".part-" + std::to_string(::getpid());
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            fs::remove(partial, error);
            return false;
        }
    }
    fs::rename(partial, file, error);
    if (error) {
        fs::remove(partial, error);
        return false;
    }
    return true;
}

// The bundle whose application executable process `pid` runs; none when it cannot be read.
std::optional<fs::path> bundleOfProcess(pid_t pid) {
    std::error_code error;
    const fs::path executable =
        fs::read_symlink(fs::path("/proc") / std::to_string(pid) / "exe", error);
    if (error || executable.filename() != identity::appExecutableName) {
        return std::nullopt;
    }
    return identity::appBundleURL(executable);
}

std::optional<LaunchedApplication> launchThroughBus(const fs::path& appBundle,
                                                    const UserSession& session,
                                                    MonotonicTime deadline) {
    const auto text = activation::serviceFileText(appBundle);
    if (!text || session.servicesFolder.empty()) {
        return std::nullopt;
    }
    auto bus = SessionBus::connect(*session.busAddress);
    if (!bus) {
        return std::nullopt;
    }
    const std::string name = activation::busName(appBundle.string());
    if (!writeServiceFile(session.servicesFolder, activation::serviceFileName(appBundle.string()),
                          *text)) {
        return std::nullopt;
    }
    auto started = bus->startService(name, deadline);
    if (started.outcome == SessionBus::Activation::Outcome::unknownName) {
        // A bus that does not look at its folders again by itself on an unknown name.
        bus->reloadConfiguration(deadline);
        started = bus->startService(name, deadline);
    }
    using Outcome = SessionBus::Activation::Outcome;
    switch (started.outcome) {
        case Outcome::started:
            break;
        case Outcome::unknownName:
            // This bus does not read the user's services folder: another route.
            return std::nullopt;
        case Outcome::childExited:
            throw LaunchError(started.number ? endedDuringStartup(W_EXITCODE(*started.number, 0))
                                             : "The Frameweaver app quit during start-up.");
        case Outcome::childSignaled:
            throw LaunchError(started.number ? endedDuringStartup(W_EXITCODE(0, *started.number))
                                             : "The Frameweaver app quit during start-up.");
        case Outcome::failed:
            throw LaunchError("The session bus could not start the Frameweaver app: " +
                              started.message);
    }
    // The name is this installation's, but anything of this user may have taken it: the owner
    // must run this installation's executable.
    const auto pid = bus->ownerProcess(name, deadline);
    const auto bundle = pid ? bundleOfProcess(*pid) : std::nullopt;
    if (!bundle) {
        throw automation::IdentityError::peerInstallation();
    }
    const fs::path processDirectory = fs::path("/proc") / std::to_string(*pid);
    LaunchedApplication launched{*bundle, {}};
    launched.endedEarly = [processDirectory]() -> std::optional<std::string> {
        if (isEnding(processState(processDirectory))) {
            return std::string("The Frameweaver app quit during start-up.");
        }
        return std::nullopt;
    };
    return launched;
}

// --- Route 2: the user's service manager ---

// Waits for a child until `deadline`; its wait status, or none when it is still running.
std::optional<int> awaitChild(pid_t child, MonotonicTime deadline) {
    using namespace std::chrono_literals;
    while (true) {
        int status = 0;
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) {
            return status;
        }
        if (done < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (timeLeft(deadline) == 0) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(10ms);
    }
}

std::optional<LaunchedApplication> launchThroughServiceManager(const fs::path& appBundle,
                                                               const UserSession& session,
                                                               MonotonicTime deadline) {
    std::vector<std::string> environment = {
        "XDG_RUNTIME_DIR=" + session.serviceManagerRuntime->string(),
        "PATH=/usr/local/bin:/usr/bin:/bin"};
    if (const char* home = std::getenv("HOME")) {
        environment.push_back(std::string("HOME=") + home);
    }
    std::vector<std::string> arguments = {"systemd-run",
                                          "--user",
                                          "--quiet",
                                          "--collect",
                                          "--no-block",
                                          "--working-directory=/",
                                          "--",
                                          identity::appExecutableURL(appBundle).string(),
                                          std::string(launch_request::kArgument)};
    auto environmentPointers = pointers(environment);
    auto argumentPointers = pointers(arguments);
    for (const char* program : {"/usr/bin/systemd-run", "/bin/systemd-run"}) {
        SpawnSetup setup;
        if (setup.detach() != 0) {
            return std::nullopt;
        }
        pid_t child = 0;
        if (::posix_spawn(&child, program, &setup.actions, &setup.attributes,
                          argumentPointers.data(), environmentPointers.data()) != 0) {
            continue;
        }
        const auto status = awaitChild(child, deadline);
        if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) {
            return LaunchedApplication{appBundle, {}};
        }
        if (!status) {
            ::kill(child, SIGKILL);
            (void)::waitpid(child, nullptr, 0);
        }
        return std::nullopt;
    }
    return std::nullopt;
}

// --- Route 3: a detached start of our own ---

LaunchedApplication launchDetached(const fs::path& appBundle) {
    const std::string executable = identity::appExecutableURL(appBundle).string();
    std::vector<std::string> environment = launchEnvironment();
    auto environmentPointers = pointers(environment);
    std::vector<std::string> arguments = {executable, std::string(launch_request::kArgument)};
    auto argumentPointers = pointers(arguments);

    SpawnSetup setup;
    if (const int result = setup.detach(); result != 0) {
        throw launchFailure(result);
    }
    pid_t child = 0;
    if (const int result = ::posix_spawn(&child, executable.c_str(), &setup.actions,
                                         &setup.attributes, argumentPointers.data(),
                                         environmentPointers.data());
        result != 0) {
        throw launchFailure(result);
    }
    LaunchedApplication launched{identity::appBundleURL(fs::path(executable)), {}};
    // The child is ours: its status is known, and reaping it here keeps no zombie behind.
    launched.endedEarly = [child, ended = std::optional<int>()]() mutable
        -> std::optional<std::string> {
        if (!ended) {
            int status = 0;
            if (::waitpid(child, &status, WNOHANG) != child) {
                return std::nullopt;
            }
            ended = status;
        }
        if (WIFEXITED(*ended) && WEXITSTATUS(*ended) == 0) {
            return std::nullopt;
        }
        return endedDuringStartup(*ended);
    };
    return launched;
}

}  // namespace

std::string endedDuringStartup(int waitStatus) {
    if (WIFSIGNALED(waitStatus)) {
        return "The Frameweaver app was ended by signal " + std::to_string(WTERMSIG(waitStatus)) +
               " during start-up.";
    }
    return "The Frameweaver app quit during start-up with status " +
           std::to_string(WEXITSTATUS(waitStatus)) + ".";
}

bool isApplicationRunning(const fs::path& appBundle) {
    const std::string executable = identity::appExecutableURL(appBundle).string();
    std::error_code error;
    for (fs::directory_iterator entry("/proc", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (!isProcessDirectory(name) || !ownedByThisUser(entry->path())) {
            continue;
        }
        std::error_code unreadable;
        const fs::path running = fs::read_symlink(entry->path() / "exe", unreadable);
        if (!unreadable && running == executable && !isEnding(processState(entry->path()))) {
            return true;
        }
    }
    return false;
}

LaunchedApplication launchApplication(const fs::path& appBundle, const UserSession& session,
                                      MonotonicTime deadline) {
    if (session.busAddress) {
        if (auto launched = launchThroughBus(appBundle, session, deadline)) {
            return *launched;
        }
    }
    if (session.serviceManagerRuntime) {
        if (auto launched = launchThroughServiceManager(appBundle, session, deadline)) {
            return *launched;
        }
    }
    return launchDetached(appBundle);
}

}  // namespace fw::bridge
