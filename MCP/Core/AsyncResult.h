// AsyncResult<T>: a value or an error produced once, later, by someone else, and delivered to
// every coroutine that awaits it. AsyncResultSource<T> is the producing side.
//
//   auto [source, result] = mcp::AsyncResult<int>::make();
//   co_spawn(ex, [result]() -> awaitable<void> { int v = co_await result.value(); }, detached);
//   source.setValue(42);   // from any thread
//
// Thread-safety: both handles may be copied and used from any thread. Awaiters resume on their
// own executor, never inside setValue/setError. Cancelling an awaiting coroutine (Asio
// cancellation slot) ends only that wait, with boost::asio::error::operation_aborted; the result
// stays available to others. When every copy of the source is gone without a result, awaiters
// fail with AbandonedResultError instead of waiting forever.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "MCP/Core/detail/AsyncWaiter.h"

namespace mcp {

// The failure of awaiting a result whose producer went away without producing it.
class AbandonedResultError : public std::runtime_error {
public:
    AbandonedResultError()
        : std::runtime_error("The operation ended before it produced a result.") {}
};

namespace detail {

template <class T>
class OneShotState : public std::enable_shared_from_this<OneShotState<T>> {
public:
    // Stores the outcome and wakes every waiter; false when an outcome was already stored.
    bool complete(std::exception_ptr error, std::optional<T> value) {
        std::list<Waiter<T>> waiters;
        {
            std::lock_guard lock(mutex_);
            if (done_) {
                return false;
            }
            done_ = true;
            error_ = error;
            value_ = std::move(value);
            waiters.swap(waiters_);
        }
        // Copies go out first so that a taking awaiter cannot leave them empty-handed.
        waiters.sort([](const Waiter<T>& a, const Waiter<T>& b) { return !a.takes && b.takes; });
        for (auto& waiter : waiters) {
            std::unique_lock lock(mutex_);
            auto outcome = waiter.takes ? takeValue() : copyValue();
            lock.unlock();
            std::move(waiter).complete(error, std::move(outcome));
        }
        return true;
    }

    bool isDone() const {
        std::lock_guard lock(mutex_);
        return done_;
    }

    // Awaits the outcome. With `take`, the value is moved out (only one awaiter may take).
    boost::asio::awaitable<T> wait(bool take) {
        std::uint64_t id = 0;
        {
            std::lock_guard lock(mutex_);
            id = nextId_++;
        }
        std::weak_ptr<OneShotState> weak = this->weak_from_this();
        auto self = this->shared_from_this();
        auto registerWaiter = [self, take](Waiter<T>&& waiter) {
            waiter.takes = take;
            std::unique_lock lock(self->mutex_);
            if (!self->done_) {
                self->waiters_.push_back(std::move(waiter));
                return;
            }
            auto value = take ? self->takeValue() : self->copyValue();
            auto error = self->error_;
            lock.unlock();
            std::move(waiter).complete(error, std::move(value));
        };
        auto cancel = [weak](std::uint64_t cancelled) {
            if (auto state = weak.lock()) {
                state->cancelWaiter(cancelled);
            }
        };
        auto value = co_await suspend<T>(id, registerWaiter, cancel);
        if (!value) {
            throw std::logic_error("The result was already taken by another awaiter.");
        }
        co_return std::move(*value);
    }

private:
    std::optional<T> copyValue() const { return value_; }
    std::optional<T> takeValue() {
        auto value = std::move(value_);
        value_.reset();
        return value;
    }

    void cancelWaiter(std::uint64_t id) {
        std::unique_lock lock(mutex_);
        for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
            if (it->id == id) {
                auto waiter = std::move(*it);  // list::erase moves nothing else
                waiters_.erase(it);
                lock.unlock();
                std::move(waiter).complete(operationAborted(), std::nullopt);
                return;
            }
        }
    }

    mutable std::mutex mutex_;
    bool done_ = false;
    std::exception_ptr error_;
    std::optional<T> value_;
    std::list<Waiter<T>> waiters_;
    std::uint64_t nextId_ = 0;
};

// Owned by every copy of a producing handle; the last one gone fails an unfinished result.
template <class T>
struct OneShotProducer {
    explicit OneShotProducer(std::shared_ptr<OneShotState<T>> state) : state(std::move(state)) {}
    OneShotProducer(const OneShotProducer&) = delete;
    OneShotProducer& operator=(const OneShotProducer&) = delete;
    std::shared_ptr<OneShotState<T>> state;
    ~OneShotProducer() {
        if (state) {
            state->complete(std::make_exception_ptr(AbandonedResultError()), std::nullopt);
        }
    }
};

}  // namespace detail

template <class T>
class AsyncResultSource;

template <class T>
class AsyncResult {
public:
    // A connected source and result.
    static std::pair<AsyncResultSource<T>, AsyncResult<T>> make();

    // A result whose producer is gone already: awaiting it fails with AbandonedResultError.
    // (Asio wants the result of a failed co_spawn to be default-constructible.)
    AsyncResult() : AsyncResult(make().second) {}

    // Suspends until the result is produced, then gives a copy of the value or throws the
    // error. Completes at once when the result is already there.
    boost::asio::awaitable<T> value() const { return state_->wait(false); }
    // As value(), but moves the value out instead of copying it: for the one awaiter that owns
    // the result. A later value() or take() then fails with std::logic_error.
    boost::asio::awaitable<T> take() const { return state_->wait(true); }

    bool isReady() const { return state_->isDone(); }

private:
    friend class AsyncResultSource<T>;
    explicit AsyncResult(std::shared_ptr<detail::OneShotState<T>> state)
        : state_(std::move(state)) {}
    std::shared_ptr<detail::OneShotState<T>> state_;
};

template <class T>
class AsyncResultSource {
public:
    // Each produces the result; only the first call of either counts (the others give false).
    bool setValue(T value) const { return producer_->state->complete(nullptr, std::move(value)); }
    bool setError(std::exception_ptr error) const {
        return producer_->state->complete(error, std::nullopt);
    }

private:
    friend class AsyncResult<T>;
    explicit AsyncResultSource(std::shared_ptr<detail::OneShotState<T>> state)
        : producer_(std::make_shared<detail::OneShotProducer<T>>(std::move(state))) {}
    std::shared_ptr<detail::OneShotProducer<T>> producer_;
};

template <class T>
std::pair<AsyncResultSource<T>, AsyncResult<T>> AsyncResult<T>::make() {
    auto state = std::make_shared<detail::OneShotState<T>>();
    return {AsyncResultSource<T>(state), AsyncResult<T>(state)};
}

}  // namespace mcp
