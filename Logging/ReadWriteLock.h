// A reader-writer lock over a POSIX rwlock: readers run side by side, a writer alone. A failing
// lock operation stops the process.
//
// Thread-safe by purpose; not copyable.
#pragma once

#include <pthread.h>

#include <memory>
#include <utility>

namespace logging {

class ReadWriteLock {
public:
    ReadWriteLock();
    ~ReadWriteLock();
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    void lockRead();
    void lockWrite();
    void unlock();

    // Runs `body` holding the lock shared (reader) or exclusively (writer), releasing it also when
    // `body` throws; returns its result.
    template <class F>
    decltype(auto) withReaderLock(F&& body) {
        lockRead();
        Unlock unlockOnExit{*this};
        return std::forward<F>(body)();
    }
    template <class F>
    decltype(auto) withWriterLock(F&& body) {
        lockWrite();
        Unlock unlockOnExit{*this};
        return std::forward<F>(body)();
    }

private:
    struct Unlock {
        ReadWriteLock& lock;
        ~Unlock() { lock.unlock(); }
    };

    std::unique_ptr<pthread_rwlock_t> rwlock_;
};

}  // namespace logging
