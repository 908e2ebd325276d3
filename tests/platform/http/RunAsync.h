// Running a coroutine to its end on an io_context in the test's own thread.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <future>
#include <stdexcept>

namespace fw::http::testing {

// Runs `context` until `work` has finished and gives its result (or throws its exception).
// Fails after `timeout`, which is generous: it only guards against a hang.
template <class T>
T runAsync(boost::asio::io_context& context, boost::asio::awaitable<T> work,
           std::chrono::seconds timeout = std::chrono::seconds(60)) {
    auto future = boost::asio::co_spawn(context, std::move(work), boost::asio::use_future);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        if (context.stopped()) {
            context.restart();
        }
        context.run_one_for(std::chrono::milliseconds(50));
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("The test's coroutine did not finish in time.");
        }
    }
    return future.get();
}

// Runs `context` until `condition` holds; false after `timeout`.
template <class Condition>
bool runUntil(boost::asio::io_context& context, Condition condition,
              std::chrono::seconds timeout = std::chrono::seconds(60)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (context.stopped()) {
            context.restart();
        }
        context.run_one_for(std::chrono::milliseconds(20));
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
    }
    return true;
}

}  // namespace fw::http::testing
