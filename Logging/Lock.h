// A mutual-exclusion lock over a POSIX mutex. A failing lock operation stops the process.
//
// Thread-safe by purpose; not copyable.
#pragma once

#include <pthread.h>

#include <memory>
#include <type_traits>
#include <utility>

namespace logging {

class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void lock();
    void unlock();

    // Runs `body` holding the lock, releasing it also when `body` throws; returns its result.
    template <class F>
    decltype(auto) withLock(F&& body) {
        lock();
        struct Unlock {
            Lock& lock;
            ~Unlock() { lock.unlock(); }
        } unlockOnExit{*this};
        return std::forward<F>(body)();
    }

private:
    std::unique_ptr<pthread_mutex_t> mutex_;
};

}  // namespace logging
