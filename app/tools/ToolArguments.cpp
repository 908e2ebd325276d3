#include "app/tools/ToolArguments.h"

#include <algorithm>

#include "app/tools/ToolError.h"

namespace fw {
namespace {

ToolError invalid(std::string_view key, std::string_view sentence) {
    std::string message(key);
    message += sentence;
    return ToolError("invalid_argument", std::move(message));
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::optional<QUuid> parseUUID(std::string_view text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    for (std::size_t index = 0; index < text.size(); ++index) {
        const bool dash = index == 8 || index == 13 || index == 18 || index == 23;
        if (dash ? text[index] != '-' : !isHexDigit(text[index])) {
            return std::nullopt;
        }
    }
    // Every character checked: QUuid reads the digits (the nil identifier included).
    return QUuid::fromString(QAnyStringView(QByteArrayView(text.data(), 36)));
}

std::string uuidText(const QUuid& id) {
    return id.toString(QUuid::WithoutBraces).toUpper().toStdString();
}

void ToolArguments::rejectUnknown(std::initializer_list<std::string_view> allowed) const {
    for (const mcp::Object::Entry& entry : arguments_) {
        if (std::find(allowed.begin(), allowed.end(), entry.first) == allowed.end()) {
            throw ToolError("unknown_argument", entry.first + " is not a supported argument.");
        }
    }
}

std::string ToolArguments::string(std::string_view key) const {
    // A JSON string that happens to be a data URL is read as the data case: still a string.
    const mcp::Value* value = find(key);
    std::optional<std::string> text = value != nullptr ? value->jsonString() : std::nullopt;
    if (!text) {
        throw invalid(key, " must be a string.");
    }
    return std::move(*text);
}

std::optional<std::string> ToolArguments::optionalString(std::string_view key) const {
    if (find(key) == nullptr) {
        return std::nullopt;
    }
    return string(key);
}

std::int64_t ToolArguments::integer(std::string_view key, std::int64_t defaultValue) const {
    if (find(key) == nullptr) {
        return defaultValue;
    }
    return requiredInteger(key);
}

std::int64_t ToolArguments::requiredInteger(std::string_view key) const {
    const mcp::Value* value = find(key);
    if (value == nullptr) {
        throw ToolError("missing_argument", std::string(key) + " is required.");
    }
    // The integer case only: 3.0 arrives as a double and is refused like 3.5.
    const std::optional<std::int64_t> number = value->intValue();
    if (!number) {
        throw invalid(key, " must be an integer.");
    }
    return *number;
}

std::optional<double> ToolArguments::number(std::string_view key) const {
    const mcp::Value* value = find(key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (const auto real = value->doubleValue()) {
        return *real;
    }
    if (const auto whole = value->intValue()) {
        return static_cast<double>(*whole);
    }
    throw invalid(key, " must be a number.");
}

std::optional<bool> ToolArguments::boolean(std::string_view key) const {
    const mcp::Value* value = find(key);
    if (value == nullptr) {
        return std::nullopt;
    }
    const std::optional<bool> flag = value->boolValue();
    if (!flag) {
        throw invalid(key, " must be a boolean.");
    }
    return flag;
}

QUuid ToolArguments::uuid(std::string_view key) const {
    const std::string text = string(key);
    const std::optional<QUuid> id = parseUUID(text);
    if (!id) {
        throw invalid(key, " must be a folder or job UUID.");
    }
    return *id;
}

std::optional<QUuid> ToolArguments::optionalUUID(std::string_view key) const {
    if (find(key) == nullptr) {
        return std::nullopt;
    }
    return uuid(key);
}

}  // namespace fw
