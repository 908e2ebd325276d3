// One coroutine suspended until another party hands it an outcome: the building block of
// AsyncResult, PendingRequest and AsyncStream. Internal to the MCP library.
//
// Thread-safety: a Waiter is owned by the structure that registered it and completed under
// that structure's lock decisions; completion itself posts to the waiter's own executor, so
// the suspended coroutine never resumes inside the completer's call stack.
#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <utility>

namespace mcp::detail {

template <class T>
using OutcomeSignature = void(std::exception_ptr, std::optional<T>);

template <class T>
using OutcomeHandler = boost::asio::any_completion_handler<OutcomeSignature<T>>;

// A suspended coroutine, its executor and the cancellation slot it listens on.
// Move-constructible only: Boost 1.81's any_completion_handler has no usable move assignment
// (assigning one wraps it inside another), so waiters are never assigned.
template <class T>
struct Waiter {
    Waiter(std::uint64_t id, boost::asio::any_io_executor executor,
           boost::asio::cancellation_slot slot, OutcomeHandler<T> handler)
        : id(id), executor(std::move(executor)), slot(slot), handler(std::move(handler)) {}
    Waiter(Waiter&&) = default;
    Waiter& operator=(Waiter&&) = delete;

    std::uint64_t id = 0;
    bool takes = false;  // moves the value out instead of copying it
    boost::asio::any_io_executor executor;
    boost::asio::cancellation_slot slot;
    OutcomeHandler<T> handler;

    // Resumes the coroutine on its own executor with `error` or `value`.
    void complete(std::exception_ptr error, std::optional<T> value) && {
        boost::asio::post(executor, [slot = slot, handler = std::move(handler), error,
                                     value = std::move(value)]() mutable {
            if (slot.is_connected()) {
                slot.clear();
            }
            std::move(handler)(error, std::move(value));
        });
    }
};

inline std::exception_ptr operationAborted() {
    return std::make_exception_ptr(
        boost::system::system_error(boost::asio::error::operation_aborted));
}

// Suspends the calling coroutine until its waiter is completed. `registerWaiter(Waiter<T>&&)`
// is called once, synchronously, with a waiter carrying `id`; it either completes the waiter
// at once or keeps it. When the coroutine is cancelled through its cancellation slot,
// `cancel(id)` runs: it must remove the waiter with that id, if still kept, and complete it
// with operationAborted(). The result is the value handed over; an error handed over is thrown.
template <class T, class Register, class Cancel>
boost::asio::awaitable<std::optional<T>> suspend(std::uint64_t id, Register registerWaiter,
                                                 Cancel cancel) {
    auto executor = co_await boost::asio::this_coro::executor;
    auto initiation = [&](auto handler) {
        // The type-erased handler installs its own cancellation state on the coroutine's slot,
        // so the cancellation handler goes onto the erased handler's slot, after wrapping.
        OutcomeHandler<T> erased(std::move(handler));
        auto slot = erased.get_cancellation_slot();
        if (slot.is_connected()) {
            slot.assign(
                [cancel = std::move(cancel), id](boost::asio::cancellation_type) { cancel(id); });
        }
        registerWaiter(Waiter<T>(id, executor, slot, std::move(erased)));
    };
    co_return co_await boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&,
                                                   OutcomeSignature<T>>(initiation,
                                                                        boost::asio::use_awaitable);
}

}  // namespace mcp::detail
