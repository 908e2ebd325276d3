#include "MCP/HTTP/JSONRPCMessageKind.h"

#include "MCP/JSON/JsonParser.h"
#include "MCP/Messages/MessageClassification.h"

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
    const MessageShape shape(*object);
    const MessageForm form = shape.form();
    switch (form) {
        case MessageForm::request:
            return request(*readableID(shape.id), *shape.method->jsonString());
        case MessageForm::notification:
            return notification(*shape.method->jsonString());
        case MessageForm::response:
            if (std::optional<ID> id = readableID(shape.id)) {
                return response(std::move(*id));
            }
            // An answer under an id no request can have had answers nothing.
            return std::nullopt;
        case MessageForm::ambiguous:
        case MessageForm::invalidRequest:
            return invalidRequest(*invalidRequestError(form)->detail());
        case MessageForm::invalid:
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace mcp
