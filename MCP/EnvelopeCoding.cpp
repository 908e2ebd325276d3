// The "jsonrpc" member and text members of the JSON-RPC envelopes.
#include "MCP/detail/EnvelopeCoding.h"

namespace mcp::detail {

void checkJsonRpcVersion(const Object& object) {
    std::string version = requiredText(object, "jsonrpc");
    if (version != kJsonRpcVersion) {
        throw DecodingError::dataCorrupted({CodingKey::key("jsonrpc")}, "Invalid JSON-RPC version");
    }
}

std::string requiredText(const Object& object, std::string_view key) {
    const Value* member = object.find(key);
    if (member == nullptr) {
        throw DecodingError::keyNotFound({}, key);
    }
    return decodingAt(CodingKey::key(std::string(key)),
                      [&] { return decodeValue<std::string>(*member); });
}

}  // namespace mcp::detail
