// Deferred parts of a log call: each refers to what the caller passed (a value or a function
// returning one) and turns it into the part only when asked, after the level check.
//
//     logger.debug("Sent request");                                     // a literal
//     logger.debug([&] { return "Sent " + method; });                  // built only if enabled
//     logger.debug("Sent", [&] { return Metadata{{"size", std::to_string(n)}}; });
//     logger.error("Write failed", error);                              // std::exception&, ...
//
// These are parameter types: they hold pointers to the caller's arguments, which live until the
// end of the calling expression, so they must never be stored. Making one costs two pointer stores
// and never allocates.
#pragma once

#include <concepts>
#include <functional>
#include <optional>
#include <source_location>
#include <string>
#include <type_traits>
#include <utility>

#include "Logging/LogError.h"
#include "Logging/Message.h"
#include "Logging/MetadataValue.h"

namespace logging {

template <class T>
class Deferred {
public:
    // No part: produces T{} (none for optional parts).
    Deferred() noexcept = default;

    // A function without arguments whose result converts to T, called at most once.
    template <class F>
    requires(std::invocable<const F&>&& std::convertible_to<std::invoke_result_t<const F&>, T> &&
             !std::same_as<std::remove_cvref_t<F>, Deferred>) Deferred(const F& producer)
    noexcept  // NOLINT: implicit by design
        : object_(std::addressof(producer)), produce_([](const void* object) -> T {
              return T(std::invoke(*static_cast<const F*>(object)));
          }) {}

    // A value that converts to T, converted only when produced.
    template <class U>
    requires(!std::invocable<const U&> && std::convertible_to<const U&, T> &&
             !std::same_as<std::remove_cvref_t<U>, Deferred>) Deferred(const U& value)
    noexcept  // NOLINT: implicit by design
        : object_(std::addressof(value)),
          produce_([](const void* object) -> T { return T(*static_cast<const U*>(object)); }) {}

    explicit operator bool() const noexcept { return produce_ != nullptr; }
    T operator()() const { return produce_ ? produce_(object_) : T{}; }

private:
    const void* object_ = nullptr;
    T (*produce_)(const void*) = nullptr;
};

// The message of a log call, with the position of the call that made it.
class DeferredMessage : public Deferred<Message> {
public:
    template <class M>
    requires std::constructible_from < Deferred<Message>,
    const M& >
        DeferredMessage(const M& message,  // NOLINT: implicit by design
                        std::source_location location = std::source_location::current()) noexcept
        : Deferred<Message>(message),
    location(location) {}

    std::source_location location;
};

// Metadata of one call; a producer may give none.
using DeferredMetadata = Deferred<std::optional<Metadata>>;
// The source of one call (a module name); none when not given.
using DeferredSource = Deferred<std::optional<std::string>>;
// An error attached to one call: a std::exception (its dynamic type is kept), a
// std::exception_ptr, a std::error_code, a LogError, or a function giving one of them.
using DeferredError = Deferred<std::optional<LogError>>;

}  // namespace logging
