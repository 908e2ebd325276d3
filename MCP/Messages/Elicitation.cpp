// Coding of the elicitation request parameters, which choose their mode by "mode".
#include "MCP/Messages/Elicitation.h"

#include <cstdint>

namespace mcp {

using Parameters = ElicitationParameters;

Value Parameters::toValue() const {
    return std::visit([](const auto& payload) { return encodeValue(payload); }, storage_);
}

Parameters Parameters::fromValue(const Value& value) {
    const Object* object = value.objectValue();
    if (object == nullptr) {
        throwWrongKind(value, "an object");
    }
    std::optional<Elicitation::Mode> mode;
    if (const Value* member = object->find("mode"); member != nullptr && !member->isNull()) {
        mode = decodingAt("mode", [&] { return decodeValue<Elicitation::Mode>(*member); });
    }
    if (mode == Elicitation::Mode::url) {
        return decodeValue<URLParameters>(value);
    }
    return decodeValue<FormParameters>(value);
}

bool operator==(const Parameters& a, const Parameters& b) {
    if (a.storage_.index() != b.storage_.index()) {
        return false;
    }
    if (const auto* form = a.form()) {
        return codingEquals(*form, *b.form());
    }
    return codingEquals(*a.url(), *b.url());
}

std::size_t Parameters::hash() const {
    Hasher hasher;
    hasher.combine(static_cast<std::uint64_t>(storage_.index()));
    std::visit([&](const auto& payload) { hashInto(hasher, payload); }, storage_);
    return hasher.finish();
}

}  // namespace mcp
