// PendingRequest<T>: a request that was sent and waits for its response, as seen by the caller
// awaiting a T. AnyPendingRequest is its type-erased form, kept in the server's and the client's
// tables keyed by ID, which resumes the typed caller with whatever outcome arrives.
//
// The table's entry and the caller's handle are separate owners: the PendingRequest goes into the
// table, and the caller keeps only result(), which does not keep the request alive. An entry that
// is dropped without a resumption (taken out and forgotten, or its table destroyed) therefore
// fails its caller with AbandonedResultError instead of leaving it waiting for ever. The entry
// moves and is never copied: it is the request's one producer.
//
// PendingCall<T> (below) is the lighter form for a request that exactly one caller awaits: one
// allocation for the outcome and the caller's suspension, the value moved to the caller.
//
//   mcp::PendingRequest<Initialize::Result> pending;
//   mcp::AsyncResult<Initialize::Result> answer = pending.result();   // the caller's handle
//   table.emplace(id, mcp::AnyPendingRequest(std::move(pending)));    // the table's entry
//   ... send the request ...
//   Initialize::Result result = co_await answer.take();               // the caller
//
//   table.at(id).resume(std::move(resultValue));                      // the receive loop
//
// Resumption: a failure is thrown to the caller unchanged; a success that already is a T is
// handed over as it is; a Value is decoded as T directly (no JSON text is written or read), and
// when it does not fit the caller gets TypeMismatchError (the decoding detail is dropped); a
// success of any other type gives TypeMismatchError too. A result still in the text it came in
// (ParsedResult) is decoded as T straight from the parse, as its Value would be.
//
// Thread-safety: resume from any thread, once (later resumptions are ignored and answer false);
// the caller resumes on its own executor. Cancelling the awaiting coroutine (Asio cancellation
// slot) ends its wait with boost::asio::error::operation_aborted.
#pragma once

#include <any>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

#include "MCP/Core/AsyncResult.h"
#include "MCP/JSON/Coding.h"
#include "MCP/JSON/JsonElement.h"
#include "MCP/JSON/TypedJsonDecoding.h"
#include "MCP/JSON/Value.h"
#include "MCP/Messages/MCPError.h"

namespace mcp {

// The failure of a pending request whose response's result does not have the awaited type.
class TypeMismatchError : public std::runtime_error {
public:
    TypeMismatchError()
        : std::runtime_error("The response's result does not have the type the request expects.") {}
};

// A success whose result is still in the text that brought it: decoded during the resume() call
// that hands it over, before the caller is resumed, while the element is valid.
struct ParsedResult {
    const JsonElement* element = nullptr;
};

// What a response brings to a pending request: a success holding a Value (the usual case), the
// result as parsed, or a value of any other type, or a failure.
using PendingOutcome = std::variant<Value, std::any, std::exception_ptr, ParsedResult>;

namespace detail {

// Turns `outcome` into what a caller awaiting a T gets, and hands it to `sink` (resume(T) or
// resume(std::exception_ptr)); the sink's answer comes back.
template <class T, class Sink>
bool resumeTyped(Sink& sink, PendingOutcome&& outcome) {
    if (auto* error = std::get_if<std::exception_ptr>(&outcome)) {
        return sink.resume(*error);
    }
    if (auto* other = std::get_if<std::any>(&outcome)) {
        if (auto* typed = std::any_cast<T>(other)) {
            return sink.resume(std::move(*typed));
        }
        return sink.resume(std::make_exception_ptr(TypeMismatchError()));
    }
    if (auto* parsed = std::get_if<ParsedResult>(&outcome)) {
        if constexpr (std::is_same_v<T, Value>) {
            return sink.resume(parsed->element->toValue());
        } else {
            std::optional<T> decoded;
            try {
                decoded = decodeTypedJson<T>(*parsed->element);
            } catch (const DecodingError&) {
                return sink.resume(std::make_exception_ptr(TypeMismatchError()));
            }
            return sink.resume(std::move(*decoded));
        }
    }
    auto& value = std::get<Value>(outcome);
    if constexpr (std::is_same_v<T, Value>) {
        return sink.resume(std::move(value));
    } else {
        std::optional<T> decoded;
        try {
            decoded = decodeValue<T>(std::move(value));
        } catch (const DecodingError&) {
            return sink.resume(std::make_exception_ptr(TypeMismatchError()));
        }
        return sink.resume(std::move(*decoded));
    }
}

// Where a table's entry delivers the outcome of its request.
class PendingSink {
public:
    virtual ~PendingSink() = default;
    // Resumes the caller; false when it had been resumed already.
    virtual bool resume(PendingOutcome&& outcome) = 0;
    // The entry is gone without a resumption: the caller must not wait for ever.
    virtual void abandon() = 0;
};

}  // namespace detail

template <class T>
class PendingRequest {
public:
    PendingRequest() {
        auto [source, result] = AsyncResult<T>::make();
        source_ = std::move(source);
        result_ = std::move(result);
    }

    // Each completes the caller; only the first call counts (the others answer false).
    bool resume(T value) const { return source_->setValue(std::move(value)); }
    bool resume(std::exception_ptr error) const { return source_->setError(error); }

    // The caller's handle: take() (or value(), for a copy) suspends until the request is resumed,
    // then gives the value or throws the error. It does not keep the request alive.
    const AsyncResult<T>& result() const { return *result_; }

private:
    std::optional<AsyncResultSource<T>> source_;
    std::optional<AsyncResult<T>> result_;
};

namespace detail {

// The sink of a PendingRequest: dropping it drops the request's source, which fails an
// unanswered caller by itself.
template <class T>
class PendingRequestSink final : public PendingSink {
public:
    explicit PendingRequestSink(PendingRequest<T>&& pending) : pending_(std::move(pending)) {}
    bool resume(PendingOutcome&& outcome) override {
        return resumeTyped<T>(pending_, std::move(outcome));
    }
    void abandon() override {}

private:
    PendingRequest<T> pending_;
};

}  // namespace detail

// PendingCall<T>: a pending request that exactly one caller awaits, as the client's typed
// operations do. One allocation holds the outcome and the caller's suspension; the value is
// moved to the caller, never copied. The table's entry (AnyPendingRequest(call)) and the caller
// share it; an entry dropped unresumed fails the caller with AbandonedResultError.
template <class T>
class PendingCall final : public detail::PendingSink {
public:
    bool resume(PendingOutcome&& outcome) override {
        return detail::resumeTyped<T>(*this, std::move(outcome));
    }
    void abandon() override { resume(std::make_exception_ptr(AbandonedResultError())); }

    bool resume(T&& value) { return complete(nullptr, std::optional<T>(std::move(value))); }
    bool resume(std::exception_ptr error) { return complete(error, std::nullopt); }

    bool isDone() const {
        std::lock_guard lock(mutex_);
        return done_;
    }

    // Suspends the one caller until the outcome of `call` is there; the value, or the error
    // thrown. Cancelling the caller (Asio cancellation slot) ends the wait with operation_aborted
    // and leaves the call as it is.
    static boost::asio::awaitable<std::optional<T>> wait(const std::shared_ptr<PendingCall>& call) {
        return detail::suspend<T>(
            0,
            [raw = call.get()](detail::Waiter<T>&& waiter) {
                std::unique_lock lock(raw->mutex_);
                if (!raw->done_) {
                    raw->waiter_.emplace(std::move(waiter));
                    return;
                }
                std::exception_ptr error = std::exchange(raw->error_, nullptr);
                std::optional<T> value = std::exchange(raw->value_, std::nullopt);
                lock.unlock();
                std::move(waiter).complete(error, std::move(value));
            },
            // Owning: the cancellation slot may outlive the waiting coroutine.
            [call](std::uint64_t) {
                std::unique_lock lock(call->mutex_);
                if (!call->waiter_) {
                    return;  // resumed already: the resumption is on its way
                }
                detail::Waiter<T> waiter = std::move(*call->waiter_);
                call->waiter_.reset();
                lock.unlock();
                std::move(waiter).complete(detail::operationAborted(), std::nullopt);
            });
    }

private:
    bool complete(std::exception_ptr error, std::optional<T>&& value) {
        std::unique_lock lock(mutex_);
        if (done_) {
            return false;
        }
        done_ = true;
        if (!waiter_) {
            error_ = error;
            value_ = std::move(value);
            return true;
        }
        detail::Waiter<T> waiter = std::move(*waiter_);
        waiter_.reset();
        lock.unlock();
        std::move(waiter).complete(error, std::move(value));
        return true;
    }

    mutable std::mutex mutex_;
    bool done_ = false;
    // Kept until the caller waits; the waiter until the outcome comes.
    std::exception_ptr error_;
    std::optional<T> value_;
    std::optional<detail::Waiter<T>> waiter_;
};

class AnyPendingRequest {
public:
    using Outcome = PendingOutcome;

    // Takes the request over: from here on the entry is its only owner.
    template <Codable T>
    explicit AnyPendingRequest(PendingRequest<T>&& pending)
        : sink_(std::make_shared<detail::PendingRequestSink<T>>(std::move(pending))) {}
    // An entry delivering to `sink`, which fails its caller when the entry is dropped unresumed.
    explicit AnyPendingRequest(std::shared_ptr<detail::PendingSink> sink)
        : sink_(std::move(sink)) {}

    // The only entry of its request: moved, never copied.
    AnyPendingRequest(AnyPendingRequest&& other) noexcept
        : sink_(std::move(other.sink_)), resumed_(other.resumed_) {}
    AnyPendingRequest& operator=(AnyPendingRequest&& other) noexcept {
        if (this != &other) {
            release();
            sink_ = std::move(other.sink_);
            resumed_ = other.resumed_;
        }
        return *this;
    }
    AnyPendingRequest(const AnyPendingRequest&) = delete;
    AnyPendingRequest& operator=(const AnyPendingRequest&) = delete;
    ~AnyPendingRequest() { release(); }

    // Resumes the caller with `outcome`; false when it had been resumed already.
    bool resume(Outcome outcome) const {
        resumed_ = true;
        return sink_->resume(std::move(outcome));
    }
    bool resume(Value result) const { return resume(Outcome(std::move(result))); }
    bool resume(std::exception_ptr error) const { return resume(Outcome(error)); }
    bool resume(const MCPError& error) const {
        return resume(Outcome(std::make_exception_ptr(error)));
    }

private:
    void release() {
        if (sink_ && !resumed_) {
            sink_->abandon();
        }
        sink_.reset();
    }

    std::shared_ptr<detail::PendingSink> sink_;
    mutable bool resumed_ = false;
};

}  // namespace mcp
