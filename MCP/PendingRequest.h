// PendingRequest<T>: a request that was sent and waits for its response, as seen by the caller
// awaiting a T. AnyPendingRequest is its type-erased form, kept in the server's and the client's
// tables keyed by ID, which resumes the typed caller with whatever outcome arrives.
//
// The table's entry and the caller's handle are separate owners: the PendingRequest goes into the
// table, and the caller keeps only result(), which does not keep the request alive. An entry that
// is dropped without a resumption (taken out and forgotten, or its table destroyed) therefore
// fails its caller with AbandonedResultError instead of leaving it waiting for ever.
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
// success of any other type gives TypeMismatchError too.
//
// Thread-safety: resume from any thread, once (later resumptions are ignored and answer false);
// the caller resumes on its own executor. Cancelling the awaiting coroutine (Asio cancellation
// slot) ends its wait with boost::asio::error::operation_aborted.
#pragma once

#include <any>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

#include "MCP/AsyncResult.h"
#include "MCP/Coding.h"
#include "MCP/MCPError.h"
#include "MCP/Value.h"

namespace mcp {

// The failure of a pending request whose response's result does not have the awaited type.
class TypeMismatchError : public std::runtime_error {
public:
    TypeMismatchError()
        : std::runtime_error("The response's result does not have the type the request expects.") {}
};

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

class AnyPendingRequest {
public:
    // What a response brings: a success holding a Value (the usual case) or a value of any
    // other type, or a failure.
    using Outcome = std::variant<Value, std::any, std::exception_ptr>;

    // Takes the request over: from here on the entry is its only owner.
    template <Codable T>
    explicit AnyPendingRequest(PendingRequest<T>&& pending)
        : resume_([pending = std::move(pending)](Outcome&& outcome) {
              return resumeTyped(pending, std::move(outcome));
          }) {}

    // Resumes the caller with `outcome`; false when it had been resumed already.
    bool resume(Outcome outcome) const { return resume_(std::move(outcome)); }
    bool resume(Value result) const { return resume_(Outcome(std::move(result))); }
    bool resume(std::exception_ptr error) const { return resume_(Outcome(error)); }
    bool resume(const MCPError& error) const {
        return resume_(Outcome(std::make_exception_ptr(error)));
    }

private:
    template <class T>
    static bool resumeTyped(const PendingRequest<T>& pending, Outcome&& outcome) {
        if (auto* error = std::get_if<std::exception_ptr>(&outcome)) {
            return pending.resume(*error);
        }
        if (auto* other = std::get_if<std::any>(&outcome)) {
            if (auto* typed = std::any_cast<T>(other)) {
                return pending.resume(std::move(*typed));
            }
            return pending.resume(std::make_exception_ptr(TypeMismatchError()));
        }
        auto& value = std::get<Value>(outcome);
        if constexpr (std::is_same_v<T, Value>) {
            return pending.resume(std::move(value));
        } else {
            std::optional<T> decoded;
            try {
                decoded = decodeValue<T>(std::move(value));
            } catch (const DecodingError&) {
                return pending.resume(std::make_exception_ptr(TypeMismatchError()));
            }
            return pending.resume(std::move(*decoded));
        }
    }

    std::function<bool(Outcome&&)> resume_;
};

}  // namespace mcp
