// JSONRPCMessageKind: what one JSON-RPC body posted to an HTTP server transport is (a request, a
// notification or a response), read from as few members as possible.
//
// classify() parses the bytes; a parse failure, or a top value that is no object (a batch array
// included), gives nothing. The id is the "id" member when it is a string or an integer. A text
// "method" makes a request (with an id) or a notification (without one); otherwise a "result" or
// "error" member with an id makes a response. Nothing else is examined ("jsonrpc" included).
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
    enum class Kind { request, notification, response };

    Kind kind;
    std::optional<ID> id;  // present for request and response
    std::string method;    // request and notification

    static JSONRPCMessageKind request(ID id, std::string method) {
        return {Kind::request, std::move(id), std::move(method)};
    }
    static JSONRPCMessageKind notification(std::string method) {
        return {Kind::notification, std::nullopt, std::move(method)};
    }
    static JSONRPCMessageKind response(ID id) { return {Kind::response, std::move(id), {}}; }

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
