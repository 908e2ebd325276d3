// Request<M>: a JSON-RPC 2.0 request envelope for the method type M (MCP/Method.h): the
// identifier chosen by the sender, the method name and the parameters.
//
// Wire form: {"jsonrpc": "2.0", "id", "method", "params"}. "params" is always written (Empty
// writes {}), except that an erased request whose parameters are null leaves it out: JSON-RPC
// allows only an object or an array there. Decoding requires "jsonrpc" to be "2.0" ("Invalid
// JSON-RPC version"), reads "id" by the ID rules and "method" as text (not compared with
// M::name), and "params" by the parameters rule ("Invalid params field", "Missing required
// params field"; see MCP/detail/EnvelopeCoding.h).
//
// Converting between typed and erased requests goes straight through Value; no JSON text is
// written or read. A plain value; safe to copy between threads.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/Hasher.h"
#include "MCP/Messages/ID.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/detail/EnvelopeCoding.h"

namespace mcp {

template <Method M>
struct Request {
    using Parameters = typename M::Parameters;

    ID id;
    std::string method = std::string(M::name);
    Parameters params{};

    Value toValue() const& { return encode(*this, params); }
    Value toValue() && { return encode(*this, std::move(params)); }

    // Throw DecodingError.
    static Request fromValue(const Value& value) { return decode(value); }
    static Request fromValue(Value&& value) { return decode(value); }

    // The same request with its parameters as a Value.
    Request<AnyMethod> asAnyRequest() const& { return {id, method, encodeValue(params)}; }
    Request<AnyMethod> asAnyRequest() && {
        return {std::move(id), std::move(method), encodeValue(std::move(params))};
    }

    // An erased request read as this method's request, by the parameters rule.
    // Throws DecodingError ("Invalid params field", "Missing required params field", ...).
    static Request fromAnyRequest(const Request<AnyMethod>& request) {
        return {request.id, request.method, detail::decodeErasedParams<Parameters>(request.params)};
    }
    static Request fromAnyRequest(Request<AnyMethod>&& request) {
        return {std::move(request.id), std::move(request.method),
                detail::decodeErasedParams<Parameters>(request.params)};
    }

    friend bool operator==(const Request& a, const Request& b) {
        return a.id == b.id && textEquals(a.method, b.method) && codingEquals(a.params, b.params);
    }
    // The identifier, the method text, then the parameters.
    std::size_t hash() const {
        Hasher hasher;
        hasher.combine(static_cast<std::uint64_t>(id.hash()));
        hasher.combineText(method);
        hashInto(hasher, params);
        return hasher.finish();
    }

private:
    template <class P>
    static Value encode(const Request& request, P&& params) {
        std::vector<Object::Entry> entries;
        entries.reserve(4);
        entries.emplace_back("id", request.id.toValue());
        entries.emplace_back("jsonrpc", Value(std::string(detail::kJsonRpcVersion)));
        entries.emplace_back("method", Value(request.method));
        Value encoded = encodeValue(std::forward<P>(params));
        if (!encoded.isNull()) {
            entries.emplace_back("params", std::move(encoded));
        }
        return Value(Object::fromEntries(std::move(entries)));
    }

    template <class V>
    static Request decode(V& value) {
        auto& object = detail::envelopeObject(value);
        detail::checkJsonRpcVersion(object);
        Request request;
        const Value* id = object.find("id");
        if (id == nullptr) {
            throw DecodingError::keyNotFound({}, "id");
        }
        request.id = decodingAt("id", [&] { return ID::fromValue(*id); });
        request.method = requiredText(object, "method");
        request.params = detail::decodeParams<Parameters>(object.find("params"));
        return request;
    }
};

// A request of method M with identifier `id`.
template <Method M>
Request<M> makeRequest(ID id, typename M::Parameters params) {
    return {std::move(id), std::string(M::name), std::move(params)};
}
template <Method M>
requires std::is_same_v<typename M::Parameters, Empty> Request<M> makeRequest(ID id) {
    return {std::move(id), std::string(M::name), Empty{}};
}

}  // namespace mcp

template <mcp::Method M>
struct std::hash<mcp::Request<M>> {
    std::size_t operator()(const mcp::Request<M>& request) const { return request.hash(); }
};
