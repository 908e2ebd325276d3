// RequestContext<T>: the handle the client gives back for a request it has sent: the identifier
// the request went out with and the shared result of the request's task. Any number of
// coroutines may await value(); each receives the one result (a copy) or the one error.
//
// A coroutine that stops waiting (its Asio cancellation slot fires while it awaits value())
// withdraws the request, as Client::cancelRequest does: the request's waiters fail with
// CancellationError and the server is told with "notifications/cancelled". The awaiter itself
// gets boost::asio::error::operation_aborted. Awaiting requestTask directly never withdraws.
//
// Copying shares the result. Safe to use from any thread; awaiters resume on their own executor.
#pragma once

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <functional>
#include <stdexcept>
#include <utility>

#include "MCP/Core/AsyncResult.h"
#include "MCP/Messages/ID.h"

namespace mcp {

// The failure of a request that the caller withdrew before its answer came
// (Client::cancelRequest, a cancelled awaiter).
class CancellationError : public std::runtime_error {
public:
    CancellationError() : std::runtime_error("The request was cancelled.") {}
};

template <class T>
struct RequestContext {
    ID requestID;
    AsyncResult<T> requestTask;
    // Withdraws the request; empty for a context that cannot (then cancelling only ends the wait).
    std::function<void()> withdraw{};

    // Suspends until the request's task has finished; its result, or its error thrown.
    boost::asio::awaitable<T> value() const {
        try {
            co_return co_await requestTask.value();
        } catch (const boost::system::system_error& error) {
            // Only this wait was cancelled when the result is not there yet.
            if (error.code() != boost::asio::error::operation_aborted || requestTask.isReady() ||
                !withdraw) {
                throw;
            }
        }
        withdraw();
        throw boost::system::system_error(boost::asio::error::operation_aborted);
    }
};

}  // namespace mcp
