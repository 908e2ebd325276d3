// UnitInterval: a number from 0 to 1, both ends included (priorities of sampling and resources).
//
// make() answers absent outside the range (and for NaN); the constructor throws
// std::out_of_range there, since passing such a number is the caller's mistake. Decoding reports
// values from outside as dataCorrupted "Value 1.5 is not in range 0...1".
//
// JSON: a bare number. A plain value, ordered by its number.
#pragma once

#include <compare>
#include <cstddef>
#include <optional>
#include <string>

#include "MCP/JSON/Value.h"

namespace mcp {

class UnitInterval {
public:
    constexpr UnitInterval() = default;
    // Throws std::out_of_range unless 0 <= value <= 1.
    explicit UnitInterval(double value);
    static std::optional<UnitInterval> make(double value);

    double value() const noexcept { return value_; }
    // The number's text, whole numbers with ".0": "0.5", "1.0".
    std::string description() const;

    Value toValue() const { return Value(value_); }
    // Throws DecodingError.
    static UnitInterval fromValue(const Value& value);

    friend bool operator==(UnitInterval a, UnitInterval b) { return a.value_ == b.value_; }
    friend auto operator<=>(UnitInterval a, UnitInterval b) { return a.value_ <=> b.value_; }
    std::size_t hash() const noexcept;

private:
    double value_ = 0;
};

}  // namespace mcp

template <>
struct std::hash<mcp::UnitInterval> {
    std::size_t operator()(mcp::UnitInterval interval) const noexcept { return interval.hash(); }
};
