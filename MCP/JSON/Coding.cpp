// Reading required text members.
#include "MCP/JSON/Coding.h"

namespace mcp {

std::string requiredText(const Object& object, std::string_view key) {
    const Value* member = object.find(key);
    if (member == nullptr) {
        throw DecodingError::keyNotFound({}, key);
    }
    if (const std::string* text = member->stringValue()) {
        return *text;
    }
    return decodingAt(key, [&] { return decodeValue<std::string>(*member); });
}

}  // namespace mcp
