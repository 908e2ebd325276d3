// The one assertion of the fuzz harnesses: on failure it prints what did not hold and aborts, so
// libFuzzer keeps the input and the replay test fails.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzz {

inline void check(bool condition, std::string_view what, std::string_view detail = {}) {
    if (!condition) {
        std::fprintf(stderr, "Check failed: %.*s\n%.*s\n", static_cast<int>(what.size()),
                     what.data(), static_cast<int>(detail.size()), detail.data());
        std::abort();
    }
}

}  // namespace fuzz
