// Hasher: feeds the parts of a value, in order, into one 64-bit hash. Record types, errors and
// envelopes hash by feeding their fields in declaration order, so equal values hash alike.
//
//   mcp::Hasher hasher;
//   hasher.combine(1);
//   hasher.combineText(name);
//   std::size_t h = hasher.finish();
//
// A plain value with no shared state; not for cryptographic use.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "MCP/JSON/Value.h"

namespace mcp {

class Hasher {
public:
    void combine(std::uint64_t part) noexcept {
        // One multiply-xorshift round per part (the finaliser of SplitMix64) keeps order and
        // spreads small integers over every bit.
        std::uint64_t x = state_ ^ (part + 0x9e3779b97f4a7c15ULL + (state_ << 6) + (state_ >> 2));
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
        state_ = x ^ (x >> 31);
    }
    void combine(std::int64_t part) noexcept { combine(static_cast<std::uint64_t>(part)); }
    void combine(int part) noexcept { combine(static_cast<std::uint64_t>(part)); }
    void combine(bool part) noexcept { combine(static_cast<std::uint64_t>(part ? 1 : 0)); }
    // The bit pattern, with 0.0 and -0.0 fed alike (they compare equal).
    void combineDouble(double part) noexcept {
        combine(part == 0.0 ? std::uint64_t{0} : std::bit_cast<std::uint64_t>(part));
    }
    // Texts that are canonically equivalent feed the same part.
    void combineText(std::string_view text) noexcept { combine(std::uint64_t{textHash(text)}); }
    void combineValue(const Value& value) noexcept { combine(std::uint64_t{value.hash()}); }

    std::size_t finish() const noexcept { return static_cast<std::size_t>(state_); }

private:
    std::uint64_t state_ = 0;
};

}  // namespace mcp
