// The companion's launch of the application and its search for a running copy, with stand-in
// executables in a temporary bundle: a shell script that reports what it was started with, and
// a copy of sleep(1) for a running application.
#include "bridge/ApplicationLauncher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace fw::bridge {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class TemporaryBundle {
public:
    TemporaryBundle() {
        char pattern[] = "/tmp/fwv-launch-XXXXXX";
        root_ = fs::canonical(::mkdtemp(pattern));
        fs::create_directories(executable().parent_path());
    }
    ~TemporaryBundle() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    fs::path bundle() const { return root_ / "Frameweaver.app"; }
    fs::path executable() const { return bundle() / "Contents" / "MacOS" / "Frameweaver"; }
    fs::path report() const { return root_ / "report"; }

private:
    fs::path root_;
};

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
               << "  echo \"arguments $#\"\n"
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
    // A descriptor the launch must not pass on, and a signal the companion ignores.
    const int leaked = ::dup2(STDERR_FILENO, 57);
    ASSERT_EQ(leaked, 57);
    const auto previous = std::signal(SIGPIPE, SIG_IGN);

    const fs::path launched = launchApplication(bundle.bundle());

    std::signal(SIGPIPE, previous);
    ::close(leaked);
    EXPECT_EQ(launched, bundle.bundle());
    const std::string report = readWhenComplete(bundle.report());
    EXPECT_NE(report.find("arguments 0\n"), std::string::npos) << report;
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
        launchApplication(bundle.bundle());
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

}  // namespace
}  // namespace fw::bridge
