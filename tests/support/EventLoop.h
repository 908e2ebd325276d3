// The Qt event loop of the test's (main) thread, run until a condition holds.
#pragma once

#include <functional>

namespace fw::testing {

// Runs the Qt event loop, deferred deletions included, until `done` holds; false when it still
// does not after `timeoutMs` (a generous limit that guards against a hang).
bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 120'000);

}  // namespace fw::testing
