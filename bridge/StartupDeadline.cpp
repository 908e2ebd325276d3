#include "bridge/StartupDeadline.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "bridge/BridgeError.h"
#include "bridge/BridgeMessages.h"

namespace fw::bridge {

MonotonicTime monotonicNow() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<MonotonicTime>(now.tv_sec) * 1'000'000'000u +
           static_cast<MonotonicTime>(now.tv_nsec);
}

std::uint64_t timeLeft(MonotonicTime deadline, MonotonicTime now) {
    const std::uint64_t left = deadline - now;
    if (left == 0 || left > kStartupBudgetNanoseconds) {
        throw BridgeError::startupDeadline();
    }
    return left;
}

void checkDeadline(MonotonicTime deadline) {
    (void)timeLeft(deadline);
}

timeval timeoutValue(std::uint64_t nanoseconds) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000u);
    const std::uint64_t remainder = nanoseconds % 1'000'000'000u;
    value.tv_usec = remainder < 1'000u ? 1 : static_cast<suseconds_t>(remainder / 1'000u);
    return value;
}

void StartupDeadlineGuard::complete() {
    lock_.lock();
    if (monotonicNow() < deadline_) {
        completed_ = true;
        lock_.unlock();
        return;
    }
    lock_.unlock();
    throw BridgeError::startupDeadline();
}

void StartupDeadlineGuard::fire() {
    lock_.lock();
    if (!completed_) {
        // The lock stays held: start-up must never complete after this.
        const std::string line = messages::general(BridgeError::kStartupDeadlineText);
        std::fputs(line.c_str(), stderr);
        ::_exit(1);
    }
    lock_.unlock();
}

StartupTimer::StartupTimer(StartupDeadlineGuard& guard) : guard_(guard) {
    thread_ = std::thread([this] {
        const std::chrono::steady_clock::time_point at{
            std::chrono::nanoseconds(guard_.deadline())};
        std::unique_lock lock(lock_);
        if (!wake_.wait_until(lock, at, [this] { return cancelled_; })) {
            lock.unlock();
            guard_.fire();
        }
    });
}

StartupTimer::~StartupTimer() {
    cancel();
}

void StartupTimer::cancel() {
    {
        std::lock_guard lock(lock_);
        cancelled_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace fw::bridge
