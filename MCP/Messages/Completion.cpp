// Coding of completion references.
#include "MCP/Messages/Completion.h"

#include "MCP/JSON/TaggedUnion.h"

namespace mcp {

// To clang the records Complete uses are records only while they are not nested in it with default
// member initializers (see the header). Checked here, where every build compiles it (the clang fuzz
// build too), so that clang stops at the cause rather than at a missing coding wherever one is
// encoded.
static_assert(RecordType<Complete::Parameters::Argument> &&
              RecordType<Complete::Parameters::Context> &&
              RecordType<Complete::Result::Completion>);

void ResourceReference::checkDecoding(const Object& object) {
    if (requiredText(object, "type") != kType) {
        throw DecodingError::dataCorrupted({CodingKey::key("type")}, "Expected ref/resource type");
    }
}

Value CompletionReference::toValue() const {
    return std::visit([](const auto& reference) { return encodeValue(reference); }, storage_);
}

CompletionReference CompletionReference::fromValue(const Value& value) {
    const Object* object = value.objectValue();
    if (object == nullptr) {
        throwWrongKind(value, "an object");
    }
    std::string type = requiredText(*object, "type");
    if (type == PromptReference::kType) {
        return decodeValue<PromptReference>(value);
    }
    if (type == ResourceReference::kType) {
        return decodeValue<ResourceReference>(value);
    }
    throw DecodingError::dataCorrupted({CodingKey::key("type")}, "Unknown reference type: " + type);
}

bool operator==(const CompletionReference& a, const CompletionReference& b) {
    if (a.storage_.index() != b.storage_.index()) {
        return false;
    }
    if (const auto* prompt = a.prompt()) {
        return codingEquals(*prompt, *b.prompt());
    }
    return codingEquals(*a.resource(), *b.resource());
}

std::size_t CompletionReference::hash() const {
    Hasher hasher;
    hasher.combine(static_cast<std::uint64_t>(storage_.index()));
    std::visit([&](const auto& reference) { hashInto(hasher, reference); }, storage_);
    return hasher.finish();
}

}  // namespace mcp
