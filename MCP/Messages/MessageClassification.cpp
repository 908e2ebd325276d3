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

// Whether an "id" is one the protocol allows: a text, or an integer the parse kept as one (a
// number it could not hold in 64 bits arrives as a fraction).
bool isReadableID(const Value& id) noexcept {
    switch (id.kind()) {
        case Value::Kind::String:
        case Value::Kind::Data:  // a text that reads as a data URL
        case Value::Kind::Int:
            return true;
        default:
            return false;
    }
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
            method = &member;
        }
    }
}

bool MessageShape::hasTextMethod() const noexcept {
    // A text that reads as a data URL is still the text it was sent as.
    return method != nullptr &&
           (method->kind() == Value::Kind::String || method->kind() == Value::Kind::Data);
}

MessageForm MessageShape::form() const noexcept {
    const bool textMethod = hasTextMethod();
    if (id != nullptr && (hasResult || hasError)) {
        return textMethod ? MessageForm::ambiguous : MessageForm::response;
    }
    if (!textMethod) {
        return MessageForm::invalid;
    }
    if (id == nullptr) {
        return MessageForm::notification;
    }
    return isReadableID(*id) ? MessageForm::request : MessageForm::invalidRequest;
}

std::optional<MCPError> invalidRequestError(MessageForm form) {
    switch (form) {
        case MessageForm::ambiguous:
            return MCPError::invalidRequest("A request cannot carry a result or an error");
        case MessageForm::invalidRequest:
            return MCPError::invalidRequest("ID must be string or number");
        default:
            return std::nullopt;
    }
}

std::optional<ID> readableID(const Value* id) {
    if (id == nullptr || !isReadableID(*id)) {
        return std::nullopt;
    }
    if (const auto number = id->intValue()) {
        return ID(*number);
    }
    return ID(*id->jsonString());
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
    switch (shape.form()) {
        case MessageForm::response:
        case MessageForm::ambiguous:
            try {
                return Response<AnyMethod>::fromValue(std::move(message));
            } catch (const DecodingError&) {
            }
            break;
        case MessageForm::request:
            try {
                return Request<AnyMethod>::fromValue(std::move(message));
            } catch (const DecodingError&) {
            }
            break;
        case MessageForm::invalidRequest:
            return InvalidMessage{*invalidRequestError(MessageForm::invalidRequest),
                                  std::nullopt};
        case MessageForm::notification:
            try {
                return Message<AnyNotification>::fromValue(std::move(message));
            } catch (const DecodingError&) {
            }
            break;
        case MessageForm::invalid:
            break;
    }
    return invalidFormat(readableID(shape.id));
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
    return toJson(Value(Object::fromEntries(
        {{"error", error.toValue()}, {"jsonrpc", Value(std::string(detail::kJsonRpcVersion))}})));
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
