#include "MCP/OAuth/PKCE.h"

#include <openssl/sha.h>

#include <array>
#include <vector>

#include "MCP/OAuth/OAuthError.h"
#include "platform/http/Headers.h"

namespace mcp {

std::string PKCE::generateCodeVerifier(std::size_t length, const RandomByteSource& random) {
    // 198 = 3 x 66, the largest multiple of the alphabet's size not above 256.
    constexpr unsigned kLimit = 198;
    std::string verifier;
    verifier.reserve(length);
    std::vector<std::uint8_t> pool;
    std::size_t next = 0;
    while (verifier.size() < length) {
        if (next == pool.size()) {
            // Bytes are drawn in blocks but used one by one, in the order drawn.
            pool.assign(length - verifier.size(), 0);
            random(pool);
            next = 0;
        }
        const unsigned byte = pool[next++];
        if (byte < kLimit) {
            verifier.push_back(kVerifierAlphabet[byte % kVerifierAlphabet.size()]);
        }
    }
    return verifier;
}

std::string PKCE::codeChallenge(std::string_view verifier) {
    std::array<std::uint8_t, SHA256_DIGEST_LENGTH> digest{};
    SHA256(reinterpret_cast<const unsigned char*>(verifier.data()), verifier.size(),
           digest.data());
    return base64URLEncode(digest);
}

void PKCE::validateS256Support(const OAuthAuthorizationServerMetadata& metadata) {
    const auto& methods = metadata.codeChallengeMethodsSupported;
    if (!methods || methods->empty()) {
        throw OAuthAuthorizationError::make(
            OAuthAuthorizationError::Case::pkceCodeChallengeMethodsMissing);
    }
    for (const std::string& method : *methods) {
        if (fw::http::Headers::sameName(method, "S256")) {
            return;
        }
    }
    throw OAuthAuthorizationError::pkceS256NotSupported(*methods);
}

}  // namespace mcp
