// StatelessHTTPServerTransport: the server side of streamable HTTP without sessions or event
// streams. Every POST carries one JSON-RPC message; a request is answered in the same HTTP
// response with the server's JSON response as the body (200, application/json); notifications
// and responses are answered 202.
//
//   auto transport = std::make_shared<mcp::StatelessHTTPServerTransport>();
//   co_await server->start(transport);
//   mcp::HTTPResponse answer = co_await transport->handleRequest(std::move(httpRequest));
//
// handleRequest() waits for the server's response. Cancelling the awaiting coroutine (its Asio
// cancellation slot; an embedding server does so when the client goes away) withdraws the wait:
// the request's entries are removed, and the response, when it comes, is dropped.
//
// With no stream to carry them, the server's notifications are dropped (logged at debug level);
// a request of the server fails to send with internalError "Server-initiated requests cannot be
// sent in stateless mode", since no answer could ever come.
//
// Refusals (answers, never exceptions; the validators' come after the two body checks):
//   terminated              404 "Not Found: Transport has been terminated"
//   other method            405 "Method Not Allowed" (Allow: POST)
//   no body                 400 parse error "Empty request body"
//   body not one message    400 parse error "Invalid JSON-RPC message"
//   id of a request in flight
//                           400 "Bad Request: Duplicate request ID"
//   terminated while waiting
//                           500 "Internal error: Error processing request: <reason>"
//
// Thread-safety: every member may be called from any thread; the state sits behind one lock
// that is never held while awaiting.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "Logging/Logger.h"
#include "MCP/Core/AsyncResult.h"
#include "MCP/Core/HTTPRequest.h"
#include "MCP/Core/Transport.h"
#include "MCP/HTTP/HTTPRequestValidation.h"
#include "MCP/HTTP/HTTPResponse.h"

namespace mcp {

class StatelessHTTPServerTransport final : public Transport {
public:
    // `validationPipeline` absent: StandardValidationPipeline::statelessDefault(); `logger`
    // absent: logs nothing ("mcp.transport.http.server.stateless").
    explicit StatelessHTTPServerTransport(
        std::shared_ptr<const HTTPRequestValidationPipeline> validationPipeline = nullptr,
        std::optional<logging::Logger> logger = std::nullopt);
    ~StatelessHTTPServerTransport() override;

    boost::asio::awaitable<HTTPResponse> handleRequest(HTTPRequest request);
    // Ends the transport: every waiting request is answered 500, later ones 404. Idempotent.
    void terminate();

    const logging::Logger& logger() const override { return logger_; }
    boost::asio::awaitable<void> connect() override;
    boost::asio::awaitable<void> disconnect() override;
    boost::asio::awaitable<void> send(std::string message) override;
    boost::asio::awaitable<void> sendAnswer(std::string message, Answer answer) override;
    MessageStream receive() override;
    bool providesHTTPRequestContexts() const noexcept override { return true; }
    boost::asio::awaitable<std::optional<HTTPRequest>> httpRequestContext(ID id) override;
    boost::asio::awaitable<void> requestEndedWithoutAnswer(ID id) override;

private:
    struct Waiter {
        AsyncResultSource<std::string> source;
        std::uint64_t number;
    };

    void resume(const ID& id, std::string message);
    void fail(const ID& id, std::exception_ptr error);

    const logging::Logger logger_;
    const std::shared_ptr<const HTTPRequestValidationPipeline> validationPipeline_;

    mutable std::mutex mutex_;
    bool terminated_ = false;
    bool started_ = false;
    std::optional<MessageStream> incomingStream_;
    MessageStream::Source incoming_;
    std::unordered_map<ID, Waiter> responseWaiters_;
    std::unordered_map<ID, HTTPRequest> httpRequestContexts_;
    std::uint64_t nextWaiter_ = 1;
};

}  // namespace mcp
