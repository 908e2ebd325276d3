// The companion's eight-second start-up limit: the deadline on the monotonic clock, the checks
// against it, and the one-shot timer that ends the process when start-up has not completed by
// then.
//
// The timer and the start-up code agree through a StartupDeadlineGuard: whoever takes its lock
// first decides. The timer, firing before completion, writes the start-up message and ends the
// process with status 1 while still holding the lock, so start-up can never complete after it;
// start-up, completing before the deadline, marks the guard so a late timer does nothing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <sys/time.h>
#include <thread>

namespace fw::bridge {

// Nanoseconds on the monotonic clock (since boot; not wall time).
using MonotonicTime = std::uint64_t;

inline constexpr std::uint64_t kStartupBudgetNanoseconds = 8'000'000'000;

MonotonicTime monotonicNow();

// The time left before `deadline` in nanoseconds. Throws BridgeError::startupDeadline when none
// is left, or when the difference (taken unsigned) is larger than the whole budget, which means
// the deadline has passed.
std::uint64_t timeLeft(MonotonicTime deadline, MonotonicTime now = monotonicNow());

// Throws BridgeError::startupDeadline when `deadline` is not after now.
void checkDeadline(MonotonicTime deadline);

// A socket timeout of `nanoseconds`: whole seconds and microseconds, the microseconds never 0
// (a remainder under a microsecond counts as one), so the value never reads as "no timeout".
timeval timeoutValue(std::uint64_t nanoseconds);

class StartupDeadlineGuard {
public:
    explicit StartupDeadlineGuard(MonotonicTime deadline) : deadline_(deadline) {}

    MonotonicTime deadline() const noexcept { return deadline_; }

    // Start-up has the connection: marks completion when now is before the deadline, otherwise
    // throws BridgeError::startupDeadline.
    void complete();

    // The timer's handler: without completion, writes the start-up message to standard error and
    // ends the process with status 1 at once; after completion, nothing.
    void fire();

private:
    std::mutex lock_;
    const MonotonicTime deadline_;
    bool completed_ = false;  // guarded by lock_
};

// A one-shot timer on its own thread that calls guard.fire() at the guard's deadline unless it
// is cancelled first. Cancelling (or destroying) it waits for its thread.
class StartupTimer {
public:
    explicit StartupTimer(StartupDeadlineGuard& guard);
    ~StartupTimer();
    StartupTimer(const StartupTimer&) = delete;
    StartupTimer& operator=(const StartupTimer&) = delete;

    void cancel();

private:
    StartupDeadlineGuard& guard_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool cancelled_ = false;  // guarded by lock_
    std::thread thread_;
};

}  // namespace fw::bridge
