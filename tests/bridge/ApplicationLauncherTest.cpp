// The companion's launch of the application and its search for a running copy, with stand-in
// executables in a temporary bundle: a shell script that reports what it was started with, and
// a copy of sleep(1) for a running application.
#include "bridge/ApplicationLauncher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <optional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "LocalAutomation/ActivationService.h"
#include "bridge/UserSession.h"
#include "tests/support/TestDirectory.h"

namespace fw::bridge {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class TemporaryBundle {
public:
    // The bundle lies in `folder` inside the test's directory.
    explicit TemporaryBundle(const std::string& folder = ".") : folder_(folder) {
        fs::create_directories(executable().parent_path());
    }
    fs::path root() const { return directory_.path(); }
    fs::path bundle() const { return (root() / folder_ / "Frameweaver.app").lexically_normal(); }
    fs::path executable() const { return bundle() / "Contents" / "MacOS" / "Frameweaver"; }
    fs::path report() const { return root() / "report"; }

    // Makes the application a shell script with `body`.
    void script(const std::string& body) const {
        std::ofstream(executable()) << "#!/bin/sh\n" << body;
        fs::permissions(executable(), fs::perms::owner_all);
    }
    // A script that reports how it was started into report(), then runs `then`.
    void reportingScript(const std::string& then = "") const {
        script("{\n"
               "  echo \"arguments $# $*\"\n"
               "  echo \"marker $FRAMEWEAVER_AUTOMATION_LAUNCH\"\n"
               "  echo \"session mark $FW_SESSION_MARK\"\n"
               "  echo \"folder $(pwd)\"\n"
               "  echo end\n"
               "} > " + report().string() + ".part && mv " + report().string() + ".part " +
               report().string() + "\n" + then);
    }

private:
    testing::TestDirectory directory_;
    std::string folder_;
};

// A deadline `duration` from now; the companion takes no more than its eight-second budget.
MonotonicTime in(std::chrono::nanoseconds duration) {
    return monotonicNow() + static_cast<std::uint64_t>(duration.count());
}

std::string readWhenComplete(const fs::path& file) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        if (text.str().find("end\n") != std::string::npos) {
            return text.str();
        }
        std::this_thread::sleep_for(20ms);
    }
    return "no report";
}

TEST(ApplicationLauncher, TheApplicationStartsDetachedWithTheMarkerAndNothingElseOfOurs) {
    TemporaryBundle bundle;
    {
        std::ofstream script(bundle.executable());
        script << "#!/bin/sh\n"
               << "fds=$(for fd in 0 1 2; do echo \"fd $fd $(readlink /proc/$$/fd/$fd)\"; done)\n"
               << "{\n"
               << "  echo \"arguments $# $*\"\n"
               << "  echo \"folder $(pwd)\"\n"
               << "  echo \"marker $FRAMEWEAVER_AUTOMATION_LAUNCH\"\n"
               << "  echo \"$fds\"\n"
               << "  [ -e /proc/$$/fd/57 ] && echo leaked\n"
               << "  grep SigIgn /proc/$$/status\n"
               << "  grep SigBlk /proc/$$/status\n"
               << "  echo \"session $(cut -d' ' -f6 /proc/$$/stat) pid $$\"\n"
               << "  echo end\n"
               << "} > " << bundle.report() << ".part && mv " << bundle.report() << ".part "
               << bundle.report() << "\n";
    }
    fs::permissions(bundle.executable(), fs::perms::owner_all);
    // The launch starts the application in "/", wherever the companion was started.
    const fs::path folder = fs::current_path();
    fs::current_path(bundle.root());
    // A descriptor the launch must not pass on, and a signal the companion ignores.
    const int leaked = ::dup2(STDERR_FILENO, 57);
    ASSERT_EQ(leaked, 57);
    const auto previous = std::signal(SIGPIPE, SIG_IGN);

    const LaunchedApplication launched =
        launchApplication(bundle.bundle(), UserSession::none(), in(7s));

    std::signal(SIGPIPE, previous);
    ::close(leaked);
    fs::current_path(folder);
    EXPECT_EQ(launched.bundle, bundle.bundle());
    const std::string report = readWhenComplete(bundle.report());
    EXPECT_NE(report.find("arguments 1 --frameweaver-automation-launch\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("folder /\n"), std::string::npos) << report;
    EXPECT_NE(report.find("marker 1\n"), std::string::npos) << report;
    for (const char* fd : {"fd 0 /dev/null\n", "fd 1 /dev/null\n", "fd 2 /dev/null\n"}) {
        EXPECT_NE(report.find(fd), std::string::npos) << report;
    }
    EXPECT_EQ(report.find("leaked"), std::string::npos) << report;
    // No ordinary signal ignored (the C library keeps its own, 32 and 33).
    const auto ignored = report.find("SigIgn:\t");
    ASSERT_NE(ignored, std::string::npos);
    EXPECT_EQ(std::stoull(report.substr(ignored + 8, 16), nullptr, 16) & 0x7fffffffu, 0u)
        << report;
    EXPECT_NE(report.find("SigBlk:\t0000000000000000\n"), std::string::npos) << report;
    // Its own session: the session id is its process id.
    const auto session = report.find("session ");
    ASSERT_NE(session, std::string::npos);
    std::istringstream ids(report.substr(session));
    std::string word, sid, pid;
    ids >> word >> sid >> word >> pid;
    EXPECT_EQ(sid, pid);
}

TEST(ApplicationLauncher, AFailedLaunchSaysWhy) {
    TemporaryBundle bundle;  // no executable in it
    try {
        launchApplication(bundle.bundle(), UserSession::none(), in(7s));
        FAIL() << "launched";
    } catch (const LaunchError& error) {
        EXPECT_STREQ(error.what(),
                     "Could not launch the Frameweaver app: No such file or directory");
    }
}

TEST(ApplicationLauncher, ARunningCopyIsOneRunningThisBundlesExecutable) {
    TemporaryBundle bundle;
    TemporaryBundle other;
    fs::copy_file("/bin/sleep", bundle.executable());
    fs::copy_file("/bin/sleep", other.executable());
    EXPECT_FALSE(isApplicationRunning(bundle.bundle()));

    std::string program = bundle.executable().string();
    std::string seconds = "60";
    char* arguments[] = {program.data(), seconds.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, program.c_str(), nullptr, nullptr, arguments, environ), 0);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!isApplicationRunning(bundle.bundle()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(isApplicationRunning(bundle.bundle()));
    EXPECT_FALSE(isApplicationRunning(other.bundle()));

    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_FALSE(isApplicationRunning(bundle.bundle()));
}

// What endedEarly() says once it says something, within a generous bound.
std::optional<std::string> awaitEnd(const LaunchedApplication& launched) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (auto ended = launched.endedEarly()) {
            return ended;
        }
        std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
}

TEST(ApplicationLauncher, ADetachedApplicationThatEndsIsNoticedWithItsStatus) {
    const struct {
        const char* body;
        const char* said;
    } cases[] = {
        {"exit 3\n", "The Frameweaver app quit during start-up with status 3."},
        {"kill -9 $$\n", "The Frameweaver app was ended by signal 9 during start-up."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        TemporaryBundle bundle;
        bundle.script(c.body);
        const LaunchedApplication launched =
            launchApplication(bundle.bundle(), UserSession::none(), in(7s));
        ASSERT_TRUE(launched.endedEarly);
        EXPECT_EQ(awaitEnd(launched), std::optional<std::string>(c.said));
    }
}

TEST(ApplicationLauncher, AnotherUsersCopyIsNotARunningCopy) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs to start a process as another user";
    }
    TemporaryBundle bundle;
    fs::copy_file("/bin/sleep", bundle.executable());
    fs::permissions(bundle.root(), fs::perms::all);
    std::string program = bundle.executable().string();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
            ::execl(program.c_str(), program.c_str(), "60", static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    // Until the other user's process runs the executable (or gave up).
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    std::error_code error;
    const fs::path exe = fs::path("/proc") / std::to_string(child) / "exe";
    while (fs::read_symlink(exe, error) != bundle.executable() &&
           std::chrono::steady_clock::now() < deadline && ::waitpid(child, nullptr, WNOHANG) == 0) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(fs::read_symlink(exe, error), bundle.executable());
    EXPECT_FALSE(isApplicationRunning(bundle.bundle()));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

// A session bus of our own: dbus-daemon with one services folder, started with an environment of
// its own (FW_SESSION_MARK=session) that the programs it activates inherit.
class PrivateBus {
public:
    PrivateBus() {
        fs::create_directories(services());
        std::ofstream(directory_ / "bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:path="
            << socket().string() << "</listen><servicedir>" << services().string()
            << "</servicedir><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        std::string program = "dbus-daemon";
        std::string configuration = "--config-file=" + (directory_ / "bus.conf").string();
        std::string nofork = "--nofork";
        char* arguments[] = {program.data(), configuration.data(), nofork.data(), nullptr};
        std::string mark = "FW_SESSION_MARK=session";
        std::string path = "PATH=/usr/bin:/bin";
        char* environment[] = {mark.data(), path.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const int result =
            ::posix_spawnp(&daemon_, program.c_str(), &actions, nullptr, arguments, environment);
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0) {
            daemon_ = -1;
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!fs::exists(socket()) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
    }
    ~PrivateBus() {
        if (daemon_ > 0) {
            ::kill(daemon_, SIGTERM);
            ::waitpid(daemon_, nullptr, 0);
        }
    }
    bool running() const { return daemon_ > 0 && fs::exists(socket()); }
    fs::path socket() const { return directory_ / "bus"; }
    fs::path services() const { return directory_ / "services"; }
    // A session on this bus whose services folder is `folder`.
    UserSession session(const fs::path& folder) const {
        UserSession result;
        result.busAddress = unixBusAddress(socket().string());
        result.servicesFolder = folder;
        return result;
    }

private:
    testing::TestDirectory directory_;
    pid_t daemon_ = -1;
};

TEST(ApplicationLauncher, TheSessionBusStartsTheApplicationWithTheSessionsEnvironment) {
    PrivateBus bus;
    ASSERT_TRUE(bus.running());
    // A path the service file must quote: a blank, a quote and a backslash.
    TemporaryBundle bundle("Bob's \\ apps");
    // Ends before it takes its bus name: the bus says how, and the launch says so at once.
    bundle.reportingScript("exit 3\n");
    try {
        launchApplication(bundle.bundle(), bus.session(bus.services()), in(7s));
        FAIL() << "launched";
    } catch (const LaunchError& error) {
        EXPECT_STREQ(error.what(), "The Frameweaver app quit during start-up with status 3.");
    }
    const std::string report = readWhenComplete(bundle.report());
    EXPECT_NE(report.find("arguments 1 --frameweaver-automation-launch\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("session mark session\n"), std::string::npos) << report;
    EXPECT_NE(report.find("marker \n"), std::string::npos) << report;

    // The service file names this installation's bus name and its exact executable.
    const auto name = automation::activation::busName(bundle.bundle().string());
    const std::string root = bundle.root().string();
    std::ifstream file(bus.services() / (name + ".service"));
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), "[D-BUS Service]\nName=" + name + "\nExec='" + root +
                              "/Bob'\"'\"'s \\\\ apps/Frameweaver.app/Contents/MacOS/Frameweaver'"
                              " --frameweaver-automation-launch\n");
}

TEST(ApplicationLauncher, ABusThatCannotStartItLeavesTheDetachedStart) {
    PrivateBus bus;
    ASSERT_TRUE(bus.running());
    const struct {
        const char* what;
        bool reachable;
    } cases[] = {{"a bus that does not read the user's services folder", true},
                 {"a bus address nobody listens on", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TemporaryBundle bundle;
        bundle.reportingScript();
        UserSession session = bus.session(bundle.root() / "elsewhere");
        if (!c.reachable) {
            session.busAddress = unixBusAddress((bundle.root() / "no-bus").string());
        }
        const LaunchedApplication launched =
            launchApplication(bundle.bundle(), session, in(7s));
        EXPECT_EQ(launched.bundle, bundle.bundle());
        const std::string report = readWhenComplete(bundle.report());
        EXPECT_NE(report.find("marker 1\n"), std::string::npos) << report;
        EXPECT_NE(report.find("session mark \n"), std::string::npos) << report;
    }
}

TEST(ApplicationLauncher, TheSessionIsFoundAtItsStandardPlacesWhenTheEnvironmentLacksIt) {
    TemporaryBundle place;
    const fs::path runtime = place.root() / "run";
    fs::create_directories(runtime);
    const auto find = [](std::map<std::string, std::string> variables) {
        return UserSession::find([variables](const char* name) -> const char* {
            const auto found = variables.find(name);
            return found == variables.end() ? nullptr : found->second.c_str();
        });
    };
    // No socket in the runtime folder yet.
    const UserSession bare = find({{"XDG_RUNTIME_DIR", runtime.string()}, {"HOME", "/home/u"}});
    if (!fs::exists(fs::path("/run/user") / std::to_string(::getuid()) / "bus")) {
        EXPECT_FALSE(bare.busAddress);
    }
    EXPECT_EQ(bare.servicesFolder, fs::path("/home/u/.local/share/dbus-1/services"));

    PrivateBus bus;
    ASSERT_TRUE(bus.running());
    fs::create_symlink(bus.socket(), runtime / "bus");
    EXPECT_EQ(find({{"XDG_RUNTIME_DIR", runtime.string()}}).busAddress,
              "unix:path=" + (runtime / "bus").string());
    EXPECT_EQ(find({{"XDG_RUNTIME_DIR", runtime.string()}, {"DBUS_SESSION_BUS_ADDRESS", "x:y=z"}})
                  .busAddress,
              "x:y=z");
    EXPECT_EQ(find({{"XDG_DATA_HOME", "/data"}, {"HOME", "/home/u"}}).servicesFolder,
              fs::path("/data/dbus-1/services"));
    EXPECT_EQ(unixBusAddress("/a b/c,d=e"), "unix:path=/a%20b/c%2cd%3de");
}

}  // namespace
}  // namespace fw::bridge
