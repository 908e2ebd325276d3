// PKCE (RFC 7636, method S256 only): the code verifier, its challenge, and the check that an
// authorization server takes S256. The verifier's characters come from the 66 unreserved
// characters of RFC 3986, each random byte of 198 or more discarded so that every character is
// equally likely.
//
// Stateless: safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "MCP/OAuth/OAuthModels.h"
#include "MCP/OAuth/SecureRandom.h"

namespace mcp {

struct PKCE {
    static constexpr std::string_view kVerifierAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";

    // `length` random characters of the alphabet (the authorizer asks for 64).
    static std::string generateCodeVerifier(std::size_t length,
                                            const RandomByteSource& random = secureRandomBytes);
    // Base64url without padding of the SHA-256 digest of the verifier's bytes (43 characters).
    static std::string codeChallenge(std::string_view verifier);
    // Normal return when code_challenge_methods_supported holds "S256" (letter case ignored);
    // otherwise throws pkceCodeChallengeMethodsMissing (absent or empty list) or
    // pkceS256NotSupported (with the list as advertised).
    static void validateS256Support(const OAuthAuthorizationServerMetadata& metadata);
};

}  // namespace mcp
