// The check that the automation socket's inbound rules and the server's own message
// classification agree on one line, shared by the seeded random test of the rules and the fuzz
// harness. The connection's reader holds back everything after a request until that request is
// answered, so a line the rules let through as a request must be one the server answers: a
// request under the same id, or a message it refuses with an error (under that id or none). A
// line they let through as a notification must be one the server never answers as a request.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "LocalAutomation/MCPUnixSocket.h"
#include "MCP/Messages/MessageClassification.h"
#include "app/automation/InboundMessageRules.h"

namespace fuzz {

// Why the two disagree on `line`; nothing when they agree (a refused line always agrees).
inline std::optional<std::string> inboundDisagreement(std::string line) {
    using fw::automation::InboundMessage;
    const std::optional<InboundMessage> accepted = fw::automation::acceptInboundLine(
        std::move(line), fw::automation::MCPUnixSocket::kIncomingLineMaximum);
    if (!accepted) {
        return std::nullopt;
    }
    const mcp::ReceivedMessage received = mcp::classifyMessage(std::string_view(accepted->text));
    if (accepted->kind == InboundMessage::Kind::request) {
        if (const auto* request = std::get_if<mcp::Request<mcp::AnyMethod>>(&received)) {
            if (fw::automation::requestIdentifierKey(request->id) != accepted->key) {
                return "the server answers the request under another id than " + accepted->key;
            }
            return std::nullopt;
        }
        if (const auto* invalid = std::get_if<mcp::InvalidMessage>(&received)) {
            if (invalid->id &&
                fw::automation::requestIdentifierKey(*invalid->id) != accepted->key) {
                return "the server refuses the request under another id than " + accepted->key;
            }
            return std::nullopt;
        }
        return "the rules let through a request the server does not answer";
    }
    if (std::holds_alternative<mcp::Request<mcp::AnyMethod>>(received)) {
        return "the rules let through as a notification what the server runs as a request";
    }
    if (std::holds_alternative<mcp::Response<mcp::AnyMethod>>(received)) {
        return "the rules let through as a notification what the server reads as an answer";
    }
    return std::nullopt;
}

}  // namespace fuzz
