// Instant: a point in time as seconds (a double) since 2001-01-01T00:00:00Z, the epoch of the
// stored OAuth tokens' "expiresAt". The epoch is part of the stored form and never changes.
// Arithmetic is in doubles, so adding any number of seconds cannot overflow (a token lifetime of
// 2^63 seconds lands far in the future, a negative one in the past).
//
// As a JSON member an instant is the number of seconds since that epoch.
//
// A plain value: safe from any thread.
#pragma once

#include <chrono>
#include <compare>

#include "MCP/JSON/Coding.h"

namespace mcp {

struct Instant {
    // 2001-01-01T00:00:00Z in seconds since 1970-01-01T00:00:00Z.
    static constexpr double kReferenceDateInUnixSeconds = 978307200.0;

    double secondsSinceReferenceDate = 0;

    static Instant now() {
        using namespace std::chrono;
        return fromUnixSeconds(duration<double>(system_clock::now().time_since_epoch()).count());
    }
    static constexpr Instant fromUnixSeconds(double seconds) {
        return Instant{seconds - kReferenceDateInUnixSeconds};
    }
    constexpr double unixSeconds() const {
        return secondsSinceReferenceDate + kReferenceDateInUnixSeconds;
    }
    constexpr Instant adding(double seconds) const {
        return Instant{secondsSinceReferenceDate + seconds};
    }

    friend constexpr auto operator<=>(const Instant&, const Instant&) = default;
};

template <>
struct Coder<Instant> {
    static Value encode(Instant instant) { return Value(instant.secondsSinceReferenceDate); }
    static Instant decode(const Value& value) { return Instant{Coder<double>::decode(value)}; }
    static bool equals(Instant a, Instant b) { return a == b; }
    static void hash(Hasher& hasher, Instant instant) {
        hasher.combineDouble(instant.secondsSinceReferenceDate);
    }
};

}  // namespace mcp
