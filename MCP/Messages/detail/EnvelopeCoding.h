// The members shared by the JSON-RPC envelopes: the "jsonrpc" check and the parameters rule.
// Internal to the MCP library.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/DecodingError.h"
#include "MCP/JSON/Value.h"
#include "MCP/Messages/ID.h"
#include "MCP/Messages/Method.h"

namespace mcp::detail {

inline constexpr std::string_view kJsonRpcVersion = "2.0";

// The object of an envelope; anything else fails with typeMismatch.
template <class V>
auto& envelopeObject(V& value) {
    auto* object = value.objectValue();
    if (object == nullptr) {
        throwWrongKind(value, "an object");
    }
    return *object;
}

// "jsonrpc" must be the text "2.0".
void checkJsonRpcVersion(const Object& object);

// Appends {"id", "jsonrpc", <outcomeKey>} with the keys in the writer's sorted order:
// "error" < "id" < "jsonrpc" < "result". Throws EncodingError and then leaves `out` as it was.
void appendResponseEnvelope(std::string& out, const ID& id, const Value& outcome,
                            std::string_view outcomeKey);

// Appends the JSON text of an id: a number or a string.
void appendId(std::string& out, const ID& id);

// Appends {"id", "jsonrpc", "result"} with the result written by `writeResult(out)`.
template <class WriteResult>
void appendResultEnvelope(std::string& out, const ID& id, WriteResult&& writeResult) {
    out += std::string_view("{\"id\":");
    appendId(out, id);
    out += std::string_view(",\"jsonrpc\":\"2.0\",\"result\":");
    std::forward<WriteResult>(writeResult)(out);
    out += '}';
}

// The parameters rule. `params` is the "params" member, or nullptr when absent.
// NotRequired types: absent or null gives the value-initialised parameters; anything else is
// decoded and its own error passed on. Other types: decoded; when that fails, "Invalid params
// field" when the member is present and not null, else "Missing required params field".
template <class P, class V>
P decodeParams(V* params) {
    constexpr bool moving = !std::is_const_v<V>;
    auto decode = [&] {
        if constexpr (moving) {
            return decodeValue<P>(std::move(*params));
        } else {
            return decodeValue<P>(*params);
        }
    };
    if constexpr (NotRequired<P>) {
        if (params == nullptr || params->isNull()) {
            return P{};
        }
        return decodingAt("params", decode);
    } else {
        if (params != nullptr) {
            bool isNull = params->isNull();
            try {
                return decode();
            } catch (const DecodingError&) {
                if (!isNull) {
                    throw DecodingError::dataCorrupted({}, "Invalid params field");
                }
            }
        }
        throw DecodingError::dataCorrupted({}, "Missing required params field");
    }
}

// The erased parameters: a null Value stands for a message without "params".
template <class P, class V>
P decodeErasedParams(V& params) {
    return decodeParams<P>(params.isNull() ? static_cast<V*>(nullptr) : &params);
}

}  // namespace mcp::detail
