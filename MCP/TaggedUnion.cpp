// Reading the tag of a tagged object.
#include "MCP/TaggedUnion.h"

namespace mcp {

std::string requiredTag(const Object& object, std::string_view key) {
    const Value* tag = object.find(key);
    if (tag == nullptr) {
        throw DecodingError::keyNotFound({}, key);
    }
    return decodingAt(CodingKey::key(std::string(key)),
                      [&] { return decodeValue<std::string>(*tag); });
}

}  // namespace mcp
