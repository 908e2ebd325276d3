#include "MCP/HTTP/JSONRPCMessageKind.h"

#include "MCP/JSON/JsonParser.h"

namespace mcp {

std::optional<JSONRPCMessageKind> JSONRPCMessageKind::classify(std::string_view bytes) {
    std::optional<Value> parsed = tryParseJson(bytes);
    if (!parsed) {
        return std::nullopt;
    }
    return classifyParsed(*parsed);
}

std::optional<JSONRPCMessageKind> JSONRPCMessageKind::classifyParsed(const Value& message) {
    const Object* object = message.objectValue();
    if (!object) {
        return std::nullopt;
    }
    std::optional<ID> id;
    if (const Value* member = object->find("id")) {
        if (auto text = member->jsonString()) {
            id.emplace(std::move(*text));
        } else if (auto number = member->intValue()) {
            id.emplace(*number);
        }
    }
    if (const Value* method = object->find("method")) {
        if (auto name = method->jsonString()) {
            if (id) {
                return request(std::move(*id), std::move(*name));
            }
            return notification(std::move(*name));
        }
    }
    if (object->contains("result") || object->contains("error")) {
        if (id) {
            return response(std::move(*id));
        }
    }
    return std::nullopt;
}

}  // namespace mcp
