// A process-wide setting that may be replaced once, guarded by a reader-writer lock. Used by
// LoggingSystem; not part of the facade's interface.
//
// Thread-safe: reads take the reader lock and copy the value out; the one replacement takes the
// writer lock. A second replacement prints the box's message on standard error and stops the
// process.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "Logging/ReadWriteLock.h"

namespace logging::detail {

template <class Value>
class ReplaceOnceBox {
public:
    ReplaceOnceBox(Value initial, std::string violationErrorMessage)
        : underlying_(std::move(initial)),
          violationErrorMessage_(std::move(violationErrorMessage)) {}

    Value underlying() const {
        return lock_.withReaderLock([&] { return underlying_; });
    }

    void replaceUnderlying(Value value) {
        Value old = lock_.withWriterLock([&] {
            if (initialized_) {
                std::fprintf(stderr, "%s\n", violationErrorMessage_.c_str());
                std::fflush(stderr);
                std::abort();
            }
            initialized_ = true;
            return std::exchange(underlying_, std::move(value));
        });
        // The old value is released outside the lock.
    }

private:
    mutable ReadWriteLock lock_;
    bool initialized_ = false;
    Value underlying_;
    std::string violationErrorMessage_;
};

}  // namespace logging::detail
