// Error: a failure with a domain, a code, a user-facing description and, where there is
// one, the failure underneath it. Plain value; copy it freely.
//
// The export engine reports its failures in `kFrameweaverErrorDomain`; a user's
// cancellation is `Error::userCancelled()`, which callers test with `isUserCancelled()`
// and never show as an error.
#pragma once

#include <memory>
#include <string>
#include <utility>

namespace fw::platform {

inline constexpr const char* kFrameweaverErrorDomain = "FrameweaverErrorDomain";
// The system's own domain for failures that are not the application's, such as a
// cancellation by the user.
inline constexpr const char* kSystemErrorDomain = "SystemErrorDomain";
inline constexpr int kUserCancelledCode = 3072;

struct Error {
    std::string domain;
    int code = 0;
    std::string description;
    std::shared_ptr<const Error> underlying;

    Error() = default;
    Error(std::string domain, int code, std::string description,
          std::shared_ptr<const Error> underlying = nullptr)
        : domain(std::move(domain)),
          code(code),
          description(std::move(description)),
          underlying(std::move(underlying)) {}

    static Error userCancelled() {
        return Error(kSystemErrorDomain, kUserCancelledCode, "The operation was cancelled.");
    }
    bool isUserCancelled() const {
        return code == kUserCancelledCode && domain == kSystemErrorDomain;
    }
};

}  // namespace fw::platform
