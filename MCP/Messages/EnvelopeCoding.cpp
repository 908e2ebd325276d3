// The "jsonrpc" member of the JSON-RPC envelopes and the writing of response envelopes.
#include "MCP/Messages/detail/EnvelopeCoding.h"

#include <charconv>

#include "MCP/JSON/JsonWriter.h"

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

void appendId(std::string& out, const ID& id) {
    if (const std::int64_t* number = id.numberValue()) {
        char digits[24];
        out.append(digits, std::to_chars(digits, digits + sizeof digits, *number).ptr);
    } else {
        appendJsonString(out, *id.stringValue());
    }
}

void appendResponseEnvelope(std::string& out, const ID& id, const Value& outcome,
                            std::string_view outcomeKey) {
    const std::size_t mark = out.size();
    try {
        if (outcomeKey < std::string_view("id")) {
            out += std::string_view("{\"");
            out += outcomeKey;
            out += std::string_view("\":");
            appendJson(out, outcome);
            out += std::string_view(",\"id\":");
            appendId(out, id);
            out += std::string_view(",\"jsonrpc\":\"2.0\"}");
        } else {
            out += std::string_view("{\"id\":");
            appendId(out, id);
            out += std::string_view(",\"jsonrpc\":\"2.0\",\"");
            out += outcomeKey;
            out += std::string_view("\":");
            appendJson(out, outcome);
            out += '}';
        }
    } catch (...) {
        out.resize(mark);
        throw;
    }
}

}  // namespace mcp::detail
