// Start-up of the companion against real sockets in a temporary folder: the deadline arithmetic,
// the non-blocking connect, one connection attempt with its handshake, and connect-or-launch
// with stand-ins for the peer check and the workspace (a "launch" starts a listener thread).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LocalAutomation/IdentityError.h"
#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/SocketError.h"
#include "bridge/BridgeConnection.h"
#include "bridge/BridgeError.h"
#include "bridge/MCPBridgeMain.h"
#include "bridge/StartupDeadline.h"
#include "tests/support/TestDirectory.h"

namespace fw::bridge {
namespace {

using automation::IdentityError;
using automation::SocketError;
namespace socket = automation::MCPUnixSocket;
using namespace std::chrono_literals;

MonotonicTime in(std::chrono::nanoseconds duration) {
    return monotonicNow() + static_cast<std::uint64_t>(duration.count());
}

// A private folder for socket files, removed with the fixture.
class SocketFolder {
public:
    std::string socket() const { return directory_.path("app.sock"); }

private:
    testing::TestDirectory directory_;
};

// A listening socket at `path` (backlog given), closed with the object.
class Listener {
public:
    Listener(const std::string& path, int backlog = 8) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        socket::withSocketAddress(path, [&](const sockaddr* address, socklen_t size) {
            return ::bind(fd_, address, size);
        });
        ::listen(fd_, backlog);
    }
    ~Listener() { ::close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// An application stand-in: accepts one connection, writes `hello`, and reads what comes back
// (the echo); an empty `hello` closes the connection at once, none writes nothing.
class FakeApplication {
public:
    FakeApplication(const std::string& path, std::optional<std::string> hello)
        : listener_(path), thread_([this, hello] {
              const int connection = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
              if (connection < 0) {
                  return;
              }
              if (hello && hello->empty()) {
                  ::close(connection);
                  return;
              }
              if (hello) {
                  try {
                      socket::writeAll(*hello, connection);
                  } catch (const SocketError&) {
                      // The companion has already given up on this peer.
                  }
              }
              char buffer[64];
              ssize_t n = 0;
              while ((n = ::read(connection, buffer, sizeof buffer)) > 0) {
                  echo_.append(buffer, static_cast<std::size_t>(n));
                  if (echo_.find('\n') != std::string::npos) {
                      break;
                  }
              }
              ::close(connection);
          }) {}
    ~FakeApplication() {
        ::shutdown(listener_.fd(), SHUT_RDWR);
        thread_.join();
    }
    FakeApplication(const FakeApplication&) = delete;
    FakeApplication& operator=(const FakeApplication&) = delete;

    std::string echo() {
        thread_.join();
        thread_ = std::thread([] {});
        return echo_;
    }

private:
    Listener listener_;
    std::string echo_;
    std::thread thread_;
};

void noPeerCheck(int) {}

TEST(BridgeStartup, TheTimeLeftBecomesSocketTimeoutsThatAreNeverZero) {
    struct Case {
        std::uint64_t nanoseconds;
        time_t seconds;
        suseconds_t microseconds;
    };
    const Case cases[] = {
        {2'500'000'000, 2, 500'000},
        {3'000'000'500, 3, 1},
        {8'000'000'000, 8, 1},
        {1, 0, 1},
        {1'999, 0, 1},
        {7'999'999'999, 7, 999'999},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nanoseconds);
        const timeval value = timeoutValue(c.nanoseconds);
        EXPECT_EQ(value.tv_sec, c.seconds);
        EXPECT_EQ(value.tv_usec, c.microseconds);
    }
}

TEST(BridgeStartup, NoTimeLeftOrMoreThanTheBudgetMeansTheDeadlinePassed) {
    EXPECT_EQ(timeLeft(1'000'000'000, 999'999'999), 1u);
    EXPECT_EQ(timeLeft(9'000'000'000, 1'000'000'000), kStartupBudgetNanoseconds);
    EXPECT_THROW(timeLeft(1'000, 1'000), BridgeError);
    EXPECT_THROW(timeLeft(1'000, 1'001), BridgeError);  // the unsigned difference is huge
    EXPECT_THROW(timeLeft(9'000'000'001, 1'000'000'000), BridgeError);
    EXPECT_EQ(std::string(BridgeError::startupDeadline().what()),
              "Startup exceeded eight seconds. Check Frameweaver\u2019s Automation Settings and "
              "restart the bridge.");
}

TEST(BridgeStartup, TheGuardLetsExactlyOneSideWin) {
    StartupDeadlineGuard completed(in(7s));
    completed.complete();
    completed.fire();  // too late to matter: nothing happens

    StartupDeadlineGuard late(monotonicNow());
    EXPECT_THROW(late.complete(), BridgeError);

    EXPECT_EXIT(
        {
            StartupDeadlineGuard guard(in(50ms));
            StartupTimer timer(guard);
            std::this_thread::sleep_for(60s);
        },
        ::testing::ExitedWithCode(1),
        "Frameweaver MCP bridge: Startup exceeded eight seconds");
}

TEST(BridgeStartup, AnAttemptWithTheDeadlinePassedMakesNoSocket) {
    SocketFolder folder;
    FakeApplication application(folder.socket(), std::string(socket::helloLine));
    bool checked = false;
    EXPECT_THROW(attemptConnection(folder.socket(), monotonicNow(), [&](int) { checked = true; }),
                 BridgeError);
    EXPECT_FALSE(checked);
}

TEST(BridgeStartup, AnAttemptWhereNobodyListensIsToBeTriedAgain) {
    SocketFolder folder;
    // No socket file.
    EXPECT_EQ(attemptConnection(folder.socket(), in(7s), noPeerCheck), std::nullopt);
    // A socket file nobody listens on, as a crashed application leaves it.
    {
        const int stale = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        socket::withSocketAddress(folder.socket(), [&](const sockaddr* address, socklen_t size) {
            return ::bind(stale, address, size);
        });
        ::close(stale);
    }
    EXPECT_EQ(attemptConnection(folder.socket(), in(7s), noPeerCheck), std::nullopt);
    std::filesystem::remove(folder.socket());

    // A full backlog: connect() says EAGAIN.
    Listener busy(folder.socket(), 0);
    std::vector<int> queued;
    while (queued.size() < 64) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int result =
            socket::withSocketAddress(folder.socket(), [&](const sockaddr* address,
                                                           socklen_t size) {
                return ::connect(fd, address, size);
            });
        if (result != 0) {
            ASSERT_EQ(errno, EAGAIN);
            ::close(fd);
            break;
        }
        queued.push_back(fd);
    }
    EXPECT_EQ(attemptConnection(folder.socket(), in(7s), noPeerCheck), std::nullopt);
    for (int fd : queued) {
        ::close(fd);
    }
}

TEST(BridgeStartup, AnAttemptCompletesTheHandshakeAfterThePeerCheck) {
    SocketFolder folder;
    FakeApplication application(folder.socket(), std::string(socket::helloLine));
    std::vector<int> checked;
    const auto descriptor =
        attemptConnection(folder.socket(), in(7s), [&](int fd) { checked.push_back(fd); });
    ASSERT_TRUE(descriptor.has_value());
    EXPECT_EQ(checked, std::vector<int>{*descriptor});
    EXPECT_EQ(application.echo(), socket::helloLine);
    // Ready for the relay: blocking, without timeouts, not inherited by a launched program.
    EXPECT_EQ(::fcntl(*descriptor, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(*descriptor, F_GETFD) & FD_CLOEXEC, 0);
    timeval timeout{};
    socklen_t size = sizeof timeout;
    ASSERT_EQ(::getsockopt(*descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, &size), 0);
    EXPECT_EQ(timeout.tv_sec + timeout.tv_usec, 0);
    socket::close(*descriptor);
}

TEST(BridgeStartup, AnAttemptThatReachesTheWrongPeerFailsAtOnce) {
    struct Case {
        const char* name;
        std::optional<std::string> hello;
        bool peerFails;
        std::chrono::milliseconds limit;
        std::string expected;
    };
    const std::string deadline(BridgeError::kStartupDeadlineText);
    const Case cases[] = {
        {"another handshake version", std::string("FWV-MCP/2\n"), false, 7s,
         "Frameweaver bridge protocol version mismatch"},
        {"a handshake line of 33 bytes", std::string(33, 'F') + "\n", false, 7s,
         "MCP message exceeds the size limit"},
        {"a peer that is not the application", std::string(socket::helloLine), true, 7s,
         "The connected peer has an invalid code signature"},
        {"a peer that closes during the handshake", std::string(), false, 7s,
         "Unix socket error 0"},
        {"an application serving all the connections it takes", std::string(socket::busyLine),
         false, 7s, std::string(BridgeError::kConnectionLimitText)},
        {"an application that refused this companion's signature",
         std::string(socket::refusedLine), false, 7s,
         std::string(BridgeError::kBridgeRefusedText)},
        {"a peer that stays silent until the deadline", std::nullopt, false, 300ms, deadline},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketFolder folder;
        FakeApplication application(folder.socket(), c.hello);
        const auto check = [&](int) {
            if (c.peerFails) {
                throw IdentityError::peerSignature();
            }
        };
        try {
            (void)attemptConnection(folder.socket(), in(c.limit), check);
            ADD_FAILURE() << "the attempt succeeded";
        } catch (const std::exception& error) {
            EXPECT_EQ(std::string(error.what()), c.expected);
        }
    }
}

// Services whose launch starts a listener that answers the handshake, after `delay`.
struct FakeWorkspace {
    std::string socketPath;
    std::filesystem::path bundle;
    bool running = false;
    std::optional<IdentityError> signatureFailure;
    std::filesystem::path launchedBundle;
    // What the launched application's early end says; set, the launch starts no listener.
    std::optional<std::string> endedEarly;
    std::atomic<int> launches{0};
    std::atomic<int> validations{0};
    std::optional<FakeApplication> application;

    StartupServices services() {
        StartupServices result;
        result.checkPeer = noPeerCheck;
        result.validateApplication = [this] {
            ++validations;
            if (signatureFailure) {
                throw *signatureFailure;
            }
        };
        result.isApplicationRunning = [this] { return running; };
        result.launchApplication = [this](MonotonicTime) {
            ++launches;
            LaunchedApplication launched;
            launched.bundle = launchedBundle.empty() ? bundle : launchedBundle;
            if (endedEarly) {
                launched.endedEarly = [this] { return endedEarly; };
            } else {
                application.emplace(socketPath, std::string(socket::helloLine));
            }
            return launched;
        };
        result.retryPause = 20ms;
        return result;
    }
};

TEST(BridgeStartup, ConnectOrLaunchLaunchesOnlyWhenNothingRuns) {
    SocketFolder folder;
    FakeWorkspace workspace;
    workspace.socketPath = folder.socket();
    workspace.bundle = std::filesystem::temp_directory_path();
    const int descriptor = MCPBridgeMain::connectOrLaunch(workspace.bundle, folder.socket(),
                                                          in(7s), workspace.services());
    EXPECT_GE(descriptor, 0);
    EXPECT_EQ(workspace.launches, 1);
    EXPECT_EQ(workspace.validations, 1);
    socket::close(descriptor);
    EXPECT_EQ(workspace.application->echo(), socket::helloLine);
}

TEST(BridgeStartup, ARunningApplicationIsWaitedForNotLaunched) {
    SocketFolder folder;
    FakeWorkspace workspace;
    workspace.running = true;
    std::optional<FakeApplication> application;
    std::thread starting([&] {
        std::this_thread::sleep_for(200ms);
        application.emplace(folder.socket(), std::string(socket::helloLine));
    });
    const int descriptor = MCPBridgeMain::connectOrLaunch(
        std::filesystem::temp_directory_path(), folder.socket(), in(7s), workspace.services());
    starting.join();
    EXPECT_EQ(workspace.launches, 0);
    EXPECT_EQ(workspace.validations, 0);
    socket::close(descriptor);
}

TEST(BridgeStartup, ConnectOrLaunchGivesUpAtTheDeadlineOrOnAFailedCheck) {
    SocketFolder folder;
    {
        SCOPED_TRACE("an application that runs but never listens");
        FakeWorkspace workspace;
        workspace.running = true;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_THROW(MCPBridgeMain::connectOrLaunch(std::filesystem::temp_directory_path(),
                                                    folder.socket(), in(300ms),
                                                    workspace.services()),
                     BridgeError);
        EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
    }
    {
        SCOPED_TRACE("a bundle whose signature does not hold is not launched");
        FakeWorkspace workspace;
        workspace.signatureFailure = IdentityError::appSignature();
        try {
            MCPBridgeMain::connectOrLaunch(std::filesystem::temp_directory_path(),
                                           folder.socket(), in(7s), workspace.services());
            ADD_FAILURE() << "connected";
        } catch (const IdentityError& error) {
            EXPECT_EQ(error.description(),
                      "The Frameweaver app does not have a valid Quillbrook Studio signature");
        }
        EXPECT_EQ(workspace.launches, 0);
    }
    {
        SCOPED_TRACE("a launched application that ended is reported at once, not at the deadline");
        FakeWorkspace workspace;
        workspace.bundle = std::filesystem::temp_directory_path();
        workspace.endedEarly = "The Frameweaver app quit during start-up with status 3.";
        const auto started = std::chrono::steady_clock::now();
        try {
            MCPBridgeMain::connectOrLaunch(workspace.bundle, folder.socket(), in(7s),
                                           workspace.services());
            ADD_FAILURE() << "connected";
        } catch (const LaunchError& error) {
            EXPECT_STREQ(error.what(), "The Frameweaver app quit during start-up with status 3.");
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
    }
    {
        SCOPED_TRACE("a launch that starts another installation");
        FakeWorkspace workspace;
        workspace.socketPath = folder.socket();
        workspace.bundle = std::filesystem::temp_directory_path();
        workspace.launchedBundle = "/";
        try {
            MCPBridgeMain::connectOrLaunch(workspace.bundle, folder.socket(), in(7s),
                                           workspace.services());
            ADD_FAILURE() << "connected";
        } catch (const IdentityError& error) {
            EXPECT_EQ(error.kind(), IdentityError::Kind::peerInstallation);
        }
    }
}

}  // namespace
}  // namespace fw::bridge
