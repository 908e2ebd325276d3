#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>

#include "Logging/AsyncTaskLogger.h"
#include "tests/Logging/RecordingLogHandler.h"

namespace logging {
namespace {

namespace asio = boost::asio;
using testing::RecordingLogHandler;

// What each task saw, in order, across threads.
class Observations {
public:
    void add(std::string what) {
        std::lock_guard lock(mutex_);
        seen_.push_back(std::move(what));
    }
    std::vector<std::string> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> seen_;
};

std::string currentLabel() {
    return Logger::taskLogger().label();
}

// Gives other tasks a turn before resuming.
asio::awaitable<void> yield() {
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
}

asio::awaitable<void> child(Observations& seen, std::string name) {
    seen.add(name + ":" + currentLabel());
    co_await yield();
    seen.add(name + ":" + currentLabel());
}

asio::awaitable<void> unrelated(Observations& seen) {
    for (int i = 0; i < 4; ++i) {
        seen.add("unrelated:" + currentLabel());
        co_await yield();
    }
}

asio::awaitable<void> parent(Observations& seen) {
    seen.add("parent:" + currentLabel());
    co_await yield();
    // A child started from the bound task inherits its logger.
    co_await asio::co_spawn(co_await asio::this_coro::executor, child(seen, "child"),
                            asio::use_awaitable);
    co_await withTaskLoggerAsync(Logger("inner", RecordingLogHandler()),
                                 [&seen](const Logger& bound) -> asio::awaitable<void> {
                                     seen.add("nested:" + currentLabel() + "/" + bound.label());
                                     co_await yield();
                                     co_await asio::co_spawn(co_await asio::this_coro::executor,
                                                             child(seen, "nestedChild"),
                                                             asio::use_awaitable);
                                     seen.add("nested:" + currentLabel());
                                 });
    seen.add("parent:" + currentLabel());
}

TEST(AsyncTaskLogger, NestedBindingsReachChildrenButNotUnrelatedTasks) {
    asio::io_context io;
    Observations seen;
    const Logger outer("outer", RecordingLogHandler());
    asio::co_spawn(bindTaskLogger(io.get_executor(), outer), parent(seen), asio::detached);
    asio::co_spawn(io.get_executor(), unrelated(seen), asio::detached);
    io.run();

    std::vector<std::string> bound;
    std::vector<std::string> others;
    for (const std::string& s : seen.seen()) {
        (s.starts_with("unrelated:") ? others : bound).push_back(s);
    }
    EXPECT_EQ(bound, (std::vector<std::string>{
                         "parent:outer",
                         "child:outer",
                         "child:outer",
                         "nested:inner/inner",
                         "nestedChild:inner",
                         "nestedChild:inner",
                         "nested:inner",
                         "parent:outer",
                     }));
    EXPECT_EQ(others, std::vector<std::string>(4, "unrelated:"));
    // Nothing is left bound on the thread once the tasks are done.
    EXPECT_EQ(currentLabel(), "");
}

asio::awaitable<void> hopAcrossThreads(Observations& seen, std::string expected) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    for (int i = 0; i < 20; ++i) {
        timer.expires_after(std::chrono::microseconds(50));
        co_await timer.async_wait(asio::use_awaitable);
        const std::string label = currentLabel();
        if (label != expected) {
            seen.add(expected + " saw " + label);
        }
    }
}

TEST(AsyncTaskLogger, BindingFollowsEachTaskAcrossPoolThreads) {
    asio::thread_pool pool(4);
    Observations mismatches;
    for (int t = 0; t < 16; ++t) {
        const std::string label = "task" + std::to_string(t);
        asio::co_spawn(bindTaskLogger(pool.get_executor(), Logger(label, RecordingLogHandler())),
                       hopAcrossThreads(mismatches, label), asio::detached);
        asio::co_spawn(pool.get_executor(), hopAcrossThreads(mismatches, ""), asio::detached);
    }
    pool.join();
    EXPECT_TRUE(mismatches.seen().empty()) << mismatches.seen().front();
}

TEST(AsyncTaskLogger, ResultsAndErrorsPassThrough) {
    asio::io_context io;
    std::promise<std::string> outcome;
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            const int value = co_await withTaskLoggerAsync(
                Logger("bound", RecordingLogHandler()),
                [](const Logger&) -> asio::awaitable<int> { co_return 7; });
            try {
                co_await withTaskLoggerAsync(Logger("bound", RecordingLogHandler()),
                                             [](const Logger&) -> asio::awaitable<void> {
                                                 throw std::out_of_range("out");
                                                 co_return;
                                             });
            } catch (const std::out_of_range& error) {
                outcome.set_value(std::to_string(value) + " " + error.what() + " " +
                                  currentLabel());
            }
        },
        asio::detached);
    io.run();
    EXPECT_EQ(outcome.get_future().get(), "7 out ");
}

TEST(AsyncTaskLogger, MergingMetadataAndOverridesStartFromTheCurrentTaskLogger) {
    asio::io_context io;
    RecordingLogHandler handler(Level::info);
    handler.setMetadata({{"k", "v"}});
    Observations seen;
    auto task = [&]() -> asio::awaitable<void> {
        // Built outside the co_await: g++ 12 cannot take a braced list inside one.
        Metadata request{{"request", "7"}};
        co_await withTaskLoggerMergingMetadataAsync(
            std::move(request), [&](const Logger&) -> asio::awaitable<void> {
                co_await yield();
                const Logger current = Logger::taskLogger();
                seen.add(current.label() + " " + current.metadataValue("request")->description() +
                         " " + current.metadataValue("k")->description());
                co_await withTaskLoggerAsync(
                    Level::debug, nullptr, std::nullopt,
                    [&](const Logger&) -> asio::awaitable<void> {
                        co_await yield();
                        const Logger level = Logger::taskLogger();
                        seen.add(std::string(rawValue(level.logLevel())) + " " +
                                 level.metadataValue("request")->description());
                    });
            });
        seen.add(std::string(rawValue(Logger::taskLogger().logLevel())) + " " +
                 (Logger::taskLogger().metadataValue("request") ? std::string("request")
                                                                : std::string("no request")));
    };
    asio::co_spawn(bindTaskLogger(io.get_executor(), Logger("base", handler)), task,
                   asio::detached);
    io.run();
    EXPECT_EQ(seen.seen(), (std::vector<std::string>{"base 7 v", "debug 7", "info no request"}));
}

TEST(AsyncTaskLogger, CurrentLoggerCanBeCarriedIntoTasksStartedFromSynchronousCode) {
    asio::io_context io;
    Observations seen;
    Logger::withTaskLogger(Logger("sync", RecordingLogHandler()), [&](const Logger&) {
        asio::co_spawn(bindCurrentTaskLogger(io.get_executor()), child(seen, "carried"),
                       asio::detached);
        asio::co_spawn(io.get_executor(), child(seen, "plain"), asio::detached);
    });
    io.run();
    const std::vector<std::string> all = seen.seen();
    EXPECT_EQ(std::count(all.begin(), all.end(), "carried:sync"), 2);
    EXPECT_EQ(std::count(all.begin(), all.end(), "plain:"), 2);
}

TEST(AsyncTaskLogger, RebindingReplacesRatherThanStacksWrappers) {
    asio::io_context io;
    const asio::any_io_executor once =
        bindTaskLogger(io.get_executor(), Logger("a", RecordingLogHandler()));
    const asio::any_io_executor twice = bindTaskLogger(once, Logger("b", RecordingLogHandler()));
    using Bound = TaskLoggerExecutor<asio::any_io_executor>;
    ASSERT_NE(twice.target<Bound>(), nullptr);
    EXPECT_EQ(twice.target<Bound>()->logger().label(), "b");
    EXPECT_EQ(twice.target<Bound>()->inner().target<Bound>(), nullptr);
    EXPECT_TRUE(once == once);
    EXPECT_FALSE(once == twice);
}

TEST(AsyncTaskLogger, CancellingTheCallerCancelsTheBoundOperation) {
    asio::io_context io;
    asio::cancellation_signal signal;
    std::string outcome = "not finished";
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            try {
                co_await withTaskLoggerAsync(Logger("bound", RecordingLogHandler()),
                                             [](const Logger&) -> asio::awaitable<void> {
                                                 asio::steady_timer timer(
                                                     co_await asio::this_coro::executor,
                                                     std::chrono::hours(1));
                                                 co_await timer.async_wait(asio::use_awaitable);
                                             });
                outcome = "timer expired";
            } catch (const boost::system::system_error& error) {
                outcome =
                    error.code() == asio::error::operation_aborted ? "cancelled" : error.what();
            }
        },
        asio::bind_cancellation_slot(signal.slot(), asio::detached));
    asio::steady_timer later(io, std::chrono::milliseconds(10));
    later.async_wait([&](boost::system::error_code) { signal.emit(asio::cancellation_type::all); });
    io.run_for(std::chrono::seconds(5));
    EXPECT_EQ(outcome, "cancelled");
}

}  // namespace
}  // namespace logging
