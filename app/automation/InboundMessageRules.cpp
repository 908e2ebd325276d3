#include "app/automation/InboundMessageRules.h"

#include <cstdint>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/Messages/MessageClassification.h"

namespace fw::automation {

namespace {

// The text of a string value; a string that is a data URL is parsed as the data case and keeps
// its exact text.
std::optional<std::string> stringText(const mcp::Value& value) {
    if (value.kind() != mcp::Value::Kind::String && value.kind() != mcp::Value::Kind::Data) {
        return std::nullopt;
    }
    return value.jsonString();
}

// True when `capabilities.experimental` should go: an object with members, each an object.
bool hasRemovableExperimental(const mcp::Object& capabilities) {
    const mcp::Value* experimental = capabilities.find("experimental");
    const mcp::Object* members = experimental ? experimental->objectValue() : nullptr;
    if (members == nullptr || members->empty()) {
        return false;
    }
    for (const auto& [name, value] : *members) {
        if (value.objectValue() == nullptr) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> requestIdentifierKey(const mcp::Value& identifier) {
    if (auto text = stringText(identifier)) {
        if (text->size() > kMaximumStringIdentifierBytes) {
            return std::nullopt;
        }
        return "s:" + *text;
    }
    if (auto number = identifier.intValue(); number && identifier.kind() == mcp::Value::Kind::Int) {
        return "n:" + std::to_string(*number);
    }
    return std::nullopt;
}

std::string requestIdentifierKey(const mcp::ID& identifier) {
    if (const std::int64_t* number = identifier.numberValue()) {
        return "n:" + std::to_string(*number);
    }
    return "s:" + std::string(*identifier.stringValue());
}

std::optional<InboundMessage> acceptInboundLine(std::string line, std::size_t maximum) {
    if (line.empty()) {
        return std::nullopt;
    }
    auto parsed = mcp::tryParseJson(line);
    mcp::Object* object = parsed ? parsed->objectValue() : nullptr;
    if (object == nullptr || object->empty()) {
        return std::nullopt;
    }
    // Only what the server itself reads as a request or a notification passes: a request the
    // server would take for an answer, or answer under no id, would pin the connection's reader,
    // which waits for the answer before it reads on.
    const mcp::MessageShape shape(*object);
    const mcp::MessageForm form = shape.form();
    if (form != mcp::MessageForm::request && form != mcp::MessageForm::notification) {
        return std::nullopt;
    }
    const auto method = stringText(*shape.method);
    if (!method) {
        return std::nullopt;
    }

    InboundMessage message;
    if (*method == "initialize") {
        mcp::Value* params = object->find("params");
        mcp::Object* paramsObject = params ? params->objectValue() : nullptr;
        mcp::Value* capabilities = paramsObject ? paramsObject->find("capabilities") : nullptr;
        mcp::Object* capabilitiesObject = capabilities ? capabilities->objectValue() : nullptr;
        if (capabilitiesObject != nullptr && hasRemovableExperimental(*capabilitiesObject)) {
            capabilitiesObject->erase("experimental");
            line = mcp::toJson(*parsed);
            if (line.size() > maximum) {
                return std::nullopt;
            }
        }
    }

    if (const mcp::Value* identifier = object->find("id")) {
        auto key = requestIdentifierKey(*identifier);
        if (!key) {
            return std::nullopt;
        }
        message.kind = InboundMessage::Kind::request;
        message.key = std::move(*key);
    } else {
        if (method->rfind("notifications/", 0) != 0) {
            return std::nullopt;
        }
        message.kind = InboundMessage::Kind::notification;
    }
    message.text = std::move(line);
    return message;
}

bool releasesRequestInFlight(const std::optional<mcp::ID>& request, bool isError,
                             std::string_view pendingKey) {
    if (pendingKey.empty()) {
        return false;
    }
    if (request && requestIdentifierKey(*request) == pendingKey) {
        return true;
    }
    // An answer to a request the server could not read carries no id (or one the reader never
    // admitted): with one request in flight, it can only be that request's answer.
    return !request || isError;
}

}  // namespace fw::automation
