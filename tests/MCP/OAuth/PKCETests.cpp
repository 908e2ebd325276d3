// PKCE verifiers and challenges, the S256 check, the in-memory token storage and the expiry skew.
#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/PKCE.h"
#include "MCP/OAuth/TokenStorage.h"

namespace mcp {
namespace {

// A random source that hands out the given bytes in order, and fails when they run out.
RandomByteSource scripted(std::deque<std::uint8_t> bytes) {
    auto queue = std::make_shared<std::deque<std::uint8_t>>(std::move(bytes));
    return [queue](std::span<std::uint8_t> out) {
        for (auto& byte : out) {
            if (queue->empty()) {
                throw std::runtime_error("out of bytes");
            }
            byte = queue->front();
            queue->pop_front();
        }
    };
}

TEST(PKCE, VerifierHasTheLengthAndAlphabet) {
    const std::string verifier = PKCE::generateCodeVerifier(64);
    EXPECT_EQ(verifier.size(), 64u);
    for (char c : verifier) {
        EXPECT_NE(PKCE::kVerifierAlphabet.find(c), std::string_view::npos) << c;
    }
    EXPECT_NE(PKCE::generateCodeVerifier(64), verifier);
    EXPECT_EQ(PKCE::generateCodeVerifier(0), "");
    EXPECT_EQ(PKCE::generateCodeVerifier(128).size(), 128u);
}

TEST(PKCE, BytesSelectCharactersAndHighBytesAreDiscarded) {
    const struct {
        std::deque<std::uint8_t> bytes;
        std::size_t length;
        const char* verifier;
    } cases[] = {
        {{0, 66, 132}, 3, "AAA"},
        {{198, 255, 0, 66, 132, 65}, 4, "AAA~"},
        {{25, 26, 51, 52, 61, 62, 63, 64, 65, 197}, 10, "Zaz09-._~~"},
        {{199, 200, 201, 1}, 1, "B"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PKCE::generateCodeVerifier(c.length, scripted(c.bytes)), c.verifier);
    }
    // Every byte below 198 is used, in order; none at or above is.
    std::deque<std::uint8_t> all;
    std::string expected;
    for (int byte = 0; byte < 256; ++byte) {
        all.push_back(static_cast<std::uint8_t>(byte));
        if (byte < 198) {
            expected += PKCE::kVerifierAlphabet[static_cast<std::size_t>(byte) % 66];
        }
    }
    EXPECT_EQ(PKCE::generateCodeVerifier(198, scripted(all)), expected);
}

TEST(PKCE, S256Challenge) {
    // RFC 7636, appendix B.
    EXPECT_EQ(PKCE::codeChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    // SHA-256 of nothing: 47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU.
    EXPECT_EQ(PKCE::codeChallenge(""), "47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU");
    for (int i = 0; i < 200; ++i) {
        const std::string challenge = PKCE::codeChallenge(PKCE::generateCodeVerifier(64));
        EXPECT_EQ(challenge.size(), 43u);
        EXPECT_EQ(challenge.find_first_of("+/="), std::string::npos) << challenge;
    }
}

TEST(PKCE, S256SupportCheck) {
    using Case = OAuthAuthorizationError::Case;
    const struct {
        std::optional<std::vector<std::string>> methods;
        std::optional<Case> failure;
    } cases[] = {
        {std::vector<std::string>{"S256"}, std::nullopt},
        {std::vector<std::string>{"plain", "s256"}, std::nullopt},
        {std::vector<std::string>{"plain"}, Case::pkceS256NotSupported},
        {std::vector<std::string>{"S256 "}, Case::pkceS256NotSupported},
        {std::vector<std::string>{}, Case::pkceCodeChallengeMethodsMissing},
        {std::nullopt, Case::pkceCodeChallengeMethodsMissing},
    };
    for (const auto& c : cases) {
        OAuthAuthorizationServerMetadata metadata;
        metadata.codeChallengeMethodsSupported = c.methods;
        std::optional<Case> failure;
        try {
            PKCE::validateS256Support(metadata);
        } catch (const OAuthAuthorizationError& error) {
            failure = error.errorCase();
            if (*failure == Case::pkceS256NotSupported) {
                EXPECT_EQ(error.advertisedMethods(), *c.methods);
            }
        }
        EXPECT_EQ(failure, c.failure);
    }
}

OAuthAccessToken token(std::string value, std::optional<Instant> expiresAt = std::nullopt) {
    return OAuthAccessToken{std::move(value), "Bearer", expiresAt, {},
                            std::nullopt,     std::nullopt, std::nullopt};
}

TEST(TokenStorage, KeepsOneToken) {
    InMemoryTokenStorage storage;
    EXPECT_FALSE(storage.load());
    storage.save(token("A"));
    storage.save(token("B"));
    EXPECT_EQ(storage.load()->value, "B");
    storage.clear();
    EXPECT_FALSE(storage.load());
}

TEST(TokenStorage, ExpirySkewIsThirtySeconds) {
    const Instant now = Instant::fromUnixSeconds(1'900'000'000);
    EXPECT_TRUE(OAuthTokenExpirySkew::isExpired(token("a", now.adding(29)), now));
    EXPECT_TRUE(OAuthTokenExpirySkew::isExpired(token("a", now.adding(30)), now));
    EXPECT_FALSE(OAuthTokenExpirySkew::isExpired(token("a", now.adding(31)), now));
    EXPECT_FALSE(OAuthTokenExpirySkew::isExpired(token("a"), now));
    EXPECT_FALSE(OAuthTokenExpirySkew::isExpired(token("a", Instant::now().adding(3600))));
}

}  // namespace
}  // namespace mcp
