#include <gtest/gtest.h>
#include <poll.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/SocketError.h"
#include "SocketTestSupport.h"
#include "tests/support/TestDirectory.h"

namespace fw::automation {
namespace {

using testing::SocketPair;
using namespace std::chrono_literals;

// Catches the SocketError `body` throws; fails the test when it throws nothing.
template <class Body>
SocketError thrownBy(Body body) {
    try {
        body();
    } catch (const SocketError& error) {
        return error;
    }
    ADD_FAILURE() << "no SocketError was thrown";
    return SocketError::io(-1);
}

std::size_t readableBytes(int fd) {
    char buffer[256];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_PEEK);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

TEST(SocketError, EachCaseHasItsFixedText) {
    struct Case {
        SocketError error;
        const char* text;
    };
    const Case cases[] = {
        {SocketError::io(0), "Unix socket error 0"},
        {SocketError::pathTooLong(), "Unix socket path exceeds the system limit"},
        {SocketError::messageTooLarge(), "MCP message exceeds the size limit"},
        {SocketError::protocolMismatch(), "Frameweaver bridge protocol version mismatch"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.description(), c.text);
        EXPECT_STREQ(c.error.what(), c.error.description().c_str());
    }
    EXPECT_EQ(SocketError::io(EAGAIN).description(), "Unix socket error 11");
}

TEST(MCPUnixSocket, HelloLineIsTheVersionTextAndOneLineFeed) {
    EXPECT_EQ(MCPUnixSocket::helloLine, "FWV-MCP/1\n");
    EXPECT_EQ(MCPUnixSocket::helloLine.size(), 10u);
    EXPECT_EQ(MCPUnixSocket::handshakeText, MCPUnixSocket::helloLine.substr(0, 9));
}

// A path of `length` bytes inside `directory` (which must be shorter).
std::string pathOfLength(const std::filesystem::path& directory, std::size_t length) {
    std::string path = directory.string() + "/";
    path.append(length - path.size(), 's');
    return path;
}

TEST(MCPUnixSocket, SocketAddressKeepsTheSharedPathRule) {
    fw::testing::TestDirectory directory;
    const std::string longest = pathOfLength(directory.path(), 103);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    const int bound =
        MCPUnixSocket::withSocketAddress(longest, [&](const sockaddr* address, socklen_t length) {
            const auto* unix = reinterpret_cast<const sockaddr_un*>(address);
            EXPECT_EQ(unix->sun_family, AF_UNIX);
            EXPECT_EQ(std::string(unix->sun_path), longest);
            EXPECT_EQ(length, sizeof(sockaddr_un));
            return ::bind(fd, address, length);
        });
    EXPECT_EQ(bound, 0) << std::strerror(errno);
    EXPECT_TRUE(std::filesystem::is_socket(longest));
    ::close(fd);

    bool called = false;
    const SocketError error = thrownBy([&] {
        MCPUnixSocket::withSocketAddress(pathOfLength(directory.path(), 104),
                                         [&](const sockaddr*, socklen_t) {
                                             called = true;
                                             return 0;
                                         });
    });
    EXPECT_EQ(error, SocketError::pathTooLong());
    EXPECT_FALSE(called);
}

TEST(MCPUnixSocket, WriteAllOfNothingMakesNoCall) {
    EXPECT_NO_THROW(MCPUnixSocket::writeAll("", -1));
    EXPECT_EQ(thrownBy([] { MCPUnixSocket::writeAll("x", -1); }), SocketError::io(EBADF));
}

TEST(MCPUnixSocket, WriteAllToAClosedPeerFailsWithoutASignal) {
    SocketPair pair;
    pair.closeFar();
    // SIGPIPE would end the whole test program here.
    EXPECT_EQ(thrownBy([&] { MCPUnixSocket::writeAll("hello\n", pair.near()); }),
              SocketError::io(EPIPE));
}

TEST(MCPUnixSocket, WriteAllThatMakesNoProgressIsAnIOError) {
    // A send that takes no byte and sets no errno must not be reported with a stale errno or as
    // the peer's orderly close (code 0).
    auto sendNothing = [](int, const void*, std::size_t, int) -> ssize_t {
        errno = 0;
        return 0;
    };
    EXPECT_EQ(thrownBy([&] { MCPUnixSocket::detail::writeAll("abc", 3, sendNothing); }),
              SocketError::io(EIO));
}

TEST(MCPUnixSocket, WriteAllRepeatsInterruptedAndPartialWrites) {
    static std::string received;
    static int calls = 0;
    received.clear();
    calls = 0;
    auto flaky = [](int, const void* data, std::size_t size, int flags) -> ssize_t {
        EXPECT_TRUE(flags & MSG_NOSIGNAL);
        if (++calls % 2 == 1) {
            errno = EINTR;
            return -1;
        }
        received.append(static_cast<const char*>(data), std::min<std::size_t>(size, 2));
        return static_cast<ssize_t>(std::min<std::size_t>(size, 2));
    };
    MCPUnixSocket::detail::writeAll("abcde", 3, flaky);
    EXPECT_EQ(received, "abcde");
}

TEST(MCPUnixSocket, WriteThatCannotProceedEndsWhenTheSendTimeoutExpires) {
    SocketPair pair;
    MCPUnixSocket::setSendTimeout(pair.near(), 50ms);
    const std::string chunk(1 << 20, 'x');  // the far end never reads
    EXPECT_EQ(thrownBy([&] {
                  for (int i = 0; i < 64; ++i) {
                      MCPUnixSocket::writeAll(chunk, pair.near());
                  }
              }),
              SocketError::io(EAGAIN));
}

TEST(MCPUnixSocket, ReadLineTakesOneLineAndNothingAfterIt) {
    SocketPair pair;
    ASSERT_TRUE(pair.sendFar("FWV-MCP/1\n{\"jsonrpc\""));
    EXPECT_EQ(MCPUnixSocket::readLine(pair.near(), 32), "FWV-MCP/1");
    EXPECT_EQ(readableBytes(pair.near()), 10u);
}

TEST(MCPUnixSocket, ReadLineLimitCountsBytesBeforeTheLineFeed) {
    SocketPair pair;
    const std::string exact(32, 'a');
    ASSERT_TRUE(pair.sendFar(exact + "\n"));
    EXPECT_EQ(MCPUnixSocket::readLine(pair.near(), 32), exact);

    // 33 bytes are refused before a line feed is ever read.
    ASSERT_TRUE(pair.sendFar(std::string(33, 'b') + "\nrest"));
    EXPECT_EQ(thrownBy([&] { MCPUnixSocket::readLine(pair.near(), 32); }),
              SocketError::messageTooLarge());
    EXPECT_EQ(readableBytes(pair.near()), 5u);
}

TEST(MCPUnixSocket, ReadLineReportsTheEndOfTheStreamAsCodeZero) {
    SocketPair pair;
    ASSERT_TRUE(pair.sendFar("FWV"));
    pair.closeFar();
    const SocketError error = thrownBy([&] { MCPUnixSocket::readLine(pair.near(), 32); });
    EXPECT_EQ(error, SocketError::io(0));
    EXPECT_EQ(error.description(), "Unix socket error 0");
}

TEST(MCPUnixSocket, HandshakeTimeoutsApplyUntilCleared) {
    SocketPair pair;
    MCPUnixSocket::configure(pair.near(), true, 50ms);
    EXPECT_EQ(thrownBy([&] { MCPUnixSocket::readLine(pair.near(), 32); }), SocketError::io(EAGAIN));

    timeval value{};
    socklen_t size = sizeof value;
    ASSERT_EQ(::getsockopt(pair.near(), SOL_SOCKET, SO_SNDTIMEO, &value, &size), 0);
    EXPECT_EQ(value.tv_sec, 0);
    EXPECT_GE(value.tv_usec, 50000);  // rounded up to the kernel's tick

    MCPUnixSocket::configure(pair.near(), false);
    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        ASSERT_EQ(::getsockopt(pair.near(), SOL_SOCKET, option, &value, &size), 0);
        EXPECT_EQ(value.tv_sec, 0);
        EXPECT_EQ(value.tv_usec, 0);
    }

    MCPUnixSocket::configure(pair.near(), true);
    ASSERT_EQ(::getsockopt(pair.near(), SOL_SOCKET, SO_RCVTIMEO, &value, &size), 0);
    EXPECT_EQ(value.tv_sec, 5);
}

}  // namespace
}  // namespace fw::automation
