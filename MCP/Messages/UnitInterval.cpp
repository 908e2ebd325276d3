// The range check and coding of UnitInterval.
#include "MCP/Messages/UnitInterval.h"

#include <stdexcept>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/DecodingError.h"
#include "MCP/JSON/Hasher.h"

namespace mcp {
namespace {

bool inRange(double value) {
    return value >= 0.0 && value <= 1.0;  // false for NaN
}

}  // namespace

UnitInterval::UnitInterval(double value) : value_(value) {
    if (!inRange(value)) {
        throw std::out_of_range("Value " + formatDouble(value) + " is not in range 0...1");
    }
}

std::optional<UnitInterval> UnitInterval::make(double value) {
    if (!inRange(value)) {
        return std::nullopt;
    }
    return UnitInterval(value);
}

std::string UnitInterval::description() const {
    return formatDouble(value_);
}

UnitInterval UnitInterval::fromValue(const Value& value) {
    double number = decodeValue<double>(value);
    if (!inRange(number)) {
        throw DecodingError::dataCorrupted(
            {}, "Value " + formatDouble(number) + " is not in range 0...1");
    }
    return UnitInterval(number);
}

std::size_t UnitInterval::hash() const noexcept {
    Hasher hasher;
    hasher.combineDouble(value_);
    return hasher.finish();
}

}  // namespace mcp
