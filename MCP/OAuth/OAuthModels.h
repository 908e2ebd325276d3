// The values that the OAuth 2 client passes between its components and the JSON documents it
// reads from authorization servers and protected resources (RFC 6749, 7591, 8414, 9728).
//
// Documents are read leniently: unknown members are ignored, an absent member and JSON null both
// mean absent, a member of the wrong JSON kind fails the whole document, and a URL member that
// does not parse fails it too (decodeValue<T> throws DecodingError). Their keys are the
// standards' snake_case names; OAuthAccessToken alone uses its camelCase field names, and its
// "expiresAt" counts seconds since 2001-01-01T00:00:00Z (stored tokens depend on that epoch).
//
// Plain values: safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "MCP/JSON/Record.h"
#include "MCP/OAuth/Instant.h"
#include "MCP/OAuth/URL.h"

namespace mcp {

// A set of texts is a JSON array of strings; order does not matter, repeats collapse. Written
// in ascending order so that equal sets give equal documents.
template <>
struct Coder<std::set<std::string>> {
    static Value encode(const std::set<std::string>& texts) {
        Array array;
        array.reserve(texts.size());
        for (const auto& text : texts) {
            array.push_back(encodeValue(text));
        }
        return Value(std::move(array));
    }
    static std::set<std::string> decode(const Value& value) {
        auto list = decodeValue<std::vector<std::string>>(value);
        return std::set<std::string>(std::make_move_iterator(list.begin()),
                                     std::make_move_iterator(list.end()));
    }
    static bool equals(const std::set<std::string>& a, const std::set<std::string>& b) {
        return a == b;
    }
    static void hash(Hasher& hasher, const std::set<std::string>& texts) {
        hasher.combine(static_cast<std::uint64_t>(texts.size()));
        for (const auto& text : texts) {
            hasher.combineText(text);
        }
    }
};

// An access token as the client stores and reuses it.
struct OAuthAccessToken {
    std::string value;
    std::string tokenType;
    std::optional<Instant> expiresAt{};
    std::set<std::string> scopes{};
    std::optional<URL> authorizationServer{};
    std::optional<std::string> refreshToken{};
    std::optional<std::string> clientID{};

    // True when `instant` plus `leeway` seconds is at or after expiresAt; never without one.
    bool isExpired(Instant instant, double leeway) const {
        return expiresAt && instant.adding(leeway) >= *expiresAt;
    }

    // The expiry of a token issued at `issued` that lives `expiresIn` seconds ("expires_in").
    // Any lifetime, even 2^63 - 1 or a negative one, gives an orderly instant.
    static Instant expiryAfter(Instant issued, std::int64_t expiresIn) {
        return issued.adding(static_cast<double>(expiresIn));
    }

    static constexpr auto codingFields() {
        return std::tuple{field("value", &OAuthAccessToken::value),
                          field("tokenType", &OAuthAccessToken::tokenType),
                          optionalField("expiresAt", &OAuthAccessToken::expiresAt),
                          field("scopes", &OAuthAccessToken::scopes),
                          optionalField("authorizationServer", &OAuthAccessToken::authorizationServer),
                          optionalField("refreshToken", &OAuthAccessToken::refreshToken),
                          optionalField("clientID", &OAuthAccessToken::clientID)};
    }
};

// One parsed Bearer challenge of a WWW-Authenticate header: its auth-params as the parser
// stored them (names lower-cased). Look-ups are exact.
struct OAuthBearerChallenge {
    std::map<std::string, std::string> parameters;

    std::optional<std::string> scope() const { return lookUp("scope"); }
    std::optional<std::string> error() const { return lookUp("error"); }
    std::optional<std::string> errorDescription() const { return lookUp("error_description"); }
    // "resource_metadata" as a URL; absent when missing or not a URL.
    std::optional<URL> resourceMetadataURL() const {
        auto text = lookUp("resource_metadata");
        return text ? URL::parse(*text) : std::nullopt;
    }

private:
    std::optional<std::string> lookUp(const std::string& key) const {
        auto found = parameters.find(key);
        return found == parameters.end() ? std::nullopt : std::optional(found->second);
    }
};

// Protected-resource metadata (RFC 9728) as the client reads it.
struct OAuthProtectedResourceMetadata {
    std::optional<std::string> resource{};
    std::vector<URL> authorizationServers{};
    std::optional<std::vector<std::string>> scopesSupported{};

    static constexpr auto codingFields() {
        return std::tuple{
            optionalField("resource", &OAuthProtectedResourceMetadata::resource),
            field("authorization_servers", &OAuthProtectedResourceMetadata::authorizationServers),
            optionalField("scopes_supported", &OAuthProtectedResourceMetadata::scopesSupported)};
    }
};

// The same document as an HTTP server transport publishes it.
struct OAuthProtectedResourceServerMetadata {
    std::string resource;
    std::vector<URL> authorizationServers{};
    std::optional<std::vector<std::string>> scopesSupported{};

    static constexpr auto codingFields() {
        return std::tuple{
            field("resource", &OAuthProtectedResourceServerMetadata::resource),
            field("authorization_servers",
                  &OAuthProtectedResourceServerMetadata::authorizationServers),
            optionalField("scopes_supported",
                          &OAuthProtectedResourceServerMetadata::scopesSupported)};
    }
};

// Authorization server metadata (RFC 8414, or an OpenID configuration document).
struct OAuthAuthorizationServerMetadata {
    std::optional<URL> issuer{};
    std::optional<URL> authorizationEndpoint{};
    std::optional<URL> tokenEndpoint{};
    std::optional<URL> registrationEndpoint{};
    std::optional<std::vector<std::string>> codeChallengeMethodsSupported{};
    std::optional<std::vector<std::string>> tokenEndpointAuthMethodsSupported{};
    std::optional<bool> clientIDMetadataDocumentSupported{};
    // RFC 9207: the authorization response names the issuer in "iss".
    std::optional<bool> authorizationResponseIssParameterSupported{};

    static constexpr auto codingFields() {
        using M = OAuthAuthorizationServerMetadata;
        return std::tuple{
            optionalField("issuer", &M::issuer),
            optionalField("authorization_endpoint", &M::authorizationEndpoint),
            optionalField("token_endpoint", &M::tokenEndpoint),
            optionalField("registration_endpoint", &M::registrationEndpoint),
            optionalField("code_challenge_methods_supported", &M::codeChallengeMethodsSupported),
            optionalField("token_endpoint_auth_methods_supported",
                          &M::tokenEndpointAuthMethodsSupported),
            optionalField("client_id_metadata_document_supported",
                          &M::clientIDMetadataDocumentSupported),
            optionalField("authorization_response_iss_parameter_supported",
                          &M::authorizationResponseIssParameterSupported)};
    }
};

// A successful token endpoint answer (RFC 6749 section 5.1). Decoding checks presence and JSON
// kinds only; the token endpoint client checks the content.
struct OAuthTokenResponse {
    std::string accessToken;
    std::string tokenType;
    std::optional<std::int64_t> expiresIn{};
    std::optional<std::string> scope{};
    std::optional<std::string> refreshToken{};

    static constexpr auto codingFields() {
        return std::tuple{field("access_token", &OAuthTokenResponse::accessToken),
                          field("token_type", &OAuthTokenResponse::tokenType),
                          optionalField("expires_in", &OAuthTokenResponse::expiresIn),
                          optionalField("scope", &OAuthTokenResponse::scope),
                          optionalField("refresh_token", &OAuthTokenResponse::refreshToken)};
    }
};

// A token endpoint error answer (RFC 6749 section 5.2); only "error" is read.
struct OAuthTokenErrorResponse {
    std::string error;

    static constexpr auto codingFields() {
        return std::tuple{field("error", &OAuthTokenErrorResponse::error)};
    }
};

// The answer of dynamic client registration (RFC 7591).
struct OAuthClientRegistrationResponse {
    std::string clientID;
    std::optional<std::string> clientSecret{};
    std::optional<std::string> tokenEndpointAuthMethod{};
    // Seconds since 1970-01-01T00:00:00Z; 0 means the secret does not expire.
    std::optional<std::int64_t> clientSecretExpiresAt{};

    static constexpr auto codingFields() {
        using R = OAuthClientRegistrationResponse;
        return std::tuple{field("client_id", &R::clientID),
                          optionalField("client_secret", &R::clientSecret),
                          optionalField("token_endpoint_auth_method", &R::tokenEndpointAuthMethod),
                          optionalField("client_secret_expires_at", &R::clientSecretExpiresAt)};
    }
};

// What a server-side bearer-token check learned about a valid token. Audiences compare in
// order, scopes as sets.
struct BearerTokenInfo {
    std::optional<std::vector<std::string>> audience;
    std::optional<std::set<std::string>> scopes;
    std::optional<Instant> expiresAt;

    BearerTokenInfo(std::optional<std::vector<std::string>> audience,
                    std::optional<std::set<std::string>> scopes, std::optional<Instant> expiresAt)
        : audience(std::move(audience)), scopes(std::move(scopes)), expiresAt(expiresAt) {}

    friend bool operator==(const BearerTokenInfo&, const BearerTokenInfo&) = default;
};

}  // namespace mcp
