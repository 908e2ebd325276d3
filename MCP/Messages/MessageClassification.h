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
// The form comes from the members alone (MessageShape::form()), the one decision the server,
// the client and every transport take, so that no transport accepts as a request what the server
// will not answer:
//   batch            a JSON array; its elements are left for the caller, since a server's batch
//                    holds requests and notifications and a client's holds responses.
//   response         an object with "id" and "result" or "error" that reads as a response, a text
//                    "method" beside them included: whoever reads answers takes it for one, and
//                    the transports in front of a server refuse it as a request (ambiguous form).
//   request          an object with a text "method" and an "id" that is a string or an integer
//                    (of at most 64 bits), as the protocol's schema allows.
//   invalid request  a text "method" with any other "id" (null, a fraction, a larger number, a
//                    boolean, an object, an array): invalidRequest "ID must be string or number",
//                    answered without an id, since none can be read. Never a notification: a
//                    message with an id wants an answer.
//   notification     an object with a text "method" and no "id".
//   invalid          text that is no JSON, a JSON value of another kind, or an object none of the
//                    forms reads: parseError "Invalid message format", answered under the object's
//                    "id" when that is a string or an integer.
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

// What a message's members make it, before any envelope is read.
enum class MessageForm {
    request,         // text "method", readable "id", neither "result" nor "error"
    notification,    // text "method", no "id"
    response,        // "id" with "result" or "error", no text "method"
    ambiguous,       // "id" with "result" or "error" and a text "method": an answer to whoever
                     // reads answers, an invalid request to a server's transport
    invalidRequest,  // text "method" with an "id" no answer can carry
    invalid,         // anything else
};

// The members of an object that tell the message forms apart, found in one pass without
// decoding anything. `id` and `method` point into the object (nullptr when absent).
struct MessageShape {
    explicit MessageShape(const Object& object) noexcept;

    // The form these members give the message.
    MessageForm form() const noexcept;
    // Whether "method" is a text.
    bool hasTextMethod() const noexcept;

    const Value* id = nullptr;
    const Value* method = nullptr;
    bool hasResult = false;
    bool hasError = false;
};

// The error a server's side answers an ambiguous or invalid request with: invalidRequest with
// the reason; nullopt for the other forms.
std::optional<MCPError> invalidRequestError(MessageForm form);

// The id an answer can carry: a string or an integer (of at most 64 bits) "id" member; absent
// for any other value and for no member at all.
std::optional<ID> readableID(const Value* id);

// The text of an error answer under `id`, or without an "id" member when there is none: the
// protocol's schema makes the id of an error answer optional and never null.
std::string errorAnswerText(const MCPError& error, const std::optional<ID>& id);

// The text of `response`. A response JSON cannot carry (a text that is not UTF-8) becomes an
// internal error for the same id that says why, so that no request goes unanswered.
std::string responseText(const Response<AnyMethod>& response);

}  // namespace mcp
