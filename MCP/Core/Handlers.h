// Handler boxes: the server's and the client's tables keep one handler per method name and a list
// per notification name, type-erased. A request arrives as Request<AnyMethod>; the typed box
// reads it as its own Request<M> (by the parameters rule, straight from the Value), runs the
// handler and turns the typed response back into a Response<AnyMethod>. Notifications likewise.
//
//   auto box = std::make_shared<mcp::TypedRequestHandler<mcp::Ping>>(
//       [](mcp::Request<mcp::Ping> request) -> boost::asio::awaitable<mcp::Response<mcp::Ping>> {
//           co_return mcp::makeResponse<mcp::Ping>(request.id, {});
//       });
//
// Errors: parameters that do not fit M fail handle() with their DecodingError before the handler
// runs; an error the handler throws leaves handle() unchanged (turning it into an error response
// is the server's business); an error response of the handler stays that error.
//
// The boxes hold no mutable state: any number of handle() calls may run at once, on any
// executor; the handler runs on the caller's coroutine.
#pragma once

#include <atomic>
#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "MCP/Messages/Message.h"
#include "MCP/Messages/Method.h"
#include "MCP/Messages/Request.h"
#include "MCP/Messages/Response.h"

namespace mcp {

class RequestHandlerBox {
public:
    virtual ~RequestHandlerBox() = default;
    virtual boost::asio::awaitable<Response<AnyMethod>> handle(Request<AnyMethod> request) = 0;

    // Runs the handler and gives the JSON text of its response (throws as handle(), and
    // EncodingError for a result JSON cannot carry). This one writes handle()'s response; a box
    // that knows its result type may write it without building a Value first.
    virtual boost::asio::awaitable<std::string> answer(Request<AnyMethod> request) {
        Response<AnyMethod> response = co_await handle(std::move(request));
        std::string text;
        response.appendJsonTo(text);
        co_return text;
    }
};

template <Method M>
class TypedRequestHandler final : public RequestHandlerBox {
public:
    using Handler = std::function<boost::asio::awaitable<Response<M>>(Request<M>)>;

    explicit TypedRequestHandler(Handler handler) : handle_(std::move(handler)) {}

    boost::asio::awaitable<Response<AnyMethod>> handle(Request<AnyMethod> request) override {
        Request<M> typed = Request<M>::fromAnyRequest(std::move(request));
        Response<M> response = co_await handle_(std::move(typed));
        co_return std::move(response).asAnyResponse();
    }

private:
    const Handler handle_;
};

class NotificationHandlerBox {
public:
    virtual ~NotificationHandlerBox() = default;
    // The base box does nothing.
    virtual boost::asio::awaitable<void> handle(Message<AnyNotification> message) {
        (void)message;
        co_return;
    }
};

template <Notification N>
class TypedNotificationHandler final : public NotificationHandlerBox {
public:
    using Handler = std::function<boost::asio::awaitable<void>(Message<N>)>;

    explicit TypedNotificationHandler(Handler handler) : handle_(std::move(handler)) {}

    boost::asio::awaitable<void> handle(Message<AnyNotification> message) override {
        Message<N> typed = Message<N>::fromAnyMessage(std::move(message));
        co_await handle_(std::move(typed));
    }

private:
    const Handler handle_;
};

// The handler tables of a server or a client: one request handler per method name (a later one
// replaces it) and a list of notification handlers per name, in registration order. Safe to use
// from any thread (a lock guards the tables; lookups hand out the boxes, shared).
// Hands `message` to each handler in turn. A handler that fails is described to `failed` and
// the later ones still run.
boost::asio::awaitable<void> runNotificationHandlers(
    const std::vector<std::shared_ptr<NotificationHandlerBox>>& handlers,
    const Message<AnyNotification>& message,
    const std::function<void(const std::string& description)>& failed);

class HandlerRegistry {
public:
    void setRequestHandler(std::string name, std::shared_ptr<RequestHandlerBox> box);
    void addNotificationHandler(std::string name, std::shared_ptr<NotificationHandlerBox> box);
    // nullptr when none is registered.
    std::shared_ptr<RequestHandlerBox> requestHandler(std::string_view name) const;
    // Changes whenever a request handler is registered: a lookup remembered together with it
    // holds while it stays the same.
    std::uint64_t requestHandlersVersion() const noexcept {
        return requestHandlersVersion_.load(std::memory_order_acquire);
    }
    std::vector<std::shared_ptr<NotificationHandlerBox>> notificationHandlers(
        std::string_view name) const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<RequestHandlerBox>> methodHandlers_;
    std::atomic<std::uint64_t> requestHandlersVersion_ = 0;
    std::unordered_map<std::string, std::vector<std::shared_ptr<NotificationHandlerBox>>>
        notificationHandlers_;
};

}  // namespace mcp
