#include "platform/PosixError.h"

#include <string.h>

#include <string>

namespace fw::platform {

Error posixError(int errorNumber) {
    // strerrordesc_np gives the text without the locale and without a shared buffer.
    const char* text = strerrordesc_np(errorNumber);
    std::string description =
        text != nullptr ? std::string(text) : "Unknown error " + std::to_string(errorNumber);
    return Error(kPosixErrorDomain, errorNumber, std::move(description));
}

}  // namespace fw::platform
