// The JSON text of the client's outgoing requests and notifications, written straight from their
// typed parameters: the same bytes as appendJson(out, envelope.toValue()), without building the
// envelope or the parameters as a Value first. Internal to the MCP library.
//
// Throws EncodingError (with the full coding path) for parameters JSON cannot carry; `out` then
// keeps what it held before. Stateless templates: safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>

#include "MCP/JSON/JsonWriter.h"
#include "MCP/JSON/TypedJson.h"
#include "MCP/Messages/Message.h"
#include "MCP/Messages/Request.h"
#include "MCP/Messages/detail/EnvelopeCoding.h"

namespace mcp::detail {

// Appends `,"params":<params>`; nothing for a null Value (JSON-RPC allows only an object or an
// array there).
template <class P>
void appendParamsMember(std::string& out, const P& params) {
    if constexpr (std::is_same_v<P, Value>) {
        if (params.isNull()) {
            return;
        }
        out += std::string_view(",\"params\":");
        appendJson(out, params);
    } else {
        out += std::string_view(",\"params\":");
        appendTypedJson(out, params);
    }
}

// {"id", "jsonrpc", "method", "params"} in the writer's sorted key order.
template <Method M>
void appendRequestText(std::string& out, const Request<M>& request) {
    const std::size_t mark = out.size();
    try {
        out += std::string_view("{\"id\":");
        appendId(out, request.id);
        out += std::string_view(",\"jsonrpc\":\"2.0\",\"method\":");
        appendJsonString(out, request.method);
        appendParamsMember(out, request.params);
        out += '}';
    } catch (const EncodingError&) {
        out.resize(mark);
        // Once more through the Value, whose error names the offending member.
        appendJson(out, request.toValue());
        throw;
    }
}

// {"jsonrpc", "method", "params"?}: no "params" for Empty parameters.
template <Notification N>
void appendNotificationText(std::string& out, const Message<N>& message) {
    const std::size_t mark = out.size();
    try {
        out += std::string_view("{\"jsonrpc\":\"2.0\",\"method\":");
        appendJsonString(out, message.method);
        if constexpr (!std::is_same_v<typename N::Parameters, Empty>) {
            appendParamsMember(out, message.params);
        }
        out += '}';
    } catch (const EncodingError&) {
        out.resize(mark);
        appendJson(out, message.toValue());
        throw;
    }
}

}  // namespace mcp::detail
