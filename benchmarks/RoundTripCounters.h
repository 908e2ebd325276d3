// The counters of the round-trip benchmarks: round trips per second and p50/p99 latency, and the
// process's resident set for the memory counters.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

// The resident set of this process, in kilobytes.
inline long residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// "round_trips_per_s", "p50_us" and "p99_us" from the latencies (microseconds, sorted here) of a
// run that took `seconds`.
inline void report(benchmark::State& state, std::vector<double>& latencies, double seconds) {
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double fraction) {
        return latencies.empty()
                   ? 0.0
                   : latencies[static_cast<std::size_t>(fraction * (latencies.size() - 1))];
    };
    state.counters["round_trips_per_s"] = static_cast<double>(latencies.size()) / seconds;
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
}

}  // namespace bench
