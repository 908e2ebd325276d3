// The task logger for Boost.Asio coroutines: a binding that follows a coroutine across suspension
// and threads, and that the child coroutines it starts inherit.
//
// The logger rides on the coroutine's executor. TaskLoggerExecutor wraps an executor and binds its
// logger (TaskLoggerScope) around every piece of work it runs, so each resumption of a
// coroutine spawned on it sees the logger in Logger::taskLogger(). A child spawned on
// `co_await asio::this_coro::executor` carries the same executor and so the same logger; a task
// spawned on an executor that carries no logger does not see it.
//
//     co_spawn(bindTaskLogger(io.get_executor(), logger), serve(), asio::detached);
//
//     asio::awaitable<void> serve() {
//         Metadata request{{"request", "7"}};  // g++ 12 takes no braced list inside a co_await
//         co_await withTaskLoggerMergingMetadataAsync(std::move(request),
//             [](const Logger&) -> asio::awaitable<void> {
//                 Logger::taskLogger().info("handled");  // carries request=7
//                 co_return;
//             });
//     }
//
// The async operations run the operation as a child coroutine on the bound executor and resume
// the caller with its result (or rethrow its exception) once it has ended; the caller's own
// binding is untouched. Cancellation of the caller reaches the child through co_spawn. To await a
// task bound to another logger, use them rather than co_spawn(bindTaskLogger(...),
// use_awaitable): Asio may resume the awaiting coroutine inline from the child's last step, where
// the child's binding is still in force.
//
// A task on an executor that carries no logger sees whatever binding is in force on its thread
// when it runs: normally none, so the default logger. But Asio may run a completion inline from
// inside a bound task's step (dispatch), and that code then runs under the bound task's binding.
// Start top-level tasks on bindCurrentTaskLogger(executor) (outside any binding it carries the
// default logger) so that every step of every task sets its own binding.
//
// Thread-safety: executors are values safe to copy and use from any thread (as the executor they
// wrap).
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/execution.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/require.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <concepts>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "Logging/Logger.h"

namespace logging {

// An executor that runs every function of the executor it wraps with `logger` bound as the task
// logger. Properties are queried, required and preferred through the wrapped executor.
template <class Inner>
class TaskLoggerExecutor {
public:
    TaskLoggerExecutor(Inner inner, Logger logger) noexcept
        : inner_(std::move(inner)), logger_(std::move(logger)) {}

    const Inner& inner() const noexcept { return inner_; }
    const Logger& logger() const noexcept { return logger_; }

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
        return TaskLoggerExecutor<Required>(boost::asio::require(inner_, property), logger_);
    }

    template <class Property>
    requires boost::asio::can_prefer<const Inner&, const Property&>::value auto prefer(
        const Property& property) const {
        using Preferred = std::decay_t<decltype(boost::asio::prefer(inner_, property))>;
        return TaskLoggerExecutor<Preferred>(boost::asio::prefer(inner_, property), logger_);
    }

    template <class Function>
    void execute(Function&& function) const {
        inner_.execute(Bound<std::decay_t<Function>>{logger_, std::forward<Function>(function)});
    }

    friend bool operator==(const TaskLoggerExecutor& a, const TaskLoggerExecutor& b) noexcept {
        return a.inner_ == b.inner_ && a.logger_.sameStorage(b.logger_);
    }

private:
    template <class Function>
    struct Bound {
        Logger logger;
        Function function;
        void operator()() {
            TaskLoggerScope scope(std::move(logger));
            std::move(function)();
        }
    };

    Inner inner_;
    Logger logger_;
};

// `executor` with `logger` bound; an executor that already carries a logger has it replaced.
inline boost::asio::any_io_executor bindTaskLogger(const boost::asio::any_io_executor& executor,
                                                   Logger logger) {
    using Bound = TaskLoggerExecutor<boost::asio::any_io_executor>;
    if (const Bound* bound = executor.target<Bound>()) {
        return Bound(bound->inner(), std::move(logger));
    }
    return Bound(executor, std::move(logger));
}

// `executor` with the calling code's current task logger bound, for starting child tasks from
// synchronous code.
inline boost::asio::any_io_executor bindCurrentTaskLogger(
    const boost::asio::any_io_executor& executor) {
    return bindTaskLogger(executor, Logger::taskLogger());
}

// The coroutine form of Logger::withTaskLogger: runs `operation(logger)`, which returns an
// awaitable, with `logger` as the task logger of it and of the children it starts.
//
// The caller resumes through its own executor on a fresh stack, never inline from inside the
// child's last step: there the child's binding would still be in force.
template <class Operation>
requires std::invocable<Operation&, const Logger&> std::invoke_result_t<Operation&, const Logger&>
withTaskLoggerAsync(Logger logger, Operation operation) {
    using Value = typename std::invoke_result_t<Operation&, const Logger&>::value_type;
    const auto executor = co_await boost::asio::this_coro::executor;
    std::exception_ptr failure;
    if constexpr (std::is_void_v<Value>) {
        try {
            co_await boost::asio::co_spawn(bindTaskLogger(executor, logger), operation(logger),
                                           boost::asio::use_awaitable);
        } catch (...) {
            failure = std::current_exception();
        }
        co_await boost::asio::post(executor, boost::asio::use_awaitable);
        if (failure) {
            std::rethrow_exception(failure);
        }
    } else {
        std::optional<Value> result;
        try {
            result.emplace(co_await boost::asio::co_spawn(
                bindTaskLogger(executor, logger), operation(logger), boost::asio::use_awaitable));
        } catch (...) {
            failure = std::current_exception();
        }
        co_await boost::asio::post(executor, boost::asio::use_awaitable);
        if (failure) {
            std::rethrow_exception(failure);
        }
        co_return std::move(*result);
    }
}

// The coroutine form of Logger::withTaskLoggerMergingMetadata.
template <class Operation>
requires std::invocable<Operation&, const Logger&> std::invoke_result_t<Operation&, const Logger&>
withTaskLoggerMergingMetadataAsync(Metadata metadata, Operation operation) {
    return withTaskLoggerAsync(Logger::taskLoggerMergingMetadata(metadata), std::move(operation));
}

// The coroutine form of Logger::withTaskLogger with overrides.
template <class Operation>
requires std::invocable<Operation&, const Logger&> std::invoke_result_t<Operation&, const Logger&>
withTaskLoggerAsync(std::optional<Level> logLevel, std::unique_ptr<LogHandler> handler,
                    std::optional<Metadata> metadata, Operation operation) {
    return withTaskLoggerAsync(
        Logger::taskLoggerWith(logLevel, std::move(handler), std::move(metadata)),
        std::move(operation));
}

}  // namespace logging
