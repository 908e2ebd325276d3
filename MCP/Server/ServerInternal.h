// What the server's sources share: how it logs (through the logger of its connection, only while
// it has one, building an entry's message and metadata only when the handler's level admits it),
// the record of a running request, and error conversions. Internal to MCP/Server*.cpp.
#pragma once

#include <boost/asio/cancellation_signal.hpp>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "Logging/Logger.h"
#include "MCP/Core/detail/AsyncWaiter.h"
#include "MCP/Core/detail/ErrorText.h"
#include "MCP/Server/Server.h"

namespace mcp {

// One request handler in flight, kept under its request id so that a cancellation can reach it.
// Touched on the strand only, where the request's task runs too. A request served by a worker
// is cancelled through the worker's signal, any other through its own.
struct Server::RunningRequest {
    RunningRequest(ID id, std::string method) : id(std::move(id)), method(std::move(method)) {}

    const ID id;
    const std::string method;
    boost::asio::cancellation_signal signal;
    std::weak_ptr<RequestWorker> worker;
    bool cancelled = false;
};

// A request handed to a worker.
struct Server::RequestJob {
    std::shared_ptr<RequestHandlerBox> box;
    Request<AnyMethod> request;
    std::shared_ptr<RunningRequest> running;
    std::shared_ptr<Transport> connection;  // the answer goes where the request came from
};

// A long-lived task that serves requests one after another, so that a request costs a hand-over
// instead of a new task. Its executor's binding carries the context of the request it serves.
// Strand only.
struct Server::RequestWorker {
    explicit RequestWorker(const Strand& strand)
        : binding(std::make_shared<detail::HandlerBinding>(strand, std::nullopt)) {}

    // Hands `request` over from the strand: a waiting worker runs it at once, up to its first
    // suspension, and the caller goes on from there; any other takes it when it next asks.
    void give(RequestJob&& request) {
        job.emplace(std::move(request));
        if (waiting) {
            auto waiter = std::move(*waiting);
            waiting.reset();
            std::move(waiter).completeHere(nullptr, true);
        }
    }
    // Ends the worker once it has no job.
    void close() {
        closed = true;
        if (waiting) {
            auto waiter = std::move(*waiting);
            waiting.reset();
            std::move(waiter).complete(nullptr, false);
        }
    }

    const std::shared_ptr<detail::HandlerBinding> binding;
    boost::asio::cancellation_signal signal;
    std::optional<RequestJob> job;  // the request it serves or is about to
    std::optional<detail::Waiter<bool>> waiting;
    std::uint64_t waits = 0;
    bool closed = false;
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

}  // namespace mcp
