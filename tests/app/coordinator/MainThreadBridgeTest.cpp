#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <optional>
#include <thread>

#include "app/coordinator/MainThreadBridge.h"
#include "tests/support/EventLoop.h"

namespace fw {
namespace {

namespace asio = boost::asio;

using testing::pumpUntil;

TEST(MainThreadBridge, PostedWorkRunsLaterOnTheMainThread) {
    std::atomic<bool> ran = false;
    QThread* ranOn = nullptr;
    std::thread([&] {
        EXPECT_TRUE(postToMainThread([&] {
            ranOn = QThread::currentThread();
            ran = true;
        }));
    }).join();
    EXPECT_FALSE(ran) << "nothing runs before the event loop does";
    ASSERT_TRUE(pumpUntil([&] { return ran.load(); }));
    EXPECT_EQ(ranOn, QCoreApplication::instance()->thread());
}

TEST(MainThreadBridge, CoroutineHopsToTheMainThreadAndBackToItsStrand) {
    asio::io_context context;
    auto strand = asio::make_strand(context);
    std::atomic<bool> done = false;
    std::optional<int> result;
    QThread* workedOn = nullptr;
    std::thread::id resumedOn;
    asio::co_spawn(
        strand,
        [&]() -> asio::awaitable<void> {
            const int value = co_await asyncRunOnMainThread(
                [&] {
                    workedOn = QThread::currentThread();
                    return 42;
                },
                asio::use_awaitable);
            EXPECT_TRUE(strand.running_in_this_thread());
            resumedOn = std::this_thread::get_id();
            co_await asyncRunOnMainThread([] {}, asio::use_awaitable);
            result = value;
        },
        [&](std::exception_ptr failure) {
            EXPECT_FALSE(failure);
            done = true;
        });
    std::thread runner([&] { context.run(); });
    const std::thread::id runnerID = runner.get_id();
    ASSERT_TRUE(pumpUntil([&] { return done.load(); }));
    runner.join();
    EXPECT_EQ(workedOn, QCoreApplication::instance()->thread());
    EXPECT_EQ(resumedOn, runnerID);
    EXPECT_EQ(result, 42);
}

}  // namespace
}  // namespace fw
