// Message classification: what one received JSON-RPC message is, and the text of an error answer.
// One place decides it for every peer: the server's receive loop, the client's, and the
// transports that must tell requests from notifications and responses. No I/O and no state.
//
//   ReceivedMessage message = mcp::classifyMessage(bytes);
//   if (auto* request = std::get_if<mcp::Request<mcp::AnyMethod>>(&message)) { ... }
//   else if (auto* invalid = std::get_if<mcp::InvalidMessage>(&message)) {
//       send(mcp::errorAnswerText(invalid->error, invalid->id));
//   }
//
// The forms, tried in this order on the parsed JSON (each read by its envelope's own rules):
//   batch         a JSON array; its elements are left for the caller, since a server's batch
//                 holds requests and notifications and a client's holds responses.
//   response      an object with "id" and "result" or "error" that reads as a response.
//   request       any other object with "id": a message with an id wants an answer, so it is
//                 never taken for a notification, even when the id is unusable.
//   notification  an object without "id".
//   invalid       text that is no JSON, a JSON value of another kind, or an object none of the
//                 forms reads: parseError "Invalid message format", answered under the object's
//                 "id" when that is a string or an integer. A request whose "id" is neither (nor
//                 null) is invalidRequest "ID must be string or number", answered with a null id.
//
// Thread-safety: pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "MCP/JSON/Value.h"
#include "MCP/Messages/ID.h"
#include "MCP/Messages/MCPError.h"
#include "MCP/Messages/Message.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/Request.h"
#include "MCP/Messages/Response.h"

namespace mcp {

// A JSON array received as one message: a batch whose elements are not read yet.
struct BatchMessage {
    Array elements;
};

// A message that is none of the forms: the error to answer it with, and the id to answer under
// when one could be read.
struct InvalidMessage {
    MCPError error;
    std::optional<ID> id;
};

using ReceivedMessage = std::variant<Request<AnyMethod>, Message<AnyNotification>,
                                     Response<AnyMethod>, BatchMessage, InvalidMessage>;

// Parses `bytes` (UTF-8 JSON without framing) and tells what they are. Never throws for bad input.
ReceivedMessage classifyMessage(std::string_view bytes);
// The same for a message that is parsed already (a batch element); takes it over.
ReceivedMessage classifyMessage(Value&& message);

// The members of an object that tell the message forms apart, found in one pass without
// decoding anything. `id` points into the object (nullptr when there is no "id").
struct MessageShape {
    explicit MessageShape(const Object& object) noexcept;

    const Value* id = nullptr;
    bool hasMethod = false;
    bool hasResult = false;
    bool hasError = false;
};

// The id an answer can carry: a string or an integer "id" member; absent for any other value
// and for no member at all.
std::optional<ID> readableID(const Value* id);

// The text of an error answer under `id`, or with "id": null when there is none (as JSON-RPC
// wants for a message whose id could not be read).
std::string errorAnswerText(const MCPError& error, const std::optional<ID>& id);

// The text of `response`. A response JSON cannot carry (a text that is not UTF-8) becomes an
// internal error for the same id that says why, so that no request goes unanswered.
std::string responseText(const Response<AnyMethod>& response);

}  // namespace mcp
