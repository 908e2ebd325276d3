// ServerHandlerContext (Server::HandlerContext): what a request handler may learn about the
// request it serves, and the executor that makes it readable through
// Server::currentHandlerContext() from inside the handler.
//
// The context rides on the handler's executor: HandlerContextExecutor wraps an executor and binds
// the context around every piece of work it runs, so each step of the handler coroutine (and of
// the coroutines it starts on `co_await boost::asio::this_coro::executor`) sees it, on whatever
// thread the step runs. Code outside a handler sees none.
//
// Thread-safety: the context is a plain value; the executor is a value safe to copy and use from
// any thread, like the executor it wraps.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/execution.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/require.hpp>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "MCP/ID.h"

namespace mcp {

struct ServerHandlerContext {
    // The identifier of the request being handled.
    ID id;
};

namespace detail {

// The context bound on this thread, or nullptr.
const ServerHandlerContext* boundHandlerContext() noexcept;

// Binds `context` on this thread until destroyed; scopes nest.
class HandlerContextScope {
public:
    explicit HandlerContextScope(const ServerHandlerContext* context) noexcept;
    ~HandlerContextScope();
    HandlerContextScope(const HandlerContextScope&) = delete;
    HandlerContextScope& operator=(const HandlerContextScope&) = delete;

private:
    const ServerHandlerContext* previous_;
};

template <class Inner>
class HandlerContextExecutor {
public:
    HandlerContextExecutor(Inner inner,
                           std::shared_ptr<const ServerHandlerContext> context) noexcept
        : inner_(std::move(inner)), context_(std::move(context)) {}

    template <class Property>
    requires boost::asio::can_query<const Inner&, const Property&>::value decltype(auto) query(
        const Property& property) const
        noexcept(boost::asio::is_nothrow_query<const Inner&, const Property&>::value) {
        return boost::asio::query(inner_, property);
    }

    template <class Property>
    requires boost::asio::can_require<const Inner&, const Property&>::value auto require(
        const Property& property) const {
        using Required = std::decay_t<decltype(boost::asio::require(inner_, property))>;
        return HandlerContextExecutor<Required>(boost::asio::require(inner_, property), context_);
    }

    template <class Property>
    requires boost::asio::can_prefer<const Inner&, const Property&>::value auto prefer(
        const Property& property) const {
        using Preferred = std::decay_t<decltype(boost::asio::prefer(inner_, property))>;
        return HandlerContextExecutor<Preferred>(boost::asio::prefer(inner_, property), context_);
    }

    template <class Function>
    void execute(Function&& function) const {
        inner_.execute(Bound<std::decay_t<Function>>{context_, std::forward<Function>(function)});
    }

    friend bool operator==(const HandlerContextExecutor& a,
                           const HandlerContextExecutor& b) noexcept {
        return a.inner_ == b.inner_ && a.context_ == b.context_;
    }

private:
    template <class Function>
    struct Bound {
        std::shared_ptr<const ServerHandlerContext> context;
        Function function;
        void operator()() {
            HandlerContextScope scope(context.get());
            std::move(function)();
        }
    };

    template <class>
    friend class HandlerContextExecutor;

    Inner inner_;
    std::shared_ptr<const ServerHandlerContext> context_;
};

// Wraps the executor as it is (a strand stays a strand inside), so that its work passes through
// one type erasure, not two.
template <class Executor>
boost::asio::any_io_executor bindHandlerContext(Executor executor, ServerHandlerContext context) {
    return HandlerContextExecutor<Executor>(
        std::move(executor), std::make_shared<const ServerHandlerContext>(std::move(context)));
}

}  // namespace detail
}  // namespace mcp
