// Checks the result of a POSIX threads call, for the locks of the logging library. Internal.
//
// A lock that cannot be taken or released leaves nothing sound to fall back on, so a failure
// prints the operation and the system's reason to standard error and stops the process.
// Safe from any thread.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace logging::detail {

inline void checkPosix(int result, const char* operation) {
    if (result != 0) {
        std::fprintf(stderr, "%s failed: %s\n", operation, std::strerror(result));
        std::abort();
    }
}

}  // namespace logging::detail
