#include "MCP/HTTP/StatelessHTTPServerTransport.h"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "Logging/NoOpLogHandler.h"
#include "MCP/HTTP/JSONRPCMessageKind.h"
#include "MCP/Messages/Version.h"

namespace mcp {

namespace {

logging::Logger defaultLogger() {
    return logging::Logger("mcp.transport.http.server.stateless", logging::NoOpLogHandler());
}

std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const MCPError& failure) {
        return failure.errorDescription();
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
        return "Unknown error";
    }
}

}  // namespace

StatelessHTTPServerTransport::StatelessHTTPServerTransport(
    std::shared_ptr<const HTTPRequestValidationPipeline> validationPipeline,
    std::optional<logging::Logger> logger)
    : logger_(logger ? std::move(*logger) : defaultLogger()),
      validationPipeline_(validationPipeline ? std::move(validationPipeline)
                                             : StandardValidationPipeline::statelessDefault()),
      incoming_([this] {
          auto [stream, source] = MessageStream::make();
          incomingStream_.emplace(std::move(stream));
          return source;
      }()) {}

StatelessHTTPServerTransport::~StatelessHTTPServerTransport() {
    terminate();
}

boost::asio::awaitable<void> StatelessHTTPServerTransport::connect() {
    {
        std::lock_guard lock(mutex_);
        if (started_) {
            throw MCPError::internalError("Transport already started");
        }
        started_ = true;
    }
    logger_.debug("Stateless HTTP server transport started");
    co_return;
}

boost::asio::awaitable<void> StatelessHTTPServerTransport::disconnect() {
    terminate();
    co_return;
}

MessageStream StatelessHTTPServerTransport::receive() {
    std::lock_guard lock(mutex_);
    return MessageStream::takeOnce(incomingStream_);
}

void StatelessHTTPServerTransport::terminate() {
    std::unordered_map<ID, Waiter> waiters;
    {
        std::lock_guard lock(mutex_);
        if (terminated_) {
            return;
        }
        terminated_ = true;
        waiters.swap(responseWaiters_);
        httpRequestContexts_.clear();
    }
    logger_.debug("Stateless HTTP server transport terminated");
    for (auto& [id, waiter] : waiters) {
        logger_.debug("Cancelled waiter for request",
                      [&] { return logging::Metadata{{"requestID", id.description()}}; });
        waiter.source.setError(std::make_exception_ptr(MCPError::connectionClosed()));
    }
    incoming_.finish();
}

boost::asio::awaitable<HTTPResponse> StatelessHTTPServerTransport::handleRequest(
    HTTPRequest request) {
    std::string method = request.method;
    std::transform(method.begin(), method.end(), method.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    std::optional<ID> id;
    AsyncResult<std::string> response;
    std::uint64_t number = 0;
    {
        std::lock_guard lock(mutex_);
        if (terminated_) {
            co_return HTTPResponse::error(
                404, MCPError::invalidRequest("Not Found: Transport has been terminated"));
        }
        if (method != "POST") {
            HTTPHeaders allow;
            allow.set(HTTPHeaderName::allow, "POST");
            co_return HTTPResponse::error(405, MCPError::invalidRequest("Method Not Allowed"),
                                          std::nullopt, std::move(allow));
        }
        if (!request.body || request.body->empty()) {
            co_return HTTPResponse::error(400, MCPError::parseError("Empty request body"));
        }
        auto kind = JSONRPCMessageKind::classify(*request.body);
        if (!kind) {
            co_return HTTPResponse::error(400, MCPError::parseError("Invalid JSON-RPC message"));
        }
        HTTPValidationContext context{"POST", std::nullopt, kind->isInitializeRequest(),
                                      &Version::supported()};
        if (auto answer = validationPipeline_->validate(request, context)) {
            co_return std::move(*answer);
        }
        if (kind->kind == JSONRPCMessageKind::Kind::invalidRequest) {
            // The server would not answer it: answered here, nothing waits for it.
            co_return HTTPResponse::error(400,
                                          MCPError::invalidRequest(std::move(kind->reason)));
        }
        if (kind->kind != JSONRPCMessageKind::Kind::request) {
            incoming_.yield(std::move(*request.body));
            co_return HTTPResponse::accepted();
        }
        id = std::move(kind->id);
        if (responseWaiters_.contains(*id)) {
            // Replacing the first waiter would leave its HTTP request hanging for ever.
            co_return HTTPResponse::error(
                400, MCPError::invalidRequest("Bad Request: Duplicate request ID"));
        }
        auto [source, result] = AsyncResult<std::string>::make();
        number = nextWaiter_++;
        responseWaiters_.emplace(*id, Waiter{std::move(source), number});
        response = std::move(result);
        std::string body = *request.body;
        httpRequestContexts_.insert_or_assign(*id, std::move(request));
        // Registered before the server sees the request, so its response cannot overtake it.
        incoming_.yield(std::move(body));
    }

    std::exception_ptr failure;
    std::string bytes;
    try {
        bytes = co_await response.take();
    } catch (const boost::system::system_error& error) {
        if (error.code() != boost::asio::error::operation_aborted) {
            failure = std::current_exception();
        } else {
            // The client went away: withdraw this request's entries (a later one may use the id).
            std::lock_guard lock(mutex_);
            auto waiter = responseWaiters_.find(*id);
            if (waiter != responseWaiters_.end() && waiter->second.number == number) {
                responseWaiters_.erase(waiter);
                httpRequestContexts_.erase(*id);
            }
            throw;
        }
    } catch (...) {
        failure = std::current_exception();
    }
    {
        std::lock_guard lock(mutex_);
        auto waiter = responseWaiters_.find(*id);
        if (waiter == responseWaiters_.end() || waiter->second.number == number) {
            httpRequestContexts_.erase(*id);
        }
    }
    if (failure) {
        co_return HTTPResponse::error(
            500, MCPError::internalError("Error processing request: " + describe(failure)));
    }
    HTTPHeaders headers;
    headers.set(HTTPHeaderName::contentType, "application/json");
    co_return HTTPResponse::data(std::move(bytes), std::move(headers));
}

boost::asio::awaitable<void> StatelessHTTPServerTransport::send(std::string message) {
    {
        std::lock_guard lock(mutex_);
        if (terminated_) {
            throw MCPError::connectionClosed();
        }
    }
    auto kind = JSONRPCMessageKind::classify(message);
    if (!kind || kind->kind == JSONRPCMessageKind::Kind::invalidRequest) {
        logger_.warning("Could not classify outgoing message for routing");
        co_return;
    }
    switch (kind->kind) {
        case JSONRPCMessageKind::Kind::request:
            logger_.debug("Server-initiated request dropped in stateless mode (no GET SSE stream)",
                          [&] { return logging::Metadata{{"method", kind->method}}; });
            // Dropping it quietly would leave its sender waiting for an answer that never comes.
            throw MCPError::internalError(
                "Server-initiated requests cannot be sent in stateless mode");
        case JSONRPCMessageKind::Kind::notification:
            logger_.debug(
                "Server-initiated notification dropped in stateless mode (no GET SSE stream)",
                [&] { return logging::Metadata{{"method", kind->method}}; });
            co_return;
        case JSONRPCMessageKind::Kind::response:
            resume(*kind->id, std::move(message));
            co_return;
        case JSONRPCMessageKind::Kind::invalidRequest:
            co_return;
    }
}

boost::asio::awaitable<void> StatelessHTTPServerTransport::sendAnswer(std::string message,
                                                                      Answer answer) {
    if (!answer.request) {
        co_await send(std::move(message));
        co_return;
    }
    {
        std::lock_guard lock(mutex_);
        if (terminated_) {
            throw MCPError::connectionClosed();
        }
    }
    resume(*answer.request, std::move(message));
}

void StatelessHTTPServerTransport::resume(const ID& id, std::string message) {
    std::optional<Waiter> waiter;
    {
        std::lock_guard lock(mutex_);
        auto found = responseWaiters_.find(id);
        if (found != responseWaiters_.end()) {
            waiter.emplace(std::move(found->second));
            responseWaiters_.erase(found);
        }
    }
    if (!waiter) {
        logger_.debug("No waiter for response, may have timed out",
                      [&] { return logging::Metadata{{"requestID", id.description()}}; });
        return;
    }
    waiter->source.setValue(std::move(message));
}

void StatelessHTTPServerTransport::fail(const ID& id, std::exception_ptr error) {
    std::optional<Waiter> waiter;
    {
        std::lock_guard lock(mutex_);
        auto found = responseWaiters_.find(id);
        if (found != responseWaiters_.end()) {
            waiter.emplace(std::move(found->second));
            responseWaiters_.erase(found);
        }
    }
    if (waiter) {
        waiter->source.setError(error);
    }
}

boost::asio::awaitable<std::optional<HTTPRequest>>
StatelessHTTPServerTransport::httpRequestContext(ID id) {
    std::lock_guard lock(mutex_);
    auto found = httpRequestContexts_.find(id);
    if (found == httpRequestContexts_.end()) {
        co_return std::nullopt;
    }
    co_return found->second;
}

boost::asio::awaitable<void> StatelessHTTPServerTransport::requestEndedWithoutAnswer(ID id) {
    // A handler cancelled by the client's "notifications/cancelled": no answer will come.
    fail(id, std::make_exception_ptr(std::runtime_error("Request cancelled")));
    co_return;
}

}  // namespace mcp
