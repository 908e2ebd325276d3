// RequestContext<T>: the handle the client gives back for a request it has sent: the identifier
// the request went out with and the shared result of the request's task. Any number of
// coroutines may await value(); each receives the one result (a copy) or the one error.
// Awaiting never cancels the request.
//
// Copying shares the result. Safe to use from any thread; awaiters resume on their own executor.
#pragma once

#include <utility>

#include "MCP/AsyncResult.h"
#include "MCP/ID.h"

namespace mcp {

template <class T>
struct RequestContext {
    ID requestID;
    AsyncResult<T> requestTask;

    // Suspends until the request's task has finished; its result, or its error thrown.
    boost::asio::awaitable<T> value() const { return requestTask.value(); }
};

}  // namespace mcp
