#include "Logging/ReadWriteLock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace logging {

namespace {
void check(int result, const char* operation) {
    if (result != 0) {
        std::fprintf(stderr, "%s failed: %s\n", operation, std::strerror(result));
        std::abort();
    }
}
}  // namespace

ReadWriteLock::ReadWriteLock() : rwlock_(std::make_unique<pthread_rwlock_t>()) {
    check(pthread_rwlock_init(rwlock_.get(), nullptr), "pthread_rwlock_init");
}

ReadWriteLock::~ReadWriteLock() {
    check(pthread_rwlock_destroy(rwlock_.get()), "pthread_rwlock_destroy");
}

void ReadWriteLock::lockRead() {
    check(pthread_rwlock_rdlock(rwlock_.get()), "pthread_rwlock_rdlock");
}

void ReadWriteLock::lockWrite() {
    check(pthread_rwlock_wrlock(rwlock_.get()), "pthread_rwlock_wrlock");
}

void ReadWriteLock::unlock() {
    check(pthread_rwlock_unlock(rwlock_.get()), "pthread_rwlock_unlock");
}

}  // namespace logging
