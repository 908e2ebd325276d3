// POSIX errors as `Error` values, for the underlying error of a failed system call.
// Plain functions; thread-safe.
#pragma once

#include "platform/Error.h"

namespace fw::platform {

inline constexpr const char* kPosixErrorDomain = "POSIXErrorDomain";

// An error in `kPosixErrorDomain` with the code `errorNumber` and the system's text for it,
// e.g. "File exists".
Error posixError(int errorNumber);

}  // namespace fw::platform
