// A later start of the application, run on a thread of its own as another process would, while
// the calling thread's event loop lets the primary instance answer.
#pragma once

#include <gtest/gtest.h>

#include <QTest>
#include <atomic>
#include <filesystem>
#include <thread>

#include "app/launch/SingleInstance.h"

namespace fw::testing {

inline SingleInstance::Role startElsewhere(const std::filesystem::path& directory,
                                           LaunchEvent event) {
    std::atomic<bool> done = false;
    SingleInstance::Role role = SingleInstance::Role::failed;
    std::thread later([&] {
        SingleInstance instance(directory);
        role = instance.start(event, std::chrono::milliseconds(3000));
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 10000));
    later.join();
    return role;
}

}  // namespace fw::testing
