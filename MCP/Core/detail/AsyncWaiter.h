// One coroutine suspended until another party hands it an outcome: the building block of
// AsyncResult, PendingRequest and AsyncStream. Internal to the MCP library.
//
// Thread-safety: a Waiter is owned by the structure that registered it and completed under
// that structure's lock decisions; completion itself posts to the waiter's own executor, so
// the suspended coroutine never resumes inside the completer's call stack.
#pragma once

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/execution/blocking.hpp>
#include <boost/asio/require.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

#include "MCP/Core/Actor.h"

namespace mcp::detail {

template <class T>
using OutcomeSignature = void(std::exception_ptr, std::optional<T>);

// The completion handler of a coroutine suspended on an outcome, as Asio's use_awaitable makes
// it: kept as it is, so that suspending and resuming allocate nothing beyond Asio's own
// recycled operation memory.
template <class T>
using OutcomeHandler = typename boost::asio::async_result<boost::asio::use_awaitable_t<>,
                                                          OutcomeSignature<T>>::handler_type;

// A suspended coroutine and the id it was registered under. Move-constructible only.
template <class T>
struct Waiter {
    Waiter(std::uint64_t id, OutcomeHandler<T> handler) : id(id), handler(std::move(handler)) {}
    Waiter(Waiter&&) = default;
    Waiter& operator=(Waiter&&) = delete;

    std::uint64_t id = 0;
    bool takes = false;  // moves the value out instead of copying it
    OutcomeHandler<T> handler;

    // Resumes the coroutine on its own executor with `error` or `value`.
    void complete(std::exception_ptr error, std::optional<T>&& value) && {
        // What post() does, less the preferences that change nothing for a resumption.
        const auto& executor = boost::asio::get_associated_executor(handler);
        if (const Strand* strand = executor.template target<Strand>()) {
            // An actor's strand is too big to sit inside the polymorphic executor: requiring it
            // there would copy it to the heap for this one resumption.
            boost::asio::require(*strand, boost::asio::execution::blocking.never)
                .execute(std::move(*this).resumption(error, std::move(value)));
            return;
        }
        boost::asio::require(executor, boost::asio::execution::blocking.never)
            .execute(std::move(*this).resumption(error, std::move(value)));
    }
    // As complete(), but resumes the coroutine before returning when the caller already runs on
    // the coroutine's executor (a strand both share): for hand-overs between tasks of one actor.
    void completeHere(std::exception_ptr error, std::optional<T>&& value) && {
        auto executor = boost::asio::get_associated_executor(handler);
        boost::asio::dispatch(executor, std::move(*this).resumption(error, std::move(value)));
    }

private:
    auto resumption(std::exception_ptr error, std::optional<T>&& value) && {
        return [handler = std::move(handler), error, value = std::move(value)]() mutable {
            // The cancellation handler installed at suspension has nothing left to cancel.
            auto slot = boost::asio::get_associated_cancellation_slot(handler);
            if (slot.is_connected()) {
                slot.clear();
            }
            std::move(handler)(error, std::move(value));
        };
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
// with operationAborted(). The result is the value handed over (absent when none was); an
// error handed over is thrown.
//
// Not a coroutine itself: the awaitable it returns is the suspension, so waiting costs no
// coroutine frame of its own. Both callables are kept by value until the suspension begins.
template <class T, class Register, class Cancel>
boost::asio::awaitable<std::optional<T>> suspend(std::uint64_t id, Register registerWaiter,
                                                 Cancel cancel) {
    auto initiation = [id, registerWaiter = std::move(registerWaiter),
                       cancel = std::move(cancel)](OutcomeHandler<T> handler) mutable {
        auto slot = boost::asio::get_associated_cancellation_slot(handler);
        if (slot.is_connected()) {
            slot.assign(
                [cancel = std::move(cancel), id](boost::asio::cancellation_type) { cancel(id); });
        }
        registerWaiter(Waiter<T>(id, std::move(handler)));
    };
    return boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&, OutcomeSignature<T>>(
        std::move(initiation), boost::asio::use_awaitable);
}

}  // namespace mcp::detail
