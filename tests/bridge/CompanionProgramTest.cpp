// The companion program itself against a stand-in application: the signed peer program of the
// identity tests sits in a temporary bundle as its "Frameweaver", beside a copy of the companion,
// and serves a file of lines after the handshake. These cases are about how the program ends:
// its exit status and its standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "LocalAutomation/MCPPeerIdentity.h"
#include "tests/bridge/PrivateRuntime.h"
#include "tests/support/TestDirectory.h"

namespace fw::bridge {
namespace {

namespace fs = std::filesystem;
namespace identity = automation::MCPPeerIdentity;
using namespace std::chrono_literals;

// A bundle with the stand-in application and the companion, and the socket of that bundle in
// a private runtime folder where one can be made. The socket and its lock file are removed with
// the bundle in any case.
class StandInBundle {
public:
    StandInBundle() {
        const fs::path macos = bundle() / "Contents" / "MacOS";
        fs::create_directories(macos);
        fs::copy_file(FW_IDENTITY_PEER, macos / "Frameweaver");
        fs::copy_file(std::string(FW_IDENTITY_PEER) + ".application.sig", macos / "Frameweaver.sig");
        fs::copy_file(FW_COMPANION, companion());
        fs::copy_file(std::string(FW_COMPANION) + ".sig", companion().string() + ".sig");
        socket_ = identity::socketURL(bundle());
    }
    ~StandInBundle() {
        std::error_code ignored;
        fs::remove(socket_, ignored);
        fs::remove(identity::lockFileURL(socket_), ignored);
    }
    StandInBundle(const StandInBundle&) = delete;
    StandInBundle& operator=(const StandInBundle&) = delete;

    fs::path bundle() const { return root_.path() / "Frameweaver.app"; }
    fs::path application() const { return bundle() / "Contents" / "MacOS" / "Frameweaver"; }
    fs::path companion() const { return bundle() / "Contents" / "MacOS" / "frameweaver-mcp"; }
    const fs::path& socket() const { return socket_; }
    fs::path file(const std::string& name, const std::string& bytes) const {
        std::ofstream(root_ / name, std::ios::binary) << bytes;
        return root_ / name;
    }

private:
    fw::testing::TestDirectory root_;
    fs::path socket_;
};

// Each test's programs keep their socket folder to themselves.
class CompanionProgram : public ::testing::Test {
protected:
    testing::PrivateRuntime runtime;
};

pid_t spawn(const std::vector<std::string>& command, posix_spawn_file_actions_t* actions) {
    std::vector<std::string> copies = command;
    std::vector<char*> arguments;
    for (std::string& argument : copies) {
        arguments.push_back(argument.data());
    }
    arguments.push_back(nullptr);
    pid_t child = -1;
    if (posix_spawn(&child, arguments[0], actions, nullptr, arguments.data(), environ) != 0) {
        return -1;
    }
    return child;
}

std::string readAll(int fd) {
    std::string bytes;
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

struct Outcome {
    int status = -1;
    std::string output;
    std::string errors;
};

// Runs the companion as a client would, writing `request` to its standard input, which is held
// open until the companion ends; with `closeOutput` the client has closed its reading end of the
// companion's standard output.
Outcome runCompanion(const fs::path& companion, bool closeOutput, const std::string& request = "") {
    int input[2], output[2], errors[2];
    EXPECT_EQ(::pipe2(input, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(output, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(errors, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errors[1], 2);
    const pid_t child = spawn({companion.string()}, &actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    ::close(errors[1]);
    if (closeOutput) {
        ::close(output[0]);
    }
    if (!request.empty()) {
        EXPECT_EQ(::write(input[1], request.data(), request.size()),
                  static_cast<ssize_t>(request.size()));
    }
    Outcome outcome;
    std::thread reader([&] {
        if (!closeOutput) {
            outcome.output = readAll(output[0]);
        }
    });
    outcome.errors = readAll(errors[0]);
    reader.join();
    int status = 0;
    ::waitpid(child, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ::close(input[1]);
    if (!closeOutput) {
        ::close(output[0]);
    }
    ::close(errors[0]);
    return outcome;
}

TEST_F(CompanionProgram, ItsExitStatusTellsTheClientHowTheConnectionEnded) {
    struct Case {
        const char* name;
        std::string fromApplication;
        bool closeOutput;
        int status;
        std::string output;
        std::string errors;
    };
    const std::string longest(262'144, 'x');
    const Case cases[] = {
        {"the application answers and closes", "{\"id\":1}\n\n\r\n" + longest + "\n", false, 0,
         "{\"id\":1}\n\r\n" + longest + "\n", ""},
        {"a line from the application one byte too long", "{\"id\":1}\n" + longest + "x\n",
         false, 1, "{\"id\":1}\n",
         "Frameweaver MCP bridge output: MCP message exceeds the size limit\n"},
        {"the client no longer reads", "{\"id\":1}\n", true, 1, "",
         "Frameweaver MCP bridge: Unix socket error " + std::to_string(EPIPE) + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StandInBundle bundle;
        std::error_code ignored;
        fs::remove(bundle.socket(), ignored);
        const pid_t application = spawn({bundle.application().string(), "serve",
                                         bundle.socket().string(),
                                         bundle.file("answers", c.fromApplication).string()},
                                        nullptr);
        ASSERT_GT(application, 0);
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!fs::exists(bundle.socket()) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        const Outcome outcome = runCompanion(bundle.companion(), c.closeOutput);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.output, c.output);
        EXPECT_EQ(outcome.errors, c.errors);
        int status = 0;
        ::waitpid(application, &status, 0);
    }
}

// The application is killed (kill -9) while it holds the client's request: the client hears of
// it through the exit status and standard error, not a quiet 0.
TEST_F(CompanionProgram, AnApplicationKilledWithARequestInHandIsAFailure) {
    StandInBundle bundle;
    std::error_code ignored;
    fs::remove(bundle.socket(), ignored);
    const pid_t application =
        spawn({bundle.application().string(), "crash", bundle.socket().string()}, nullptr);
    ASSERT_GT(application, 0);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!fs::exists(bundle.socket()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    const Outcome outcome = runCompanion(
        bundle.companion(), false, "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools/list\"}\n");
    int status = 0;
    ASSERT_EQ(::waitpid(application, &status, 0), application);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(outcome.errors,
              "Frameweaver MCP bridge output: The Frameweaver app closed the connection before "
              "answering a request; it may have quit or crashed.\n");
}

}  // namespace
}  // namespace fw::bridge
