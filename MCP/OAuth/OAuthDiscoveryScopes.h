// DefaultOAuthScopeSelector: which scopes the OAuth client asks for, and the "scope" parameter.
//
//   selectScopes  the challenge's scope string when one is given (even an empty one, which asks
//                 for nothing); else the supported scopes that are not blank; nothing when the
//                 result is empty
//   scopes        the names of a scope string split at Unicode white space
//   scopeParameter the names in ascending order joined by single blanks; nothing for none
//
// An immutable value: safe from any thread.
#pragma once

#include "MCP/OAuth/OAuthDiscovery.h"

namespace mcp {

class DefaultOAuthScopeSelector final : public OAuthScopeSelecting {
public:
    std::optional<std::set<std::string>> selectScopes(
        const std::optional<std::string>& challengeScope,
        const std::optional<std::vector<std::string>>& scopesSupported) const override;
    std::set<std::string> scopes(std::string_view scopeString) const override;
    std::optional<std::string> scopeParameter(const std::set<std::string>& scopes) const override;
};

}  // namespace mcp
