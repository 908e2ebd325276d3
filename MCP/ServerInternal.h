// What the server's sources share: how it logs (through the logger of its connection, only while
// it has one, building an entry's message and metadata only when the handler's level admits it),
// the record of a running request, and error conversions. Internal to MCP/Server*.cpp.
#pragma once

#include <atomic>
#include <boost/asio/cancellation_signal.hpp>
#include <exception>
#include <string>

#include "Logging/Logger.h"
#include "MCP/Server.h"

namespace mcp {

// One request handler in flight, kept under its request id so that a cancellation can reach it.
// The signal is emitted on the strand only; `cancelled` is set on the strand and read by the
// request's own task, which runs off it.
struct Server::RunningRequest {
    boost::asio::cancellation_signal signal;
    std::atomic<bool> cancelled = false;
};

template <class MessageProducer, class MetadataProducer>
void Server::logEvent(logging::Level level, const MessageProducer& message,
                      const MetadataProducer& metadata, std::source_location location) const {
    if (!connection_) {
        return;
    }
    const logging::Logger& logger = connection_->logger();
    if (!logger.isEnabled(level)) {
        return;
    }
    logger.log(level, logging::DeferredMessage(message, location), metadata);
}

namespace detail {

// The text of an error for logs and error details: what() of a std::exception, else a sentence.
std::string describeError(const std::exception_ptr& error);

// The error a failed handler is answered with: an MCPError as it is, anything else an internal
// error whose detail is its description.
MCPError toMCPError(const std::exception_ptr& error);

// Whether `error` is Asio's operation_aborted, the failure of a cancelled operation.
bool isOperationAborted(const std::exception_ptr& error) noexcept;

}  // namespace detail
}  // namespace mcp
