// Progress-token coding, equality and hashing.
#include "MCP/Messages/ProgressToken.h"

#include <utility>
#include <variant>

#include "MCP/JSON/DecodingError.h"
#include "MCP/Messages/detail/StringOrInteger.h"

namespace mcp {

Value ProgressToken::toValue() const {
    return detail::encodeStringOrInteger(storage_);
}

ProgressToken ProgressToken::fromValue(const Value& value) {
    if (auto decoded = detail::decodeStringOrInteger(value)) {
        return std::visit([](auto& part) { return ProgressToken(std::move(part)); }, *decoded);
    }
    throw DecodingError::dataCorrupted({}, "Progress token must be a string or integer");
}

bool operator==(const ProgressToken& a, const ProgressToken& b) {
    return detail::stringOrIntegerEquals(a.storage_, b.storage_);
}

std::size_t ProgressToken::hash() const noexcept {
    return detail::hashStringOrInteger(storage_);
}

}  // namespace mcp
