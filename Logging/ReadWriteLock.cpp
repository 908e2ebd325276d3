#include "Logging/ReadWriteLock.h"

#include "Logging/detail/CheckPosix.h"

namespace logging {

using detail::checkPosix;

ReadWriteLock::ReadWriteLock() : rwlock_(std::make_unique<pthread_rwlock_t>()) {
    checkPosix(pthread_rwlock_init(rwlock_.get(), nullptr), "pthread_rwlock_init");
}

ReadWriteLock::~ReadWriteLock() {
    checkPosix(pthread_rwlock_destroy(rwlock_.get()), "pthread_rwlock_destroy");
}

void ReadWriteLock::lockRead() {
    checkPosix(pthread_rwlock_rdlock(rwlock_.get()), "pthread_rwlock_rdlock");
}

void ReadWriteLock::lockWrite() {
    checkPosix(pthread_rwlock_wrlock(rwlock_.get()), "pthread_rwlock_wrlock");
}

void ReadWriteLock::unlock() {
    checkPosix(pthread_rwlock_unlock(rwlock_.get()), "pthread_rwlock_unlock");
}

}  // namespace logging
