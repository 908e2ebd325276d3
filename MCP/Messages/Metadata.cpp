// The "_meta" object and its progress token.
#include "MCP/Messages/Metadata.h"

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/Hasher.h"

namespace mcp {

Metadata::Metadata(ProgressToken token, Object fields) : fields(std::move(fields)) {
    setProgressToken(std::move(token));
}

std::optional<ProgressToken> Metadata::progressToken() const {
    const Value* token = fields.find("progressToken");
    if (token == nullptr) {
        return std::nullopt;
    }
    if (auto number = token->intValue()) {
        return ProgressToken(*number);
    }
    if (auto text = token->jsonString()) {
        return ProgressToken(std::move(*text));
    }
    return std::nullopt;
}

void Metadata::setProgressToken(std::optional<ProgressToken> token) {
    if (!token) {
        fields.erase("progressToken");
        return;
    }
    fields.insertOrAssign("progressToken", token->toValue());
}

Metadata Metadata::fromValue(const Value& value) {
    const Object* object = value.objectValue();
    if (object == nullptr) {
        throwWrongKind(value, "an object");
    }
    return Metadata(*object);
}

std::size_t Metadata::hash() const {
    // Object keeps its entries sorted, so equal field sets are hashed in the same order.
    Hasher hasher;
    std::uint64_t combined = 0;
    for (const auto& [key, value] : fields) {
        Hasher entry;
        entry.combineText(key);
        entry.combineValue(value);
        combined ^= entry.finish();
    }
    hasher.combine(combined);
    return hasher.finish();
}

}  // namespace mcp
