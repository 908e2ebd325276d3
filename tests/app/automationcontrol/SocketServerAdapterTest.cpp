// The real socket server behind the controller: where it is destroyed. Its teardown belongs to
// the main thread (the list of live servers that quitting walks is kept there), also when the
// last reference goes on another thread, as it does when a completion holding the server
// finishes on local automation's thread.
#include "app/automationcontrol/SocketServerAdapter.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <memory>
#include <thread>

namespace fw::testing {
namespace {

constexpr int kWaitMs = 20000;

// Records the thread it is destroyed on; the server owns it through its callbacks.
struct DestructionRecorder {
    std::shared_ptr<std::thread::id> where;
    explicit DestructionRecorder(std::shared_ptr<std::thread::id> where) : where(std::move(where)) {}
    ~DestructionRecorder() { *where = std::this_thread::get_id(); }
};

TEST(SocketServerAdapter, TheLastReferenceDroppedOnAnotherThreadDestroysItOnTheMainThread) {
    auto destroyedOn = std::make_shared<std::thread::id>();
    std::shared_ptr<AutomationServer> server;
    {
        auto recorder = std::make_shared<DestructionRecorder>(destroyedOn);
        server = makeSocketServer({[recorder](int) {}, [](platform::Error) {}});
    }
    std::thread([held = std::move(server)]() mutable { held.reset(); }).join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return *destroyedOn != std::thread::id(); }, kWaitMs));
    EXPECT_EQ(*destroyedOn, std::this_thread::get_id());
}

TEST(SocketServerAdapter, AStopWhoseCompletionHoldsTheServerEndsItOnTheMainThread) {
    auto destroyedOn = std::make_shared<std::thread::id>();
    std::shared_ptr<AutomationServer> server;
    {
        auto recorder = std::make_shared<DestructionRecorder>(destroyedOn);
        server = makeSocketServer({[recorder](int) {}, [](platform::Error) {}});
    }
    bool stopped = false;
    // As the controller does: the completion keeps the server until it has run.
    server->stop([&stopped, server] { stopped = true; });
    server.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return stopped; }, kWaitMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return *destroyedOn != std::thread::id(); }, kWaitMs));
    EXPECT_EQ(*destroyedOn, std::this_thread::get_id());
}

}  // namespace
}  // namespace fw::testing
