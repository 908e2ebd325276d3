// ServerHandlerContext (Server::HandlerContext): what a request handler may learn about the
// request it serves (its id, and the HTTP request that carried it over an HTTP transport), and
// the executor that makes it readable through
// Server::currentHandlerContext() from inside the handler.
//
// The context rides on the handler's executor: HandlerContextExecutor runs work on the server's
// strand and binds the context around every piece of work it runs, so each step of the handler
// coroutine (and of the coroutines it starts on `co_await boost::asio::this_coro::executor`)
// sees it, on whatever thread the step runs. Code outside a handler sees none.
//
// Thread-safety: the context is a plain value; the executor is a value safe to copy and use from
// any thread, like the strand it runs on.
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

#include "MCP/Core/Actor.h"
#include "MCP/Core/HTTPRequest.h"
#include "MCP/Messages/ID.h"

namespace mcp {

struct ServerHandlerContext {
    // The identifier of the request being handled.
    ID id;
    // The HTTP request that carried it, when the server's transport supplies them (the HTTP
    // server transports); absent otherwise.
    std::optional<HTTPRequest> httpContext;
};

namespace detail {

// The context bound on this thread, or nullptr.
const ServerHandlerContext* boundHandlerContext() noexcept;

// Binds `context` on this thread until destroyed; scopes nest. The context is read through the
// pointer when asked for, so a change made meanwhile (a worker taking its next request) shows.
class HandlerContextScope {
public:
    explicit HandlerContextScope(const std::optional<ServerHandlerContext>* context) noexcept;
    ~HandlerContextScope();
    HandlerContextScope(const HandlerContextScope&) = delete;
    HandlerContextScope& operator=(const HandlerContextScope&) = delete;

private:
    const std::optional<ServerHandlerContext>* previous_;
};

// What every copy of one task's executor shares: the strand, the context (absent for the
// server's own tasks; a worker that serves one request after another changes it between them, on
// the strand) and a tracked copy of the strand, which keeps the execution context's work
// outstanding for as long as any copy of the executor exists.
struct HandlerBinding {
    HandlerBinding(const Strand& strand, std::optional<ServerHandlerContext> context)
        : strand(strand),
          context(std::move(context)),
          work(boost::asio::prefer(strand, boost::asio::execution::outstanding_work.tracked)) {}

    const Strand strand;
    std::optional<ServerHandlerContext> context;
    const std::decay_t<decltype(boost::asio::prefer(
        std::declval<const Strand&>(), boost::asio::execution::outstanding_work.tracked))>
        work;
};

// A shared binding and a blocking flag: small enough to sit inside any_io_executor without an
// allocation of its own, so that copying, requiring and preferring it on every step of a task
// costs a reference count, not a heap block. Preferences other than blocking are taken as they
// are: the binding already tracks work, and the strand decides the rest.
class HandlerContextExecutor {
public:
    explicit HandlerContextExecutor(std::shared_ptr<const HandlerBinding> binding,
                                    bool neverBlocks = false) noexcept
        : binding_(std::move(binding)), neverBlocks_(neverBlocks) {}

    boost::asio::execution_context& query(boost::asio::execution::context_t) const noexcept {
        return boost::asio::query(binding_->strand, boost::asio::execution::context);
    }
    boost::asio::execution::blocking_t query(boost::asio::execution::blocking_t) const noexcept {
        return neverBlocks_
                   ? boost::asio::execution::blocking_t(boost::asio::execution::blocking.never)
                   : boost::asio::execution::blocking_t(boost::asio::execution::blocking.possibly);
    }
    HandlerContextExecutor require(boost::asio::execution::blocking_t::never_t) const noexcept {
        return HandlerContextExecutor(binding_, true);
    }
    HandlerContextExecutor require(boost::asio::execution::blocking_t::possibly_t) const noexcept {
        return HandlerContextExecutor(binding_, false);
    }

    template <class Function>
    void execute(Function&& function) const {
        if (!neverBlocks_ && binding_->strand.running_in_this_thread()) {
            // What the strand itself does here (a hand-over between tasks of the server), without
            // first asking its polymorphic inner executor how it blocks, which allocates.
            HandlerContextScope scope(&binding_->context);
            std::forward<Function>(function)();
            return;
        }
        Bound<std::decay_t<Function>> bound{binding_, std::forward<Function>(function)};
        if (neverBlocks_) {
            boost::asio::require(binding_->strand, boost::asio::execution::blocking.never)
                .execute(std::move(bound));
        } else {
            binding_->strand.execute(std::move(bound));
        }
    }

    friend bool operator==(const HandlerContextExecutor& a,
                           const HandlerContextExecutor& b) noexcept {
        return a.binding_ == b.binding_ && a.neverBlocks_ == b.neverBlocks_;
    }

private:
    template <class Function>
    struct Bound {
        std::shared_ptr<const HandlerBinding> binding;
        Function function;
        void operator()() {
            HandlerContextScope scope(&binding->context);
            std::move(function)();
        }
    };

    std::shared_ptr<const HandlerBinding> binding_;
    bool neverBlocks_ = false;
};

// An executor on `strand` that binds `context` around all it runs (nothing when absent).
inline boost::asio::any_io_executor bindHandlerContext(
    const Strand& strand, std::optional<ServerHandlerContext> context) {
    return HandlerContextExecutor(
        std::make_shared<const HandlerBinding>(strand, std::move(context)));
}

}  // namespace detail
}  // namespace mcp
