#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/MCPUnixSocketLineReader.h"
#include "LocalAutomation/SocketError.h"
#include "SocketTestSupport.h"

namespace fw::automation {
namespace {

using testing::SocketPair;

constexpr std::size_t kMaximum = MCPUnixSocket::kIncomingLineMaximum;

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

TEST(MCPUnixSocketLineReader, TwoLinesInOneReadComeBackOneByOne) {
    SocketPair pair;
    ASSERT_TRUE(pair.sendFar("{\"a\":1}\n\n{\"b\":2}\n"));
    MCPUnixSocketLineReader reader(pair.near());
    EXPECT_EQ(reader.nextLine(kMaximum), "{\"a\":1}");
    EXPECT_EQ(reader.nextLine(kMaximum), "");
    EXPECT_EQ(reader.nextLine(kMaximum), "{\"b\":2}");
    EXPECT_EQ(reader.pendingSize(), 0u);
}

TEST(MCPUnixSocketLineReader, LineSplitOverReadsComesBackWhole) {
    SocketPair pair;
    MCPUnixSocketLineReader reader(pair.near());
    std::thread writer([&] {
        for (const char* piece : {"{\"meth", "od\":\"p", "ing\"}\n{\"x"}) {
            pair.sendFar(piece);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    EXPECT_EQ(reader.nextLine(kMaximum), "{\"method\":\"ping\"}");
    writer.join();
    EXPECT_EQ(reader.pendingSize(), 3u);
}

TEST(MCPUnixSocketLineReader, LimitAcceptsExactlyTheMaximum) {
    SocketPair pair;
    MCPUnixSocketLineReader reader(pair.near());
    const std::string exact(kMaximum, 'x');
    std::thread writer([&] { pair.sendFar(exact + "\n" + std::string(kMaximum + 1, 'y') + "\n"); });
    EXPECT_EQ(reader.nextLine(kMaximum), exact);
    EXPECT_EQ(thrownBy([&] { reader.nextLine(kMaximum); }), SocketError::messageTooLarge());
    pair.closeNear();
    writer.join();
}

TEST(MCPUnixSocketLineReader, LineFeedJustPastTheMaximumIsRefused) {
    SocketPair pair;
    MCPUnixSocketLineReader reader(pair.near());
    ASSERT_TRUE(pair.sendFar(std::string(9, 'z') + "\n"));
    EXPECT_EQ(thrownBy([&] { reader.nextLine(8); }), SocketError::messageTooLarge());
}

TEST(MCPUnixSocketLineReader, EndOfStreamAndReadErrors) {
    SocketPair pair;
    MCPUnixSocketLineReader reader(pair.near());
    ASSERT_TRUE(pair.sendFar("unfinished"));
    pair.closeFar();
    EXPECT_EQ(thrownBy([&] { reader.nextLine(kMaximum); }), SocketError::io(0));

    MCPUnixSocketLineReader broken(-1);
    EXPECT_EQ(thrownBy([&] { broken.nextLine(kMaximum); }), SocketError::io(EBADF));
}

// Every byte of a 1 MiB line is sent on its own, so reads take a few bytes at a time. The reader
// must scan only what is new: each byte is examined once. One that scanned its whole buffer on
// every read would examine on the order of a mebibyte per read, and thousands of reads' worth.
TEST(MCPUnixSocketLineReader, MebibyteLineArrivingOneByteAtATime) {
    SocketPair pair;
    MCPUnixSocketLineReader reader(pair.near());
    std::thread writer([&] {
        const char byte = 'q';
        for (std::size_t i = 0; i < kMaximum; ++i) {
            while (::send(pair.far(), &byte, 1, MSG_NOSIGNAL) != 1) {
            }
            if (i % 4096 == 0) {
                std::this_thread::yield();
            }
        }
        ::send(pair.far(), "\n", 1, MSG_NOSIGNAL);
    });
    const std::string line = reader.nextLine(kMaximum);
    writer.join();
    EXPECT_EQ(line.size(), kMaximum);
    EXPECT_EQ(line.find_first_not_of('q'), std::string::npos);
    EXPECT_EQ(reader.scannedBytes(), kMaximum + 1);
}

}  // namespace
}  // namespace fw::automation
