// Peer checks between real processes: copies of a signed program placed in a temporary bundle,
// connected over a real socket. The build signs the program for both roles (records
// identity_peer.application.sig and identity_peer.companion.sig beside it).
#include <grp.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "LocalAutomation/MCPPeerIdentity.h"
#include "LocalAutomation/MCPUnixSocket.h"
#include "TestSigning.h"
#include "tests/support/TestDirectory.h"

extern char** environ;

namespace fw::automation {
namespace {

namespace identity = MCPPeerIdentity;
using fw::testing::TestDirectory;

const std::filesystem::path kPeerProgram = FW_IDENTITY_PEER;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A child process; waited for (and killed if still running) at the end.
class Child {
public:
    Child(const std::filesystem::path& program, std::vector<std::string> arguments) {
        std::vector<char*> argv;
        std::string name = program.string();
        argv.push_back(name.data());
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, name.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }
    bool started() const { return pid_ > 0; }
    // The exit status, or -1 when the process did not exit within the limit.
    int wait(std::chrono::seconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (pid_ > 0) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
};

class SignedPeerTest : public ::testing::Test {
protected:
    SignedPeerTest() {
        std::filesystem::create_directories(macos);
        socketPath = (directory / "s.sock").string();
    }

    // Copies the signed program into `macOSDirectory` as `name` with the record of `role`
    // ("application" or "companion"), or without any record when `role` is empty.
    static std::filesystem::path install(const std::filesystem::path& macOSDirectory,
                                         const std::string& name, const std::string& role) {
        const auto target = macOSDirectory / name;
        std::filesystem::copy_file(kPeerProgram, target,
                                   std::filesystem::copy_options::overwrite_existing);
        if (!role.empty()) {
            std::filesystem::copy_file(kPeerProgram.string() + "." + role + ".sig",
                                       signatureRecordPath(target),
                                       std::filesystem::copy_options::overwrite_existing);
        }
        return target;
    }

    int listenOnSocket() {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        MCPUnixSocket::withSocketAddress(
            socketPath, [&](const sockaddr* a, socklen_t l) { return ::bind(fd, a, l); });
        ::listen(fd, 4);
        return fd;
    }

    // Runs the companion copy at `program` against this process acting as the application of
    // `bundle`; answers the peer check's failure, or none when the peer is accepted.
    std::optional<IdentityError> checkCompanion(const std::filesystem::path& program) {
        const int listener = listenOnSocket();
        Child child(program, {"connect", socketPath});
        EXPECT_TRUE(child.started());
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        std::optional<IdentityError> failure;
        try {
            identity::validatePeer(fd, identity::bridgeBundleIdentifier,
                                   identity::bridgeExecutableURL(bundle));
        } catch (const IdentityError& error) {
            failure = error;
        }
        MCPUnixSocket::close(fd);
        ::close(listener);
        std::filesystem::remove(socketPath);
        EXPECT_EQ(child.wait(), 0);
        return failure;
    }

    TestDirectory directory;
    std::filesystem::path bundle = directory / "Frameweaver.app";
    std::filesystem::path macos = bundle / "Contents/MacOS";
    std::string socketPath;
};

TEST_F(SignedPeerTest, SignedApplicationAndCompanionAcceptEachOther) {
    const auto application = install(macos, "Frameweaver", "application");
    const auto companion = install(macos, "frameweaver-mcp", "companion");
    Child applicationProcess(application, {"application", socketPath});
    Child companionProcess(companion, {"companion", socketPath});
    EXPECT_EQ(companionProcess.wait(), 0);
    EXPECT_EQ(applicationProcess.wait(), 0);
}

TEST_F(SignedPeerTest, CompanionRefusesAnUnsignedApplication) {
    const auto application = install(macos, "Frameweaver", "");
    const auto companion = install(macos, "frameweaver-mcp", "companion");
    // The unsigned application still checks its peer and is accepted by nothing.
    Child applicationProcess(application, {"application", socketPath});
    Child companionProcess(companion, {"companion", socketPath});
    EXPECT_EQ(companionProcess.wait(), 1);
    applicationProcess.wait(std::chrono::seconds(10));
}

TEST_F(SignedPeerTest, ApplicationRefusesEveryCompanionThatIsNotGenuine) {
    const auto companion = install(macos, "frameweaver-mcp", "companion");
    EXPECT_EQ(checkCompanion(companion), std::nullopt);

    std::filesystem::remove(signatureRecordPath(companion));
    EXPECT_EQ(checkCompanion(companion), IdentityError::peerSignature()) << "unsigned copy";

    install(macos, "frameweaver-mcp", "application");
    EXPECT_EQ(checkCompanion(companion), IdentityError::peerSignature())
        << "signed for the application's identifier";

    install(macos, "frameweaver-mcp", "companion");
    std::string bytes = readFile(companion);
    const auto marker = bytes.find("fwv-identity-peer-marker:A");
    ASSERT_NE(marker, std::string::npos);
    bytes[marker + 25] = 'B';
    std::ofstream(companion, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_EQ(checkCompanion(companion), IdentityError::peerSignature()) << "one byte changed";

    install(macos, "frameweaver-mcp", "");
    testing::TestKey otherKey;
    otherKey.writeRecord(companion, std::string(identity::bridgeBundleIdentifier));
    EXPECT_EQ(checkCompanion(companion), IdentityError::peerSignature()) << "another key";
}

TEST_F(SignedPeerTest, GenuineCompanionOfAnotherInstallationIsRefused) {
    const auto otherMacOS = directory / "Other/Frameweaver.app/Contents/MacOS";
    std::filesystem::create_directories(otherMacOS);
    install(macos, "frameweaver-mcp", "companion");
    const auto other = install(otherMacOS, "frameweaver-mcp", "companion");
    EXPECT_EQ(checkCompanion(other), IdentityError::peerInstallation());
}

TEST_F(SignedPeerTest, PeerOfAnotherUserIsRefused) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "starting a process as another user needs root";
    }
    const uid_t nobody = 65534;
    // The other user must be able to reach the socket.
    std::filesystem::permissions(directory.path(), std::filesystem::perms(0755));
    const int listener = listenOnSocket();
    ::chmod(socketPath.c_str(), 0777);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
            ::_exit(3);
        }
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::_exit(4);
        }
        char byte;
        (void)::read(fd, &byte, 1);
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::optional<IdentityError> failure;
    try {
        identity::validatePeer(fd, identity::bridgeBundleIdentifier,
                               identity::bridgeExecutableURL(bundle));
    } catch (const IdentityError& error) {
        failure = error;
    }
    EXPECT_EQ(failure, IdentityError::peerCredentials());
    MCPUnixSocket::close(fd);
    ::close(listener);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace fw::automation
