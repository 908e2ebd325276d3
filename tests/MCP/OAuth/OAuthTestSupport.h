// Helpers of the OAuth tests: which OAuthAuthorizationError a piece of test code ends with, and
// URLs from literal texts.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/URL.h"

namespace mcp {

// Runs `run`; the case of the OAuthAuthorizationError it throws (copied to `copy` when given),
// or nothing when it returns. Other exceptions pass through.
template <class Run>
std::optional<OAuthAuthorizationError::Case> failureCase(Run run,
                                                         OAuthAuthorizationError* copy = nullptr) {
    try {
        run();
    } catch (const OAuthAuthorizationError& error) {
        if (copy) {
            *copy = error;
        }
        return error.errorCase();
    }
    return std::nullopt;
}

// The URL of a text the test knows to be one.
inline URL url(std::string_view text) {
    auto parsed = URL::parse(text);
    if (!parsed) {
        throw std::invalid_argument("not a URL: " + std::string(text));
    }
    return std::move(*parsed);
}

}  // namespace mcp
