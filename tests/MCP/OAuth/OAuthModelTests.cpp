// The OAuth documents read from JSON text, the stored token's JSON form, the error texts and the
// small value types.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/OAuthModels.h"

namespace mcp {
namespace {

using Case = OAuthAuthorizationError::Case;

template <class T>
T read(const std::string& json) {
    return decodeValue<T>(parseJson(json));
}

template <class T>
bool reads(const std::string& json) {
    try {
        read<T>(json);
        return true;
    } catch (const DecodingError&) {
        return false;
    }
}

URL url(const std::string& text) { return *URL::parse(text); }

// Which documents decode and which fail, by type.
struct DocumentCase {
    const char* name;
    std::function<bool(const std::string&)> decodes;
    std::string json;
    bool expected;
};

TEST(OAuthDocuments, DecodeOrFailByThePresenceAndTypeRules) {
    const auto token = reads<OAuthTokenResponse>;
    const auto tokenError = reads<OAuthTokenErrorResponse>;
    const auto resource = reads<OAuthProtectedResourceMetadata>;
    const auto serverResource = reads<OAuthProtectedResourceServerMetadata>;
    const auto server = reads<OAuthAuthorizationServerMetadata>;
    const auto registration = reads<OAuthClientRegistrationResponse>;
    const auto stored = reads<OAuthAccessToken>;
    const DocumentCase cases[] = {
        {"token: minimal", token, R"({"access_token":"a","token_type":"Bearer"})", true},
        {"token: no token_type", token, R"({"access_token":"a"})", false},
        {"token: expires_in as text", token,
         R"({"access_token":"a","token_type":"Bearer","expires_in":"3600"})", false},
        {"token: extra members", token,
         R"({"access_token":"a","token_type":"Bearer","id_token":"x","n":{"a":[1]}})", true},
        {"token: nulls are absent", token,
         R"({"access_token":"a","token_type":"Bearer","expires_in":null,"scope":null})", true},
        {"token: expires_in beyond 64 bits", token,
         R"({"access_token":"a","token_type":"Bearer","expires_in":1e30})", false},
        {"token: access_token a number", token, R"({"access_token":1,"token_type":"Bearer"})",
         false},
        {"token: not an object", token, R"(["access_token"])", false},
        {"token error: error and description", tokenError,
         R"({"error":"invalid_grant","error_description":"no"})", true},
        {"token error: no error", tokenError, R"({"error_description":"no"})", false},
        {"resource: no authorization_servers", resource, R"({"resource":"https://r"})", false},
        {"resource: no resource", resource, R"({"authorization_servers":["https://a"]})", true},
        {"resource: a server that is no URL", resource,
         R"({"authorization_servers":["https://a b"]})", false},
        {"resource: scopes of the wrong kind", resource,
         R"({"authorization_servers":[],"scopes_supported":"read"})", false},
        {"server resource: requires resource", serverResource,
         R"({"authorization_servers":["https://a"]})", false},
        {"server resource: empty server list", serverResource,
         R"({"resource":"https://r","authorization_servers":[]})", true},
        {"server metadata: empty object", server, "{}", true},
        {"server metadata: issuer a number", server, R"({"issuer":5})", false},
        {"server metadata: token endpoint no URL", server, R"({"token_endpoint":"http://a:99999/"})",
         false},
        {"server metadata: empty URL text", server, R"({"issuer":""})", false},
        {"server metadata: flag a text", server,
         R"({"client_id_metadata_document_supported":"true"})", false},
        {"registration: minimal", registration, R"({"client_id":"c"})", true},
        {"registration: no client_id", registration, R"({"client_secret":"s"})", false},
        {"registration: expiry a text", registration,
         R"({"client_id":"c","client_secret_expires_at":"0"})", false},
        {"stored token: minimal", stored, R"({"value":"v","tokenType":"Bearer","scopes":[]})",
         true},
        {"stored token: snake_case keys are not its keys", stored,
         R"({"value":"v","token_type":"Bearer","scopes":[]})", false},
        {"stored token: no scopes", stored, R"({"value":"v","tokenType":"Bearer"})", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.decodes(c.json), c.expected) << c.name;
    }
}

TEST(OAuthDocuments, ReadTheirMembers) {
    const auto token = read<OAuthTokenResponse>(
        R"({"access_token":"at","token_type":"bearer","expires_in":3600,"scope":"a b",)"
        R"("refresh_token":"rt"})");
    EXPECT_EQ(token, (OAuthTokenResponse{"at", "bearer", 3600, "a b", "rt"}));
    EXPECT_EQ(read<OAuthTokenErrorResponse>(R"({"error":"E","error_description":"d"})").error, "E");

    const auto metadata = read<OAuthAuthorizationServerMetadata>(
        R"({"issuer":"https://as.example","authorization_endpoint":"https://as.example/authorize",)"
        R"("token_endpoint":"https://as.example/token","registration_endpoint":null,)"
        R"("code_challenge_methods_supported":["S256"],)"
        R"("token_endpoint_auth_methods_supported":["none","private_key_jwt"],)"
        R"("client_id_metadata_document_supported":true,"unknown":{"x":1}})");
    EXPECT_EQ(metadata.issuer, url("https://as.example"));
    EXPECT_EQ(metadata.tokenEndpoint, url("https://as.example/token"));
    EXPECT_EQ(metadata.registrationEndpoint, std::nullopt);
    EXPECT_EQ(metadata.codeChallengeMethodsSupported, std::vector<std::string>{"S256"});
    EXPECT_EQ(metadata.clientIDMetadataDocumentSupported, true);
    EXPECT_EQ(read<OAuthAuthorizationServerMetadata>("{}"), OAuthAuthorizationServerMetadata{});

    const auto resource = read<OAuthProtectedResourceMetadata>(
        R"({"authorization_servers":["https://b","https://a"],"scopes_supported":["x"]})");
    EXPECT_EQ(resource.resource, std::nullopt);
    ASSERT_EQ(resource.authorizationServers.size(), 2u);
    EXPECT_EQ(resource.authorizationServers[0].absoluteString(), "https://b");
    // The server list compares in order.
    auto swapped = resource;
    std::swap(swapped.authorizationServers[0], swapped.authorizationServers[1]);
    EXPECT_FALSE(swapped == resource);

    const auto registration = read<OAuthClientRegistrationResponse>(
        R"({"client_id":"c","client_secret":"s","token_endpoint_auth_method":"client_secret_post",)"
        R"("client_secret_expires_at":0})");
    EXPECT_EQ(registration.clientID, "c");
    EXPECT_EQ(registration.clientSecret, "s");
    EXPECT_EQ(registration.tokenEndpointAuthMethod, "client_secret_post");
    EXPECT_EQ(registration.clientSecretExpiresAt, 0);
}

TEST(OAuthDocuments, ServerMetadataWritesScopesOnlyWhenPresent) {
    OAuthProtectedResourceServerMetadata document{"https://mcp.example/mcp",
                                                  {url("https://as.example")}, std::nullopt};
    EXPECT_EQ(encodeValue(document),
              parseJson(R"({"resource":"https://mcp.example/mcp","authorization_servers":["https://as.example"]})"));
    document.scopesSupported = std::vector<std::string>{};
    EXPECT_EQ(encodeValue(document),
              parseJson(R"({"resource":"https://mcp.example/mcp","authorization_servers":["https://as.example"],"scopes_supported":[]})"));
    const auto back = read<OAuthProtectedResourceServerMetadata>(toJson(encodeValue(document)));
    EXPECT_EQ(back.resource, document.resource);
    EXPECT_EQ(back.scopesSupported, document.scopesSupported);
}

TEST(OAuthAccessTokens, UseCamelCaseKeysAndSecondsSince2001) {
    OAuthAccessToken token{"v",
                           "Bearer",
                           Instant::fromUnixSeconds(978307200 + 1000.5),
                           {"write", "read"},
                           url("https://as.example"),
                           "r",
                           "c"};
    const std::string json = toJson(encodeValue(token));
    EXPECT_EQ(parseJson(json),
              parseJson(R"({"value":"v","tokenType":"Bearer","expiresAt":1000.5,"scopes":["read","write"],)"
                        R"("authorizationServer":"https://as.example","refreshToken":"r","clientID":"c"})"));
    const auto back = read<OAuthAccessToken>(json);
    EXPECT_EQ(back.expiresAt, token.expiresAt);
    EXPECT_EQ(back.scopes, token.scopes);
    EXPECT_EQ(back.authorizationServer, token.authorizationServer);

    // Absent optionals are left out; a stored date of another run reads as the same instant.
    const auto minimal = read<OAuthAccessToken>(
        R"({"value":"v","tokenType":"Bearer","scopes":["a","a"],"expiresAt":0})");
    EXPECT_EQ(minimal.scopes, std::set<std::string>{"a"});
    EXPECT_EQ(minimal.expiresAt->unixSeconds(), 978307200.0);
    OAuthAccessToken bare{"v", "Bearer", std::nullopt, {}, std::nullopt, std::nullopt, std::nullopt};
    EXPECT_EQ(encodeValue(bare), parseJson(R"({"value":"v","tokenType":"Bearer","scopes":[]})"));
}

TEST(OAuthAccessTokens, ExpiryWithLeeway) {
    const Instant now = Instant::fromUnixSeconds(1'800'000'000);
    OAuthAccessToken token{"v", "Bearer", std::nullopt, {}, std::nullopt, std::nullopt, std::nullopt};
    EXPECT_FALSE(token.isExpired(now, 0));
    EXPECT_FALSE(token.isExpired(now.adding(1e12), 1e12));
    token.expiresAt = now.adding(30);
    EXPECT_TRUE(token.isExpired(now, 30));   // exactly at the margin
    EXPECT_FALSE(token.isExpired(now, 29.5));
    EXPECT_TRUE(token.isExpired(now.adding(31), 0));
}

TEST(OAuthAccessTokens, AnyLifetimeGivesAnOrderlyExpiry) {
    const Instant now = Instant::fromUnixSeconds(1'800'000'000);
    const std::int64_t largest = std::numeric_limits<std::int64_t>::max();
    const std::int64_t smallest = std::numeric_limits<std::int64_t>::min();
    const Instant far = OAuthAccessToken::expiryAfter(now, largest);
    EXPECT_GT(far, now);
    EXPECT_TRUE(std::isfinite(far.secondsSinceReferenceDate));
    const Instant past = OAuthAccessToken::expiryAfter(now, smallest);
    EXPECT_LT(past, now);
    EXPECT_LT(OAuthAccessToken::expiryAfter(now, -5), now);
    EXPECT_EQ(OAuthAccessToken::expiryAfter(now, 3600), now.adding(3600));

    // A token that lives "forever" is never expired, one with a negative lifetime always is,
    // and both survive storage.
    OAuthAccessToken token{"v", "Bearer", far, {}, std::nullopt, std::nullopt, std::nullopt};
    EXPECT_FALSE(token.isExpired(now, 30));
    EXPECT_EQ(read<OAuthAccessToken>(toJson(encodeValue(token))).expiresAt, far);
    token.expiresAt = past;
    EXPECT_TRUE(token.isExpired(now, 30));
}

TEST(OAuthBearerChallenges, LookUpExactKeys) {
    OAuthBearerChallenge challenge{{{"Scope", "a"},
                                    {"error", "insufficient_scope"},
                                    {"error_description", "more"},
                                    {"resource_metadata", "https://r.example/.well-known/x"}}};
    EXPECT_EQ(challenge.scope(), std::nullopt);
    EXPECT_EQ(challenge.error(), "insufficient_scope");
    EXPECT_EQ(challenge.errorDescription(), "more");
    EXPECT_EQ(challenge.resourceMetadataURL(), url("https://r.example/.well-known/x"));
    challenge.parameters["resource_metadata"] = "not a url";
    EXPECT_EQ(challenge.resourceMetadataURL(), std::nullopt);
}

TEST(BearerTokenInfos, CompareAudiencesInOrderAndScopesAsSets) {
    const Instant at = Instant::fromUnixSeconds(5);
    std::set<std::string> ab;
    ab.insert("a");
    ab.insert("b");
    std::set<std::string> ba;
    ba.insert("b");
    ba.insert("a");
    EXPECT_EQ(BearerTokenInfo({{"x", "y"}}, ab, at), BearerTokenInfo({{"x", "y"}}, ba, at));
    EXPECT_NE(BearerTokenInfo({{"x", "y"}}, ab, at), BearerTokenInfo({{"y", "x"}}, ab, at));
    EXPECT_NE(BearerTokenInfo(std::nullopt, ab, at), BearerTokenInfo({{}}, ab, at));
    EXPECT_NE(BearerTokenInfo(std::nullopt, std::nullopt, at),
              BearerTokenInfo(std::nullopt, std::nullopt, std::nullopt));
}

TEST(OAuthAuthorizationErrors, HaveTheirTexts) {
    struct TextCase {
        OAuthAuthorizationError error;
        Case expectedCase;
        const char* text;
    };
    const TextCase cases[] = {
        {OAuthAuthorizationError::tokenRequestFailed(400, "E"), Case::tokenRequestFailed,
         "Token request failed with status 400 (oauth_error: E)"},
        {OAuthAuthorizationError::tokenRequestFailed(400, ""), Case::tokenRequestFailed,
         "Token request failed with status 400"},
        {OAuthAuthorizationError::tokenRequestFailed(400, std::nullopt), Case::tokenRequestFailed,
         "Token request failed with status 400"},
        {OAuthAuthorizationError::tokenRequestFailed(-1, std::nullopt), Case::tokenRequestFailed,
         "Token request failed with status -1"},
        {OAuthAuthorizationError::invalidResourceURI("Invalid MCP endpoint: x"),
         Case::invalidResourceURI, "Invalid resource URI: Invalid MCP endpoint: x"},
        {OAuthAuthorizationError::invalidClientIDMetadataURL("http://c"),
         Case::invalidClientIDMetadataURL,
         "Client ID metadata document URL must use https and include a path: http://c"},
        {OAuthAuthorizationError::protectedResourceMismatch("a", "b"),
         Case::protectedResourceMismatch,
         "Protected resource metadata resource mismatch. Expected a, got b"},
        {OAuthAuthorizationError::cimdNotSupported("https://c/id"), Case::cimdNotSupported,
         "Authorization server does not support Client ID Metadata Documents; configure "
         "pre-registered credentials or ensure the server advertises "
         "client_id_metadata_document_supported: https://c/id"},
        {OAuthAuthorizationError::privateIPAddressBlocked("Token endpoint", "https://10.0.0.1/t"),
         Case::privateIPAddressBlocked,
         "Token endpoint uses a private or reserved IP address which is blocked for SSRF "
         "protection: https://10.0.0.1/t"},
        {OAuthAuthorizationError::insecureOAuthEndpoint("MCP endpoint", "http://x"),
         Case::insecureOAuthEndpoint, "MCP endpoint must use https or loopback http: http://x"},
        {OAuthAuthorizationError::insecureAuthorizationServerEndpoint("Token endpoint", "http://x"),
         Case::insecureAuthorizationServerEndpoint, "Token endpoint must use https: http://x"},
        {OAuthAuthorizationError::invalidRedirectURI("app:/cb"), Case::invalidRedirectURI,
         "Redirect URI must use https or loopback http and must not include fragments: app:/cb"},
        {OAuthAuthorizationError::authorizationRequestFailed(500),
         Case::authorizationRequestFailed, "Authorization request failed with status 500"},
        {OAuthAuthorizationError::authorizationResponseRedirectMismatch("a", "b"),
         Case::authorizationResponseRedirectMismatch,
         "Authorization response redirect URI mismatch. Expected a, got b"},
        {OAuthAuthorizationError::authorizationResponseStateMismatch("a", "b"),
         Case::authorizationResponseStateMismatch,
         "Authorization response state mismatch. Expected a, got b"},
        {OAuthAuthorizationError::pkceS256NotSupported({"plain", "S512"}),
         Case::pkceS256NotSupported,
         "Authorization server metadata must support PKCE S256 (advertised: plain, S512)"},
        {OAuthAuthorizationError::pkceS256NotSupported({}), Case::pkceS256NotSupported,
         "Authorization server metadata must support PKCE S256 (advertised: )"},
        {OAuthAuthorizationError::authorizationServerIssuerMismatch("a", "b"),
         Case::authorizationServerIssuerMismatch,
         "Authorization server issuer mismatch. Expected a, got b"},
        {OAuthAuthorizationError::make(Case::missingAuthorizationServer),
         Case::missingAuthorizationServer,
         "No authorization server was found in protected resource metadata"},
        {OAuthAuthorizationError::make(Case::metadataDiscoveryFailed),
         Case::metadataDiscoveryFailed, "Failed to discover protected resource metadata"},
        {OAuthAuthorizationError::make(Case::authorizationServerMetadataDiscoveryFailed),
         Case::authorizationServerMetadataDiscoveryFailed,
         "Failed to discover authorization server metadata"},
        {OAuthAuthorizationError::make(Case::tokenEndpointMissing), Case::tokenEndpointMissing,
         "Authorization server metadata is missing token_endpoint"},
        {OAuthAuthorizationError::make(Case::authorizationEndpointMissing),
         Case::authorizationEndpointMissing,
         "Authorization server metadata is missing authorization_endpoint"},
        {OAuthAuthorizationError::make(Case::tokenResponseInvalid), Case::tokenResponseInvalid,
         "Token response is invalid"},
        {OAuthAuthorizationError::make(Case::registrationInformationRequired),
         Case::registrationInformationRequired,
         "No supported client registration mechanism was available; provide pre-registered "
         "client credentials"},
        {OAuthAuthorizationError::make(Case::authorizationResponseMissingRedirectLocation),
         Case::authorizationResponseMissingRedirectLocation,
         "Authorization response is missing redirect location"},
        {OAuthAuthorizationError::make(Case::authorizationResponseMissingState),
         Case::authorizationResponseMissingState, "Authorization response is missing state"},
        {OAuthAuthorizationError::make(Case::authorizationResponseMissingCode),
         Case::authorizationResponseMissingCode,
         "Authorization response is missing the authorization code"},
        {OAuthAuthorizationError::make(Case::pkceCodeChallengeMethodsMissing),
         Case::pkceCodeChallengeMethodsMissing,
         "Authorization server metadata must include code_challenge_methods_supported for PKCE"},
        {OAuthAuthorizationError::make(Case::pkceS256Unavailable), Case::pkceS256Unavailable,
         "PKCE S256 code challenge generation is unavailable on this platform"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.errorCase(), c.expectedCase) << c.text;
        EXPECT_STREQ(c.error.what(), c.text);
    }
    const auto failed = OAuthAuthorizationError::tokenRequestFailed(401, "invalid_client");
    EXPECT_EQ(failed.statusCode(), 401);
    EXPECT_EQ(failed.oauthError(), "invalid_client");
    const auto blocked = OAuthAuthorizationError::privateIPAddressBlocked("C", "U");
    EXPECT_EQ(blocked.context(), "C");
    EXPECT_EQ(blocked.url(), "U");
}

// What a server says reaches an error text as one short line.
TEST(OAuthAuthorizationErrors, ServerTextIsCutAndFreeOfControlCharacters) {
    const std::string limit(OAuthAuthorizationError::kMaxServerTextLength, 'e');
    const struct {
        const char* name;
        std::string text;
        std::string expected;
    } cases[] = {
        {"plain", "invalid_grant", "invalid_grant"},
        {"line ends and NUL", std::string("bad\r\nX-Injected: 1\0!", 20), "bad  X-Injected: 1 !"},
        {"DEL and tab", "a\x7f\tb", "a  b"},
        {"at the limit", limit, limit},
        {"beyond the limit", limit + "tail", limit + "..."},
        // A cut never splits a UTF-8 sequence: "\xc3\xa9" straddling the limit goes whole.
        {"UTF-8 at the limit", limit.substr(1) + "\xc3\xa9", limit.substr(1) + "..."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OAuthAuthorizationError::serverText(c.text), c.expected) << c.name;
    }
    const auto failed = OAuthAuthorizationError::tokenRequestFailed(400, limit + "\n" + limit);
    EXPECT_EQ(failed.oauthError(), limit + "...");
    EXPECT_EQ(std::string(failed.what()),
              "Token request failed with status 400 (oauth_error: " + limit + "...)");
}

}  // namespace
}  // namespace mcp
