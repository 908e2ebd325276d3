// Texts, wire form, equality and hashing of MCPError.
#include "MCP/Messages/MCPError.h"

#include <boost/system/system_error.hpp>
#include <cerrno>
#include <string_view>
#include <utility>

namespace mcp {
namespace {

constexpr std::string_view kServerErrorPrefix = "Server error: ";
constexpr std::string_view kTransportErrorPrefix = "Transport error: ";

bool isStandard(MCPError::Kind kind) {
    return kind <= MCPError::Kind::internalError;
}

// The fixed message of a standard kind.
// The five standard kinds: code and fixed text.
struct StandardKind {
    MCPError::Kind kind;
    std::int64_t code;
    std::string_view text;
};
constexpr StandardKind kStandardKinds[] = {
    {MCPError::Kind::parseError, MCPError::kParseErrorCode, "Parse error: Invalid JSON"},
    {MCPError::Kind::invalidRequest, MCPError::kInvalidRequestCode, "Invalid Request"},
    {MCPError::Kind::methodNotFound, MCPError::kMethodNotFoundCode, "Method not found"},
    {MCPError::Kind::invalidParams, MCPError::kInvalidParamsCode, "Invalid params"},
    {MCPError::Kind::internalError, MCPError::kInternalErrorCode, "Internal error"},
};

// The entry of a standard kind; any other kind reads as the internal error.
const StandardKind& standardKind(MCPError::Kind kind) {
    for (const StandardKind& entry : kStandardKinds) {
        if (entry.kind == kind) {
            return entry;
        }
    }
    return kStandardKinds[4];
}

// The standard kind with `code`, if any.
const StandardKind* standardKindWithCode(std::int64_t code) {
    for (const StandardKind& entry : kStandardKinds) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

std::string_view standardText(MCPError::Kind kind) {
    return standardKind(kind).text;
}

// `text` without `prefix` when it starts with it.
std::optional<std::string> withoutPrefix(const std::string& text, std::string_view prefix) {
    if (std::string_view(text).starts_with(prefix)) {
        return text.substr(prefix.size());
    }
    return std::nullopt;
}

// The member `key` of `data` when it is a JSON string.
std::optional<std::string> dataText(const Object* data, std::string_view key) {
    if (data == nullptr) {
        return std::nullopt;
    }
    if (const Value* member = data->find(key)) {
        return member->jsonString();
    }
    return std::nullopt;
}

std::vector<URLElicitationInfo> readElicitations(const Object* data) {
    std::vector<URLElicitationInfo> list;
    const Value* entries = data != nullptr ? data->find("elicitations") : nullptr;
    const Array* array = entries != nullptr ? entries->arrayValue() : nullptr;
    if (array == nullptr) {
        return list;
    }
    for (const Value& entry : *array) {
        const Object* object = entry.objectValue();
        if (object == nullptr || object->empty()) {
            continue;
        }
        auto mode = dataText(object, "mode");
        auto id = dataText(object, "elicitationId");
        auto url = dataText(object, "url");
        auto message = dataText(object, "message");
        if (mode && id && url && message) {
            list.push_back(
                {std::move(*mode), std::move(*id), std::move(*url), std::move(*message)});
        }
    }
    return list;
}

}  // namespace

DomainError::DomainError(std::string domain, std::int64_t code, std::string description)
    : domain_(std::move(domain)), code_(code), description_(std::move(description)) {}

std::string DomainError::debugDescription() const {
    return "DomainError(domain: " + domain_ + ", code: " + std::to_string(code_) +
           ", description: \"" + description_ + "\")";
}

std::string SystemError::localizedDescription() const {
    return code_.message();
}

std::string SystemError::debugDescription() const {
    return "SystemError(category: " + std::string(code_.category().name()) +
           ", code: " + std::to_string(code_.value()) + ")";
}

MCPError::MCPError(Kind kind, std::int64_t code) : kind_(kind), code_(code) {}

MCPError MCPError::standardError(Kind kind, std::optional<std::string> detail) {
    const StandardKind& entry = standardKind(kind);
    MCPError error(entry.kind, entry.code);
    error.detail_ = std::move(detail);
    error.describe();
    return error;
}
MCPError MCPError::parseError(std::optional<std::string> detail) {
    return standardError(Kind::parseError, std::move(detail));
}
MCPError MCPError::invalidRequest(std::optional<std::string> detail) {
    return standardError(Kind::invalidRequest, std::move(detail));
}
MCPError MCPError::methodNotFound(std::optional<std::string> detail) {
    return standardError(Kind::methodNotFound, std::move(detail));
}
MCPError MCPError::invalidParams(std::optional<std::string> detail) {
    return standardError(Kind::invalidParams, std::move(detail));
}
MCPError MCPError::internalError(std::optional<std::string> detail) {
    return standardError(Kind::internalError, std::move(detail));
}
MCPError MCPError::serverError(std::int64_t code, std::string message) {
    MCPError error(Kind::serverError, code);
    error.message_ = std::move(message);
    error.describe();
    return error;
}
MCPError MCPError::urlElicitationRequired(std::string message,
                                          std::vector<URLElicitationInfo> elicitations) {
    MCPError error(Kind::urlElicitationRequired, kURLElicitationRequiredCode);
    error.message_ = std::move(message);
    error.elicitations_ = std::move(elicitations);
    error.describe();
    return error;
}
MCPError MCPError::transportError(std::shared_ptr<const UnderlyingError> underlying) {
    MCPError error(Kind::transportError, kTransportErrorCode);
    if (!underlying) {
        underlying = std::make_shared<DomainError>("org.jsonrpc.error", kTransportErrorCode,
                                                   "The transport failed.");
    }
    error.underlying_ = std::move(underlying);
    error.describe();
    return error;
}
MCPError MCPError::transportError(std::error_code code) {
    return transportError(std::make_shared<SystemError>(code));
}
MCPError MCPError::connectionClosed() {
    MCPError error(Kind::connectionClosed, kConnectionClosedCode);
    error.describe();
    return error;
}

void MCPError::describe() {
    switch (kind_) {
        case Kind::serverError:
            description_ = std::string(kServerErrorPrefix) + message_;
            break;
        case Kind::urlElicitationRequired:
            description_ = "URL elicitation required: " + message_;
            break;
        case Kind::transportError:
            description_ = std::string(kTransportErrorPrefix) + underlying_->localizedDescription();
            break;
        case Kind::connectionClosed:
            description_ = "Connection closed";
            break;
        default:
            description_ = std::string(standardText(kind_));
            if (detail_) {
                description_ += ": ";
                description_ += *detail_;
            }
            break;
    }
}

std::optional<std::string> MCPError::failureReason() const {
    switch (kind_) {
        case Kind::parseError:
            return "The server received invalid JSON that could not be parsed";
        case Kind::invalidRequest:
            return "The JSON sent is not a valid Request object";
        case Kind::methodNotFound:
            return "The method does not exist or is not available";
        case Kind::invalidParams:
            return "Invalid method parameter(s)";
        case Kind::internalError:
            return "Internal JSON-RPC error";
        case Kind::serverError:
            return "Server-defined error occurred";
        case Kind::urlElicitationRequired:
            return "The server requires user authentication or input via external URL";
        case Kind::transportError:
            if (auto reason = underlying_->failureReason()) {
                return reason;
            }
            return underlying_->localizedDescription();
        case Kind::connectionClosed:
            return "The connection to the server was closed";
    }
    return std::nullopt;
}

std::optional<std::string> MCPError::recoverySuggestion() const {
    switch (kind_) {
        case Kind::parseError:
            return "Verify that the JSON being sent is valid and well-formed";
        case Kind::invalidRequest:
            return "Ensure the request follows the JSON-RPC 2.0 specification format";
        case Kind::methodNotFound:
            return "Check the method name and ensure it is supported by the server";
        case Kind::invalidParams:
            return "Verify the parameters match the method's expected parameters";
        case Kind::urlElicitationRequired:
            if (elicitations_.empty()) {
                return "Complete the required URL-based elicitation";
            }
            return "Visit " + elicitations_.front().url +
                   " to complete the required authentication or input";
        case Kind::connectionClosed:
            return "Try reconnecting to the server";
        default:
            return std::nullopt;
    }
}

std::string MCPError::debugDescription() const {
    std::string text = "[" + std::to_string(code_) + "] " + description_;
    if (kind_ == Kind::transportError) {
        text += " (Underlying error: " + underlying_->debugDescription() + ")";
    }
    return text;
}

Value MCPError::toValue() const {
    Object object;
    object.insertOrAssign("code", Value(code_));
    switch (kind_) {
        case Kind::urlElicitationRequired:
            object.insertOrAssign("message", Value(message_));
            object.insertOrAssign("data",
                                  Value(Object{{"elicitations", encodeValue(elicitations_)}}));
            break;
        case Kind::transportError:
            object.insertOrAssign("message", Value(description_));
            object.insertOrAssign(
                "data", Value(Object{{"error", Value(underlying_->localizedDescription())}}));
            break;
        default:
            object.insertOrAssign("message", Value(description_));
            if (isStandard(kind_) && detail_) {
                object.insertOrAssign("data", Value(Object{{"detail", Value(*detail_)}}));
            }
            break;
    }
    return Value(std::move(object));
}

MCPError MCPError::fromValue(const Value& value) {
    const Object* object = value.objectValue();
    if (object == nullptr) {
        throwWrongKind(value, "an object");
    }
    const Value* codeMember = object->find("code");
    if (codeMember == nullptr) {
        throw DecodingError::keyNotFound({}, "code");
    }
    auto code = decodingAt("code", [&] { return decodeValue<std::int64_t>(*codeMember); });
    const Value* messageMember = object->find("message");
    if (messageMember == nullptr) {
        throw DecodingError::keyNotFound({}, "message");
    }
    auto message = decodingAt("message", [&] { return decodeValue<std::string>(*messageMember); });
    const Object* data = nullptr;
    if (const Value* dataMember = object->find("data"); dataMember && !dataMember->isNull()) {
        data = dataMember->objectValue();
        if (data == nullptr) {
            throw DecodingError::typeMismatch({CodingKey::key("data")}, "an object",
                                              dataMember->typeDescription());
        }
    }

    if (const StandardKind* standard = standardKindWithCode(code)) {
        const Kind kind = standard->kind;
        if (auto detail = dataText(data, "detail")) {
            return standardError(kind, std::move(detail));
        }
        // Without a detail member the message is the whole description: the fixed text alone
        // means no detail, and the fixed text is not taken into the detail again, so the error
        // reads the same after any number of round trips.
        if (message == standard->text) {
            return standardError(kind, std::nullopt);
        }
        if (auto rest = withoutPrefix(message, std::string(standard->text) + ": ")) {
            return standardError(kind, std::move(rest));
        }
        return standardError(kind, std::move(message));
    }
    switch (code) {
        case kURLElicitationRequiredCode:
            return urlElicitationRequired(std::move(message), readElicitations(data));
        case kTransportErrorCode: {
            auto description = dataText(data, "error");
            if (!description) {
                description = withoutPrefix(message, kTransportErrorPrefix).value_or(message);
            }
            return transportError(std::make_shared<DomainError>(
                "org.jsonrpc.error", kTransportErrorCode, std::move(*description)));
        }
        case kConnectionClosedCode:
            return connectionClosed();
        default:
            // Our own encoding writes "Server error: " before the message; a relayed error
            // must not gain the prefix a second time.
            return serverError(code, withoutPrefix(message, kServerErrorPrefix).value_or(message));
    }
}

bool operator==(const MCPError& a, const MCPError& b) {
    if (a.kind_ != b.kind_) {
        return false;
    }
    switch (a.kind_) {
        case MCPError::Kind::serverError:
            return a.code_ == b.code_ && textEquals(a.message_, b.message_);
        case MCPError::Kind::urlElicitationRequired:
            return textEquals(a.message_, b.message_) &&
                   codingEquals(a.elicitations_, b.elicitations_);
        case MCPError::Kind::transportError:
            return textEquals(a.underlying_->localizedDescription(),
                              b.underlying_->localizedDescription());
        case MCPError::Kind::connectionClosed:
            return true;
        default:
            return codingEquals(a.detail_, b.detail_);
    }
}

std::size_t MCPError::hash() const {
    Hasher hasher;
    hasher.combine(code_);
    switch (kind_) {
        case Kind::serverError:
            hasher.combineText(message_);
            break;
        case Kind::urlElicitationRequired:
            hasher.combineText(message_);
            hashInto(hasher, elicitations_);
            break;
        case Kind::transportError:
            hasher.combineText(underlying_->localizedDescription());
            break;
        case Kind::connectionClosed:
            break;
        default:
            hashInto(hasher, detail_);
            break;
    }
    return hasher.finish();
}

bool isResourceTemporarilyUnavailable(const std::exception_ptr& error) noexcept {
    if (!error) {
        return false;
    }
    auto isEagain = [](int value, bool posix) { return posix && value == EAGAIN; };
    try {
        std::rethrow_exception(error);
    } catch (const std::system_error& e) {
        const auto& category = e.code().category();
        return isEagain(e.code().value(),
                        category == std::generic_category() || category == std::system_category());
    } catch (const boost::system::system_error& e) {
        const auto& category = e.code().category();
        return isEagain(e.code().value(), category == boost::system::generic_category() ||
                                              category == boost::system::system_category());
    } catch (...) {
        return false;
    }
}

}  // namespace mcp
