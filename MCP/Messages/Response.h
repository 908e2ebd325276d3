// Response<M>: a JSON-RPC 2.0 response envelope for the method type M: the identifier of the
// request answered and either M's result or an MCPError.
//
// Wire form: {"jsonrpc": "2.0", "id", "result"} or {"jsonrpc": "2.0", "id", "error"}.
// Decoding checks "jsonrpc" ("Invalid JSON-RPC version"), reads "id", then takes "result" when
// it decodes as M::Result (an "error" beside it is ignored), else "error" when it decodes as an
// MCPError, else fails with dataCorrupted "Invalid response".
//
// A plain value; safe to copy between threads.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "MCP/JSON/Coding.h"
#include "MCP/JSON/Hasher.h"
#include "MCP/Messages/ID.h"
#include "MCP/Messages/MCPError.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/detail/EnvelopeCoding.h"

namespace mcp {

template <Method M>
struct Response {
    using Result = typename M::Result;

    ID id;
    std::variant<Result, MCPError> result;

    bool isSuccess() const noexcept { return result.index() == 0; }
    // The result, or nullptr for an error response.
    const Result* success() const noexcept { return std::get_if<0>(&result); }
    Result* success() noexcept { return std::get_if<0>(&result); }
    // The error, or nullptr for a successful response.
    const MCPError* failure() const noexcept { return std::get_if<1>(&result); }

    Value toValue() const& {
        if (auto* value = success()) {
            return encode(id, encodeValue(*value), "result");
        }
        return encode(id, failure()->toValue(), "error");
    }
    Value toValue() && {
        if (auto* value = success()) {
            return encode(id, encodeValue(std::move(*value)), "result");
        }
        return encode(id, failure()->toValue(), "error");
    }

    // Appends the response's JSON text, as toJson(toValue()) writes it, without building the
    // envelope as a Value first. Throws EncodingError and then leaves `out` as it was.
    void appendJsonTo(std::string& out) const {
        if (auto* value = success()) {
            if constexpr (std::is_same_v<Result, Value>) {
                detail::appendResponseEnvelope(out, id, *value, "result");
            } else {
                detail::appendResponseEnvelope(out, id, encodeValue(*value), "result");
            }
        } else {
            detail::appendResponseEnvelope(out, id, failure()->toValue(), "error");
        }
    }

    // Throw DecodingError.
    static Response fromValue(const Value& value) { return decode(value); }
    static Response fromValue(Value&& value) { return decode(value); }

    // The same response with its result as a Value; an error stays as it is.
    Response<AnyMethod> asAnyResponse() && {
        if (auto* value = success()) {
            return {std::move(id), encodeValue(std::move(*value))};
        }
        return {std::move(id), *failure()};
    }
    Response<AnyMethod> asAnyResponse() const& { return Response(*this).asAnyResponse(); }

    friend bool operator==(const Response& a, const Response& b) {
        if (!(a.id == b.id) || a.result.index() != b.result.index()) {
            return false;
        }
        if (auto* value = a.success()) {
            return codingEquals(*value, *b.success());
        }
        return *a.failure() == *b.failure();
    }
    // The identifier, which side the outcome is (0 success, 1 failure), then that side.
    std::size_t hash() const {
        Hasher hasher;
        hasher.combine(static_cast<std::uint64_t>(id.hash()));
        hasher.combine(static_cast<std::uint64_t>(result.index()));
        if (auto* value = success()) {
            hashInto(hasher, *value);
        } else {
            hasher.combine(static_cast<std::uint64_t>(failure()->hash()));
        }
        return hasher.finish();
    }

private:
    static Value encode(const ID& id, Value outcome, std::string_view key) {
        std::vector<Object::Entry> entries;
        entries.reserve(3);
        entries.emplace_back("id", id.toValue());
        entries.emplace_back("jsonrpc", Value(std::string(detail::kJsonRpcVersion)));
        entries.emplace_back(std::string(key), std::move(outcome));
        return Value(Object::fromEntries(std::move(entries)));
    }

    template <class V>
    static Response decode(V& value) {
        constexpr bool moving = !std::is_const_v<V>;
        auto& object = detail::envelopeObject(value);
        detail::checkJsonRpcVersion(object);
        const Value* idMember = object.find("id");
        if (idMember == nullptr) {
            throw DecodingError::keyNotFound({}, "id");
        }
        ID id = decodingAt("id", [&] { return ID::fromValue(*idMember); });
        if (auto* result = object.find("result")) {
            try {
                if constexpr (moving) {
                    return {std::move(id), decodeValue<Result>(std::move(*result))};
                } else {
                    return {std::move(id), decodeValue<Result>(*result)};
                }
            } catch (const DecodingError&) {
                // Not this method's result: an "error" member may still make sense of it.
            }
        }
        if (auto* error = object.find("error")) {
            try {
                return {std::move(id), MCPError::fromValue(*error)};
            } catch (const DecodingError&) {
            }
        }
        throw DecodingError::dataCorrupted({}, "Invalid response");
    }
};

// A successful response of method M.
template <Method M>
Response<M> makeResponse(ID id, typename M::Result result) {
    return {std::move(id), std::move(result)};
}
// An error response of method M.
template <Method M>
Response<M> makeErrorResponse(ID id, MCPError error) {
    return {std::move(id), std::move(error)};
}

}  // namespace mcp

template <mcp::Method M>
struct std::hash<mcp::Response<M>> {
    std::size_t operator()(const mcp::Response<M>& response) const { return response.hash(); }
};
