#include "bridge/BridgeRelay.h"

#include <sys/socket.h>

#include <string>

#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/SocketError.h"
#include "bridge/BridgeMessages.h"

namespace fw::bridge {

namespace socket = automation::MCPUnixSocket;
using automation::SocketError;

namespace {

bool isEndOfStream(const SocketError& error) {
    return error.kind() == SocketError::Kind::io && error.code() == 0;
}

}  // namespace

std::string unansweredRequestsText(std::size_t count) {
    return "The Frameweaver app closed the connection before answering " +
           (count == 1 ? std::string("a request") : std::to_string(count) + " requests") +
           "; it may have quit or crashed.";
}

RelayEnd relaySocketToStandardOutput(automation::MCPUnixSocketLineReader& reader, int output,
                                     std::FILE* errors, PendingRequests& pending) {
    std::string line;
    while (true) {
        try {
            line = reader.nextLine(socket::kOutgoingMessageMaximum);
        } catch (const SocketError& error) {
            if (isEndOfStream(error)) {
                if (const std::size_t unanswered = pending.count(); unanswered > 0) {
                    messages::write(errors, messages::output(unansweredRequestsText(unanswered)));
                    return RelayEnd::failed;
                }
                return RelayEnd::closed;
            }
            messages::write(errors, messages::output(error.description()));
            return RelayEnd::failed;
        }
        if (line.empty()) {
            continue;
        }
        pending.received(line);
        line.push_back('\n');
        socket::writeAllToStream(line, output);
    }
}

void relayStandardInputToSocket(automation::MCPUnixSocketLineReader& input, int descriptor,
                                std::FILE* errors, PendingRequests& pending) {
    std::string line;
    try {
        while (true) {
            line = input.nextLine(socket::kIncomingLineMaximum);
            if (line.empty()) {
                continue;
            }
            // Before the write: the answer may come back before this thread runs again.
            pending.sent(line);
            line.push_back('\n');
            socket::writeAll(line, descriptor);
        }
    } catch (const SocketError& error) {
        if (!isEndOfStream(error)) {
            messages::write(errors, messages::input(error.description()));
        }
    }
    (void)::shutdown(descriptor, SHUT_WR);
}

}  // namespace fw::bridge
