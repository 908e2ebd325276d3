// AsyncStream<T>: an unbounded queue of elements with an awaitable next(), ended normally or by
// an error. The producing side (AsyncStream<T>::Source) may push from any thread; the one
// consumer awaits the elements in order. Transports hand their received messages to the server
// and the client through it.
//
//   auto [stream, source] = mcp::AsyncStream<std::string>::make();
//   source.yield("one");                       // any thread, never blocks
//   source.finish();                           // or source.finish(std::make_exception_ptr(...))
//   while (auto element = co_await stream.next()) { use(*element); }
//
// next() gives the next element, or nullopt once the stream has finished and every element
// before the end has been taken; when the stream was finished with an error, that error is
// thrown instead, once, after the buffered elements. Only one next() may be pending at a time
// (a second one fails with std::logic_error). Cancelling the awaiting coroutine through its
// Asio cancellation slot ends that next() with boost::asio::error::operation_aborted and loses
// no element. When every copy of the source is gone the stream finishes; when the stream is
// destroyed, yield() answers false from then on.
//
// Thread-safety: the source may be copied and used from any thread; the stream is move-only and
// used by one coroutine at a time. The consumer resumes on its own executor, never inside yield()
// (yieldHere() may resume it before returning, through that executor's dispatch).
#pragma once

#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "MCP/Core/detail/AsyncWaiter.h"

namespace mcp {

template <class T>
class AsyncStream {
    struct State;

public:
    class Source {
    public:
        // Appends an element; false (and nothing happens) once the stream has finished or
        // its consumer is gone.
        bool yield(T element) const { return control_->state->push(std::move(element)); }
        // Ends the stream after the elements already pushed; later calls do nothing.
        void finish() const { control_->state->end(nullptr); }
        void finish(std::exception_ptr error) const { control_->state->end(error); }
        // As yield(), but a consumer already waiting is resumed before this returns when its
        // executor allows it (as boost::asio::dispatch does): for a producer that runs on the
        // consumer's own execution context and wants to spare it a round through the queue.
        bool yieldHere(T element) const { return control_->state->push(std::move(element), true); }
        // Flow control for a producer that must not run far ahead of its consumer: the elements
        // pushed and not yet taken.
        std::size_t buffered() const { return control_->state->size(); }
        // Calls `resume` once, outside the stream's lock, as soon as fewer than `count` elements
        // wait or the stream can take no more (finished, consumer gone): before returning when
        // that holds already, else from the next() that takes an element. Replaces a callback
        // not yet called.
        void whenFewerThan(std::size_t count, std::function<void()> resume) const {
            control_->state->whenFewerThan(count, std::move(resume));
        }
        // Calls `gone` once when the stream is destroyed (its consumer went away), outside the
        // stream's lock: at once when that happened already. Replaces a callback not yet called.
        void onConsumerGone(std::function<void()> gone) const {
            control_->state->onConsumerGone(std::move(gone));
        }

    private:
        friend class AsyncStream;
        struct Control {
            explicit Control(std::shared_ptr<State> state) : state(std::move(state)) {}
            Control(const Control&) = delete;
            Control& operator=(const Control&) = delete;
            ~Control() { state->end(nullptr); }
            std::shared_ptr<State> state;
        };
        explicit Source(std::shared_ptr<State> state)
            : control_(std::make_shared<Control>(std::move(state))) {}
        std::shared_ptr<Control> control_;
    };

    static std::pair<AsyncStream, Source> make() {
        auto state = std::make_shared<State>();
        return {AsyncStream(state), Source(state)};
    }

    // Hands out the stream held in `slot` and empties it; when it is empty (the stream was
    // handed out before), a stream that has already ended. For a transport's receive(), whose
    // one stream goes to the first caller only.
    static AsyncStream takeOnce(std::optional<AsyncStream>& slot) {
        if (slot) {
            AsyncStream stream = std::move(*slot);
            slot.reset();
            return stream;
        }
        auto [ended, source] = make();
        source.finish();
        return std::move(ended);
    }

    AsyncStream(AsyncStream&&) noexcept = default;
    AsyncStream& operator=(AsyncStream&& other) noexcept {
        if (this != &other) {
            detach();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    AsyncStream(const AsyncStream&) = delete;
    AsyncStream& operator=(const AsyncStream&) = delete;
    ~AsyncStream() { detach(); }

    // The next element; nullopt at the end; throws the error the stream finished with.
    // Not a coroutine itself: the suspension holds the state alive while it waits.
    boost::asio::awaitable<std::optional<T>> next() {
        if (!state_) {
            throw std::logic_error("The stream was moved away.");
        }
        return state_->next();
    }

private:
    struct State : std::enable_shared_from_this<State> {
        bool push(T element, bool here = false) {
            std::unique_lock lock(mutex);
            if (finished || consumerGone) {
                return false;
            }
            if (waiter) {
                auto waiting = std::move(*waiter);
                waiter.reset();
                lock.unlock();
                if (here) {
                    std::move(waiting).completeHere(nullptr, std::optional<T>(std::move(element)));
                } else {
                    std::move(waiting).complete(nullptr, std::optional<T>(std::move(element)));
                }
                return true;
            }
            buffer.push_back(std::move(element));
            return true;
        }

        void end(std::exception_ptr endError) {
            std::unique_lock lock(mutex);
            if (finished) {
                return;
            }
            finished = true;
            error = endError;
            auto resume = std::exchange(resumer, nullptr);
            if (waiter) {
                auto waiting = std::move(*waiter);
                waiter.reset();
                auto thrown = std::exchange(error, nullptr);
                lock.unlock();
                std::move(waiting).complete(thrown, std::nullopt);
            } else {
                lock.unlock();
            }
            if (resume) {
                resume();
            }
        }

        void onConsumerGone(std::function<void()> gone) {
            std::unique_lock lock(mutex);
            if (consumerGone) {
                lock.unlock();
                gone();
                return;
            }
            goneCallback = std::move(gone);
        }

        std::size_t size() {
            std::lock_guard lock(mutex);
            return buffer.size();
        }

        void whenFewerThan(std::size_t count, std::function<void()> resume) {
            std::unique_lock lock(mutex);
            if (buffer.size() < count || finished || consumerGone) {
                resumer = nullptr;
                lock.unlock();
                resume();
                return;
            }
            resumeBelow = count;
            resumer = std::move(resume);
        }

        // Not a coroutine: the suspension itself is the awaitable, and the callables it keeps
        // hold the state alive while it waits.
        boost::asio::awaitable<std::optional<T>> next() {
            // Only the one consumer calls next(), so the count needs no lock; everything else is
            // decided under the one lock the registration takes.
            const std::uint64_t id = ++lastWaiterId;
            auto registerWaiter = [self = this->shared_from_this()](detail::Waiter<T>&& waiting) {
                std::unique_lock lock(self->mutex);
                if (self->waiter) {
                    lock.unlock();
                    std::move(waiting).complete(
                        std::make_exception_ptr(
                            std::logic_error("Only one next() may wait on a stream at a time.")),
                        std::nullopt);
                } else if (!self->buffer.empty()) {
                    std::optional<T> element(std::move(self->buffer.front()));
                    self->buffer.pop_front();
                    std::function<void()> resume;
                    if (self->resumer && self->buffer.size() < self->resumeBelow) {
                        resume = std::exchange(self->resumer, nullptr);
                    }
                    lock.unlock();
                    std::move(waiting).complete(nullptr, std::move(element));
                    if (resume) {
                        resume();
                    }
                } else if (self->finished) {
                    auto thrown = std::exchange(self->error, nullptr);
                    lock.unlock();
                    std::move(waiting).complete(thrown, std::nullopt);
                } else {
                    self->waiter.emplace(std::move(waiting));
                }
            };
            auto cancel = [weak = this->weak_from_this()](std::uint64_t cancelled) {
                auto state = weak.lock();
                if (!state) {
                    return;
                }
                std::unique_lock lock(state->mutex);
                if (state->waiter && state->waiter->id == cancelled) {
                    auto waiting = std::move(*state->waiter);
                    state->waiter.reset();
                    lock.unlock();
                    std::move(waiting).complete(detail::operationAborted(), std::nullopt);
                }
            };
            return detail::suspend<T>(id, std::move(registerWaiter), std::move(cancel));
        }

        std::mutex mutex;
        std::deque<T> buffer;
        bool finished = false;
        bool consumerGone = false;
        std::exception_ptr error;
        std::optional<detail::Waiter<T>> waiter;
        std::uint64_t lastWaiterId = 0;  // the consumer's only
        std::function<void()> resumer;   // the producer's, while it waits for room
        std::function<void()> goneCallback;
        std::size_t resumeBelow = 0;
    };

    explicit AsyncStream(std::shared_ptr<State> state) : state_(std::move(state)) {}

    void detach() {
        if (state_) {
            std::unique_lock lock(state_->mutex);
            state_->consumerGone = true;
            state_->buffer.clear();
            auto resume = std::exchange(state_->resumer, nullptr);
            auto gone = std::exchange(state_->goneCallback, nullptr);
            lock.unlock();
            if (resume) {
                resume();
            }
            if (gone) {
                gone();
            }
        }
    }

    std::shared_ptr<State> state_;
};

}  // namespace mcp
