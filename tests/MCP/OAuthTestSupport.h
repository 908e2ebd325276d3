// Helpers of the OAuth tests: which OAuthAuthorizationError a piece of test code ends with, and
// a scope selector that only builds the "scope" parameter.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "MCP/OAuthDiscovery.h"
#include "MCP/OAuthError.h"

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

// "scope" is the names in ascending order joined by blanks, nothing for none; it selects and
// parses nothing.
class JoiningScopeSelector : public OAuthScopeSelecting {
public:
    std::optional<std::set<std::string>> selectScopes(
        const std::optional<std::string>&,
        const std::optional<std::vector<std::string>>&) const override {
        return std::nullopt;
    }
    std::set<std::string> scopes(std::string_view) const override { return {}; }
    std::optional<std::string> scopeParameter(const std::set<std::string>& scopes) const override {
        if (scopes.empty()) {
            return std::nullopt;
        }
        std::string joined;
        for (const auto& scope : scopes) {
            joined += (joined.empty() ? "" : " ") + scope;
        }
        return joined;
    }
};

}  // namespace mcp
