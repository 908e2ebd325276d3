#include "Logging/Lock.h"

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

Lock::Lock() : mutex_(std::make_unique<pthread_mutex_t>()) {
    pthread_mutexattr_t attributes;
    check(pthread_mutexattr_init(&attributes), "pthread_mutexattr_init");
    check(pthread_mutex_init(mutex_.get(), &attributes), "pthread_mutex_init");
    check(pthread_mutexattr_destroy(&attributes), "pthread_mutexattr_destroy");
}

Lock::~Lock() {
    check(pthread_mutex_destroy(mutex_.get()), "pthread_mutex_destroy");
}

void Lock::lock() {
    check(pthread_mutex_lock(mutex_.get()), "pthread_mutex_lock");
}

void Lock::unlock() {
    check(pthread_mutex_unlock(mutex_.get()), "pthread_mutex_unlock");
}

}  // namespace logging
