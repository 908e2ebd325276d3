// Where the OAuth authorizer keeps its one access token, and the clock-skew allowance applied
// to a stored token's expiry before it is handed out.
//
// InMemoryTokenStorage does no locking: callers that share one between tasks serialise their
// calls themselves.
#pragma once

#include <optional>

#include "MCP/OAuth/OAuthModels.h"

namespace mcp {

class TokenStorage {
public:
    virtual ~TokenStorage() = default;
    // Stores the token, replacing any stored one.
    virtual void save(const OAuthAccessToken& token) = 0;
    virtual std::optional<OAuthAccessToken> load() = 0;
    virtual void clear() = 0;
};

class InMemoryTokenStorage : public TokenStorage {
public:
    InMemoryTokenStorage() = default;

    void save(const OAuthAccessToken& token) override { token_ = token; }
    std::optional<OAuthAccessToken> load() override { return token_; }
    void clear() override { token_.reset(); }

private:
    std::optional<OAuthAccessToken> token_;
};

struct OAuthTokenExpirySkew {
    static constexpr double kSeconds = 30;

    // True when `now` plus the skew is at or after the token's expiry; never without one.
    static bool isExpired(const OAuthAccessToken& token, Instant now = Instant::now()) {
        return token.isExpired(now, kSeconds);
    }
};

}  // namespace mcp
