// What the client's sources share: a pending request's table entry, and how the client logs
// (through the logger of a transport, building an entry's message and metadata only when the
// handler's level admits it). Internal to MCP/Client*.cpp.
#pragma once

#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>

#include "Logging/Logger.h"
#include "MCP/Client/Client.h"
#include "MCP/Core/detail/ErrorText.h"

namespace mcp {

// The time-out of one request.
struct Client::RequestTimer {
    explicit RequestTimer(const Strand& strand, std::chrono::milliseconds timeout)
        : timer(strand, timeout) {}
    void cancel() { timer.cancel(); }
    boost::asio::steady_timer timer;
};

// The handler of one request of the server while it runs: the signal that cancels it, and
// whether the server withdrew the request (no answer goes out then).
struct Client::ServerRequestRun {
    boost::asio::cancellation_signal signal;
    bool cancelled = false;
};

// A request waiting for its answer, with the timer of its time-out when one is configured.
struct Client::PendingEntry {
    AnyPendingRequest pending;
    std::shared_ptr<RequestTimer> timer;
    std::uint64_t serial = 0;
};

namespace detail {

template <class MessageProducer, class MetadataProducer>
void logThrough(const Transport* transport, logging::Level level, const MessageProducer& message,
                const MetadataProducer& metadata, std::source_location location) {
    if (transport == nullptr) {
        return;
    }
    const logging::Logger& logger = transport->logger();
    if (!logger.isEnabled(level)) {
        return;
    }
    logger.log(level, logging::DeferredMessage(message, location), metadata);
}

}  // namespace detail

template <class MessageProducer, class MetadataProducer>
void Client::logEvent(logging::Level level, const MessageProducer& message,
                      const MetadataProducer& metadata, std::source_location location) const {
    detail::logThrough(connection_.get(), level, message, metadata, location);
}

}  // namespace mcp
