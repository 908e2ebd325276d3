#include "Logging/Lock.h"

#include "Logging/detail/CheckPosix.h"

namespace logging {

using detail::checkPosix;

Lock::Lock() : mutex_(std::make_unique<pthread_mutex_t>()) {
    pthread_mutexattr_t attributes;
    checkPosix(pthread_mutexattr_init(&attributes), "pthread_mutexattr_init");
    checkPosix(pthread_mutex_init(mutex_.get(), &attributes), "pthread_mutex_init");
    checkPosix(pthread_mutexattr_destroy(&attributes), "pthread_mutexattr_destroy");
}

Lock::~Lock() {
    checkPosix(pthread_mutex_destroy(mutex_.get()), "pthread_mutex_destroy");
}

void Lock::lock() {
    checkPosix(pthread_mutex_lock(mutex_.get()), "pthread_mutex_lock");
}

void Lock::unlock() {
    checkPosix(pthread_mutex_unlock(mutex_.get()), "pthread_mutex_unlock");
}

}  // namespace logging
