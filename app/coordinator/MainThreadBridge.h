// MainThreadBridge: the one way work crosses between Asio threads and the Qt main thread
// (the thread of the QCoreApplication, where the export coordinator, the folder store and
// the windows live).
//
// `postToMainThread` queues a function on the Qt main thread's event loop (from any thread;
// it always runs later, never inside the call). `asyncRunOnMainThread` is an Asio initiating
// function: it runs a function on the Qt main thread and completes with its result on the
// caller's executor (the handler's associated executor), so a coroutine on a strand resumes on
// that strand: `auto x = co_await asyncRunOnMainThread([&]{ ... }, asio::use_awaitable);`.
// The function's result must be movable; a function returning void completes with no value.
// It is not cancellable: once posted it runs.
//
// Lifetimes: the function and the handler are kept until the handler is called. If the Qt
// application is gone (or goes away before the posted work runs) the work never runs and the
// handler is destroyed without being called.
#pragma once

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace fw {

// Queues `work` on the Qt main thread. Returns false (and drops `work`) when there is no
// Qt application. Any thread.
bool postToMainThread(std::function<void()> work);

namespace detail {

template <class Result>
struct MainThreadSignature {
    using type = void(Result);
};
template <>
struct MainThreadSignature<void> {
    using type = void();
};

}  // namespace detail

template <class Function, class CompletionToken>
auto asyncRunOnMainThread(Function function, CompletionToken&& token) {
    using Result = std::invoke_result_t<Function&>;
    using Signature = typename detail::MainThreadSignature<Result>::type;
    return boost::asio::async_initiate<CompletionToken, Signature>(
        [](auto handler, Function function) {
            using Handler = std::decay_t<decltype(handler)>;
            // Keeps the handler's executor busy (outstanding work) until it resumes.
            auto work = boost::asio::prefer(boost::asio::get_associated_executor(handler),
                                            boost::asio::execution::outstanding_work.tracked);
            auto state = std::make_shared<std::pair<Handler, Function>>(std::move(handler),
                                                                        std::move(function));
            postToMainThread([state, work = std::move(work)]() mutable {
                auto& [handler, function] = *state;
                if constexpr (std::is_void_v<Result>) {
                    function();
                    boost::asio::post(work, [state] { std::move(state->first)(); });
                } else {
                    boost::asio::post(work, [state, result = function()]() mutable {
                        std::move(state->first)(std::move(result));
                    });
                }
            });
        },
        token, std::move(function));
}

}  // namespace fw
