#include <fcntl.h>
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <regex>
#include <thread>

#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/MCPUnixSocketHandle.h"
#include "LocalAutomation/SocketError.h"
#include "SocketTestSupport.h"

namespace fw::automation {
namespace {

using testing::SocketPair;

bool isOpenDescriptor(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(MCPUnixSocketHandle, IdIsAFreshVersionFourUUID) {
    SocketPair first;
    SocketPair second;
    MCPUnixSocketHandle a(first.releaseNear());
    MCPUnixSocketHandle b(second.releaseNear());
    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    EXPECT_TRUE(std::regex_match(a.id(), uuid)) << a.id();
    EXPECT_NE(a.id(), b.id());
}

TEST(MCPUnixSocketHandle, ShutdownHappensOnceAndKeepsTheDescriptorOpen) {
    SocketPair pair;
    auto handle = std::make_shared<MCPUnixSocketHandle>(pair.releaseNear());
    EXPECT_FALSE(handle->isStopped());
    handle->shutdown();
    handle->shutdown();
    EXPECT_TRUE(handle->isStopped());
    EXPECT_TRUE(isOpenDescriptor(handle->descriptor()));
    // The peer sees the end of the stream.
    char byte = 0;
    EXPECT_EQ(::read(pair.far(), &byte, 1), 0);
}

TEST(MCPUnixSocketHandle, ShutdownWakesABlockedReader) {
    SocketPair pair;
    auto handle = std::make_shared<MCPUnixSocketHandle>(pair.releaseNear());
    auto reader = std::async(std::launch::async, [handle] {
        try {
            MCPUnixSocket::readLine(handle->descriptor(), 32);
        } catch (const SocketError& error) {
            return error;
        }
        return SocketError::protocolMismatch();
    });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    handle->shutdown();
    EXPECT_EQ(reader.get(), SocketError::io(0));
}

TEST(MCPUnixSocketHandle, DestructionClosesTheDescriptorThenRunsOnDeinitOnce) {
    SocketPair pair;
    const int fd = pair.releaseNear();
    int runs = 0;
    bool closedBeforeCallback = false;
    {
        MCPUnixSocketHandle handle(fd, [&] {
            ++runs;
            closedBeforeCallback = !isOpenDescriptor(fd);
        });
    }
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(closedBeforeCallback);
    char byte = 0;
    EXPECT_EQ(::read(pair.far(), &byte, 1), 0);
}

}  // namespace
}  // namespace fw::automation
