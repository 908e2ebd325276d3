#include "MCP/Core/Handlers.h"

#include <exception>

#include "MCP/Core/detail/ErrorText.h"

namespace mcp {

boost::asio::awaitable<void> runNotificationHandlers(
    const std::vector<std::shared_ptr<NotificationHandlerBox>>& handlers,
    const Message<AnyNotification>& message,
    const std::function<void(const std::string& description)>& failed) {
    for (const auto& handler : handlers) {
        std::exception_ptr failure;
        try {
            co_await handler->handle(message);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            failed(detail::describeError(failure));
        }
    }
}

void HandlerRegistry::setRequestHandler(std::string name, std::shared_ptr<RequestHandlerBox> box) {
    std::lock_guard lock(mutex_);
    methodHandlers_.insert_or_assign(std::move(name), std::move(box));
    requestHandlersVersion_.fetch_add(1, std::memory_order_release);
}

void HandlerRegistry::addNotificationHandler(std::string name,
                                             std::shared_ptr<NotificationHandlerBox> box) {
    std::lock_guard lock(mutex_);
    notificationHandlers_[std::move(name)].push_back(std::move(box));
}

std::shared_ptr<RequestHandlerBox> HandlerRegistry::requestHandler(std::string_view name) const {
    std::lock_guard lock(mutex_);
    auto found = methodHandlers_.find(std::string(name));
    return found == methodHandlers_.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<NotificationHandlerBox>> HandlerRegistry::notificationHandlers(
    std::string_view name) const {
    std::lock_guard lock(mutex_);
    auto found = notificationHandlers_.find(std::string(name));
    return found == notificationHandlers_.end()
               ? std::vector<std::shared_ptr<NotificationHandlerBox>>{}
               : found->second;
}

}  // namespace mcp
