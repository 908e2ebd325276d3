#include "MCP/Messages/MessageClassification.h"

#include <cstring>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/Messages/detail/EnvelopeCoding.h"
#include "MCP/Messages/detail/ParsedEnvelope.h"

namespace mcp {

namespace {

InvalidMessage invalidFormat(std::optional<ID> id = std::nullopt) {
    return InvalidMessage{MCPError::parseError("Invalid message format"), std::move(id)};
}

}  // namespace

MessageShape::MessageShape(const Object& object) noexcept {
    for (const auto& [key, member] : object) {
        if (key == "id") {
            id = &member;
        } else if (key == "result") {
            hasResult = true;
        } else if (key == "error") {
            hasError = true;
        } else if (key == "method") {
            hasMethod = true;
        }
    }
}

std::optional<ID> readableID(const Value* id) {
    if (id == nullptr) {
        return std::nullopt;
    }
    if (const std::string* text = id->stringValue()) {
        return ID(*text);
    }
    if (id->kind() == Value::Kind::Int) {
        return ID(*id->intValue());
    }
    return std::nullopt;
}

ReceivedMessage classifyMessage(std::string_view bytes) {
    std::optional<Value> parsed = tryParseJson(bytes);
    if (!parsed) {
        return invalidFormat();
    }
    return classifyMessage(std::move(*parsed));
}

ReceivedMessage classifyMessage(Value&& message) {
    if (Array* elements = message.arrayValue()) {
        return BatchMessage{std::move(*elements)};
    }
    const Object* object = message.objectValue();
    if (object == nullptr) {
        return invalidFormat();
    }
    const MessageShape shape(*object);
    // The envelopes' fromValue reads without taking anything away: a form that does not fit
    // leaves the message whole for the next one.
    if (shape.id != nullptr && (shape.hasResult || shape.hasError)) {
        try {
            return Response<AnyMethod>::fromValue(std::move(message));
        } catch (const DecodingError&) {
        }
    }
    if (shape.id != nullptr) {
        std::optional<ID> id = readableID(shape.id);
        if (shape.hasMethod && !id && !shape.id->isNull()) {
            return InvalidMessage{MCPError::invalidRequest("ID must be string or number"),
                                  std::nullopt};
        }
        try {
            return Request<AnyMethod>::fromValue(std::move(message));
        } catch (const DecodingError&) {
        }
        return invalidFormat(std::move(id));
    }
    try {
        return Message<AnyNotification>::fromValue(std::move(message));
    } catch (const DecodingError&) {
    }
    return invalidFormat();
}

namespace {

// Whether `key` is `name`: a comparison of known length, which the compiler does in place.
template <std::size_t N>
bool keyIs(std::string_view key, const char (&name)[N]) noexcept {
    return key.size() == N - 1 && std::memcmp(key.data(), name, N - 1) == 0;
}

}  // namespace

detail::ParsedEnvelope::ParsedEnvelope(const JsonElement& message) noexcept {
    JsonElement::Members members = message.members();
    std::string_view key;
    JsonElement member;
    while (members.next(key, member)) {
        if (keyIs(key, "id")) {
            id = member;
        } else if (keyIs(key, "method")) {
            method = member;
        } else if (keyIs(key, "params")) {
            params = member;
        } else if (keyIs(key, "result")) {
            result = member;
        } else if (keyIs(key, "error")) {
            error = member;
        } else if (keyIs(key, "jsonrpc")) {
            version = member;
        }
    }
}

bool detail::ParsedEnvelope::hasVersion() const noexcept {
    return version && version->string() == kJsonRpcVersion;
}

std::optional<ID> detail::plainID(const JsonElement& id) {
    if (std::optional<std::string_view> text = id.string()) {
        return ID(*text);
    }
    if (std::optional<std::int64_t> number = id.integer()) {
        return ID(*number);
    }
    return std::nullopt;
}

std::string errorAnswerText(const MCPError& error, const std::optional<ID>& id) {
    if (id) {
        return responseText(Response<AnyMethod>{*id, error});
    }
    return toJson(
        Value(Object::fromEntries({{"error", error.toValue()},
                                   {"id", Value()},
                                   {"jsonrpc", Value(std::string(detail::kJsonRpcVersion))}})));
}

std::string responseText(const Response<AnyMethod>& response) {
    std::string text;
    try {
        response.appendJsonTo(text);
    } catch (const EncodingError& encodingError) {
        text.clear();
        Response<AnyMethod>{response.id, MCPError::internalError(encodingError.what())}
            .appendJsonTo(text);
    }
    return text;
}

}  // namespace mcp
