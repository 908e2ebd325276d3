#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "Logging/Lock.h"
#include "Logging/ReadWriteLock.h"

namespace logging {
namespace {

TEST(Lock, ReleasesWhenTheBodyThrows) {
    Lock lock;
    EXPECT_THROW(lock.withLock([]() -> int { throw std::runtime_error("x"); }), std::runtime_error);
    EXPECT_EQ(lock.withLock([] { return 7; }), 7);

    ReadWriteLock rw;
    EXPECT_THROW(rw.withWriterLock([] { throw std::runtime_error("x"); }), std::runtime_error);
    EXPECT_EQ(rw.withReaderLock([] { return 8; }), 8);
    EXPECT_EQ(rw.withWriterLock([] { return 9; }), 9);
}

TEST(Lock, ExcludesOtherThreads) {
    Lock lock;
    long counter = 0;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 10000; ++i) {
                    lock.withLock([&] { ++counter; });
                }
            });
        }
    }
    EXPECT_EQ(counter, 40000);
}

}  // namespace
}  // namespace logging
