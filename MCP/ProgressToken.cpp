// Progress-token coding, equality and hashing.
#include "MCP/ProgressToken.h"

#include <cmath>

#include "MCP/DecodingError.h"
#include "MCP/Hasher.h"

namespace mcp {

Value ProgressToken::toValue() const {
    if (const auto* text = stringValue()) {
        return Value(*text);
    }
    return Value(*integerValue());
}

ProgressToken ProgressToken::fromValue(const Value& value) {
    if (auto text = value.jsonString()) {
        return ProgressToken(std::move(*text));
    }
    if (auto number = value.intValue()) {
        return ProgressToken(*number);
    }
    if (auto number = value.doubleValue();
        number && *number >= -0x1p63 && *number < 0x1p63 && std::trunc(*number) == *number) {
        return ProgressToken(static_cast<std::int64_t>(*number));
    }
    throw DecodingError::dataCorrupted({}, "Progress token must be a string or integer");
}

bool operator==(const ProgressToken& a, const ProgressToken& b) {
    if (a.storage_.index() != b.storage_.index()) {
        return false;
    }
    if (const auto* text = a.stringValue()) {
        return textEquals(*text, *b.stringValue());
    }
    return *a.integerValue() == *b.integerValue();
}

std::size_t ProgressToken::hash() const noexcept {
    Hasher hasher;
    if (const auto* text = stringValue()) {
        hasher.combine(0);
        hasher.combineText(*text);
    } else {
        hasher.combine(1);
        hasher.combine(*integerValue());
    }
    return hasher.finish();
}

}  // namespace mcp
