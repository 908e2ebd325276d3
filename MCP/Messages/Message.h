// Message<N>: a JSON-RPC 2.0 notification envelope for the notification type N: the method name
// and the parameters; no identifier.
//
// Wire form: {"jsonrpc": "2.0", "method", "params"}. "params" is left out when N's parameters
// are Empty, and when an erased message's parameters are null (JSON-RPC allows only an object
// or an array there). Decoding checks "jsonrpc" ("Invalid JSON-RPC version"), reads "method" as
// text and "params" by the parameters rule (MCP/detail/EnvelopeCoding.h).
//
// A plain value; safe to copy between threads.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/Hasher.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/detail/EnvelopeCoding.h"

namespace mcp {

template <Notification N>
struct Message {
    using Parameters = typename N::Parameters;

    std::string method = std::string(N::name);
    Parameters params{};

    Value toValue() const& { return encode(method, params); }
    Value toValue() && { return encode(method, std::move(params)); }

    // Throw DecodingError.
    static Message fromValue(const Value& value) { return decode(value); }
    static Message fromValue(Value&& value) { return decode(value); }

    // The same notification with its parameters as a Value.
    Message<AnyNotification> asAnyMessage() const& { return {method, encodeValue(params)}; }
    Message<AnyNotification> asAnyMessage() && {
        return {std::move(method), encodeValue(std::move(params))};
    }

    // An erased notification read as this type's, by the parameters rule. Throws DecodingError.
    static Message fromAnyMessage(const Message<AnyNotification>& message) {
        return {message.method, detail::decodeErasedParams<Parameters>(message.params)};
    }
    static Message fromAnyMessage(Message<AnyNotification>&& message) {
        return {std::move(message.method), detail::decodeErasedParams<Parameters>(message.params)};
    }

    friend bool operator==(const Message& a, const Message& b) {
        return textEquals(a.method, b.method) && codingEquals(a.params, b.params);
    }
    // The method text, then the parameters.
    std::size_t hash() const {
        Hasher hasher;
        hasher.combineText(method);
        hashInto(hasher, params);
        return hasher.finish();
    }

private:
    template <class P>
    static Value encode(const std::string& method, P&& params) {
        std::vector<Object::Entry> entries;
        entries.reserve(3);
        entries.emplace_back("jsonrpc", Value(std::string(detail::kJsonRpcVersion)));
        entries.emplace_back("method", Value(method));
        if constexpr (!std::is_same_v<Parameters, Empty>) {
            Value encoded = encodeValue(std::forward<P>(params));
            if (!encoded.isNull()) {
                entries.emplace_back("params", std::move(encoded));
            }
        }
        return Value(Object::fromEntries(std::move(entries)));
    }

    template <class V>
    static Message decode(V& value) {
        auto& object = detail::envelopeObject(value);
        detail::checkJsonRpcVersion(object);
        Message message;
        message.method = requiredText(object, "method");
        message.params = detail::decodeParams<Parameters>(object.find("params"));
        return message;
    }
};

// A notification of type N.
template <Notification N>
Message<N> makeMessage(typename N::Parameters params) {
    return {std::string(N::name), std::move(params)};
}
template <Notification N>
requires std::is_same_v<typename N::Parameters, Empty> Message<N> makeMessage() {
    return {std::string(N::name), Empty{}};
}

}  // namespace mcp

template <mcp::Notification N>
struct std::hash<mcp::Message<N>> {
    std::size_t operator()(const mcp::Message<N>& message) const { return message.hash(); }
};
