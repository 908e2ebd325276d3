// The relay between the AI client and the application, once start-up has a connected, verified
// socket: lines from standard input go to the socket, lines from the socket go to standard
// output, byte for byte (nothing parsed, trimmed or reordered; a carriage return before the line
// feed stays part of the line). Empty lines are dropped; a last line without a line feed is not
// relayed; a line over its direction's limit ends that direction.
//
//   client to application: at most 1,048,576 bytes a line
//   application to client: at most 262,144 bytes a line
//
// The socket-to-output direction decides how the program ends; the input direction only
// half-closes the socket when it ends, so the application sees the end of its input and closes
// the connection after its last answers. Both directions note the requests and responses they
// carry in one PendingRequests: an application that closes the connection while a request it
// was given is unanswered has gone away (crashed, killed), and that ends the relay as a failure.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "LocalAutomation/MCPUnixSocketLineReader.h"
#include "bridge/PendingRequests.h"

namespace fw::bridge {

enum class RelayEnd {
    // The application closed the connection with every relayed request answered.
    closed,
    // Reading from the application failed, a line was too long, or the application closed the
    // connection while a relayed request was unanswered; its message is written.
    failed,
};

// Relays lines read by `socket` to `output` until the socket's stream ends, noting each line in
// `pending`. A failed read writes "Frameweaver MCP bridge output: " and the error's description
// to `errors`; so does an end of stream while `pending` has requests. A failed write to `output`
// is thrown (SocketError), with nothing written to `errors`.
RelayEnd relaySocketToStandardOutput(automation::MCPUnixSocketLineReader& socket, int output,
                                     std::FILE* errors, PendingRequests& pending);

// Relays lines read by `input` to the socket `descriptor` until the input ends or fails or a
// write fails, then half-closes the socket (shutdown for writing; the descriptor stays open).
// Each line is noted in `pending` before it is written. Any end but the input's own end of
// stream writes "Frameweaver MCP bridge input: " and the error's description to `errors`.
void relayStandardInputToSocket(automation::MCPUnixSocketLineReader& input, int descriptor,
                                std::FILE* errors, PendingRequests& pending);

// The message of an application that closed the connection with `count` requests unanswered.
std::string unansweredRequestsText(std::size_t count);

}  // namespace fw::bridge
