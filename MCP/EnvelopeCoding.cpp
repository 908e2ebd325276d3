// The "jsonrpc" member and text members of the JSON-RPC envelopes.
#include "MCP/detail/EnvelopeCoding.h"

#include <charconv>

#include "MCP/JsonWriter.h"

namespace mcp::detail {

void checkJsonRpcVersion(const Object& object) {
    if (const Value* member = object.find("jsonrpc")) {
        if (const std::string* text = member->stringValue(); text && *text == kJsonRpcVersion) {
            return;  // the usual case, without a copy
        }
    }
    std::string version = requiredText(object, "jsonrpc");
    if (version != kJsonRpcVersion) {
        throw DecodingError::dataCorrupted({CodingKey::key("jsonrpc")}, "Invalid JSON-RPC version");
    }
}

namespace {

void appendId(std::string& out, const ID& id) {
    if (const std::int64_t* number = id.numberValue()) {
        char digits[24];
        out.append(digits, std::to_chars(digits, digits + sizeof digits, *number).ptr);
    } else {
        appendJsonString(out, *id.stringValue());
    }
}

}  // namespace

void appendResponseEnvelope(std::string& out, const ID& id, const Value& outcome,
                            std::string_view outcomeKey) {
    const std::size_t mark = out.size();
    try {
        if (outcomeKey < std::string_view("id")) {
            out += "{\"";
            out += outcomeKey;
            out += "\":";
            appendJson(out, outcome);
            out += ",\"id\":";
            appendId(out, id);
            out += ",\"jsonrpc\":\"2.0\"}";
        } else {
            out += "{\"id\":";
            appendId(out, id);
            out += ",\"jsonrpc\":\"2.0\",\"";
            out += outcomeKey;
            out += "\":";
            appendJson(out, outcome);
            out += '}';
        }
    } catch (...) {
        out.resize(mark);
        throw;
    }
}

std::string requiredText(const Object& object, std::string_view key) {
    const Value* member = object.find(key);
    if (member == nullptr) {
        throw DecodingError::keyNotFound({}, key);
    }
    if (const std::string* text = member->stringValue()) {
        return *text;
    }
    return decodingAt(CodingKey::key(std::string(key)),
                      [&] { return decodeValue<std::string>(*member); });
}

}  // namespace mcp::detail
