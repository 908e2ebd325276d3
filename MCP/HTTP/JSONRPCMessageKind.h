// JSONRPCMessageKind: what one JSON-RPC body posted to an HTTP server transport is (a request, a
// notification, a response, or an invalid request the transport refuses itself), read from as
// few members as possible.
//
// classify() parses the bytes; a parse failure, or a top value that is no object (a batch array
// included), gives nothing. The form is the library's message classification
// (MCP/Messages/MessageClassification.h), which the server reads its messages by too: a request
// has a text "method" and a string or integer "id" and is always answered by the server; a
// "method" with an id no answer can carry (null, a fraction, true, ...) or beside a "result" or
// "error" is an invalid request, which the server would not answer, so the transport answers it
// with -32600 and the server never sees it. A "result" or "error" with an id and no text method
// is a response; a text "method" without an id a notification; anything else gives nothing.
// "jsonrpc" is not examined.
//
// Ids keep their type: 7 and "7" are different requests, and the transports' tables are keyed by
// the typed id. Their text form (ID::description()) is what event ids are built from.
// A plain value.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "MCP/JSON/Value.h"
#include "MCP/Messages/ID.h"

namespace mcp {

struct JSONRPCMessageKind {
    enum class Kind { request, notification, response, invalidRequest };

    Kind kind;
    std::optional<ID> id;  // present for request and response
    std::string method;    // request and notification
    std::string reason;    // invalidRequest: why, the detail of its -32600 answer

    static JSONRPCMessageKind request(ID id, std::string method) {
        return {Kind::request, std::move(id), std::move(method), {}};
    }
    static JSONRPCMessageKind notification(std::string method) {
        return {Kind::notification, std::nullopt, std::move(method), {}};
    }
    static JSONRPCMessageKind response(ID id) { return {Kind::response, std::move(id), {}, {}}; }
    static JSONRPCMessageKind invalidRequest(std::string reason) {
        return {Kind::invalidRequest, std::nullopt, {}, std::move(reason)};
    }

    static std::optional<JSONRPCMessageKind> classify(std::string_view bytes);
    // The same for a body parsed already.
    static std::optional<JSONRPCMessageKind> classifyParsed(const Value& message);

    bool isRequest() const noexcept { return kind == Kind::request; }
    bool isInitializeRequest() const noexcept {
        return kind == Kind::request && method == "initialize";
    }

    friend bool operator==(const JSONRPCMessageKind&, const JSONRPCMessageKind&) = default;
};

}  // namespace mcp
