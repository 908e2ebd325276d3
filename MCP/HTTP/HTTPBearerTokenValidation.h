// Bearer-token protection of an MCP endpoint (RFC 6750, RFC 9728), as two validators for an HTTP
// server transport's pipeline (MCP/HTTPRequestValidation.h):
//
//   ProtectedResourceMetadataValidator  answers GET /.well-known/oauth-protected-resource (and
//                                       any path under it) with the protected-resource metadata
//                                       document, 200 application/json
//   BearerTokenValidator                checks the "Authorization" header of every other request
//                                       and refuses with a Bearer challenge in "WWW-Authenticate"
//                                       that points to that document
//
// The token itself is judged by a function the embedding server supplies (introspection, signed
// tokens, a table); the validator then refuses a token whose expiry has come, and one whose
// audience names neither this resource nor a location above it (an audience of the origin alone
// covers every path on it). Scopes are the supplied function's business.
//
//   no Authorization header   401 "Unauthorized"                  challenge without error
//   header not Bearer <token> 400 "Bad Request: <why>"            no challenge
//   malformedRequest          400 "Bad Request: <description>"    no challenge
//   invalidToken              401 "Unauthorized"                  error="invalid_token"
//   insufficientScope         403 "Forbidden: Insufficient scope" error="insufficient_scope",
//                                                                 scope=<the required scopes>
//   expired                   401 "Unauthorized"                  "Token has expired"
//   audience mismatch         401 "Unauthorized"                  "Token audience mismatch"
//
// Neither is in the transports' default pipelines. withBearerTokenProtection() makes one that
// holds both: the document first (it is public, and a GET of it accepts no event stream), the
// bearer check right after the Host and Origin checks.
//
//   auto metadata = std::make_shared<ProtectedResourceMetadataValidator>(document);
//   auto bearer = std::make_shared<BearerTokenValidator>(metadataURL, resourceURL, judgeToken);
//   options.validationPipeline = withBearerTokenProtection(
//       *StandardValidationPipeline::statefulDefault(), metadata, bearer);
//
// Immutable values; the supplied functions are called from any thread, concurrently.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "MCP/HTTP/HTTPRequestValidation.h"
#include "MCP/OAuth/OAuthDiscovery.h"
#include "MCP/OAuth/OAuthModels.h"

namespace mcp {

// What the embedding server's function says of a token.
class BearerTokenValidationResult {
public:
    enum class Kind { valid, insufficientScope, invalidToken, malformedRequest };

    static BearerTokenValidationResult valid(BearerTokenInfo info);
    static BearerTokenValidationResult insufficientScope(
        std::set<std::string> requiredScopes,
        std::optional<std::string> errorDescription = std::nullopt);
    static BearerTokenValidationResult invalidToken(
        std::optional<std::string> errorDescription = std::nullopt);
    static BearerTokenValidationResult malformedRequest(
        std::optional<std::string> errorDescription = std::nullopt);

    Kind kind() const noexcept { return kind_; }
    // The token's information (valid).
    const std::optional<BearerTokenInfo>& info() const noexcept { return info_; }
    // The scopes the request needs (insufficientScope).
    const std::set<std::string>& requiredScopes() const noexcept { return requiredScopes_; }
    const std::optional<std::string>& errorDescription() const noexcept {
        return errorDescription_;
    }

    friend bool operator==(const BearerTokenValidationResult&,
                           const BearerTokenValidationResult&) = default;

private:
    explicit BearerTokenValidationResult(Kind kind) : kind_(kind) {}

    Kind kind_;
    std::optional<BearerTokenInfo> info_;
    std::set<std::string> requiredScopes_;
    std::optional<std::string> errorDescription_;
};

// The token of an "Authorization" header value, or why the value is refused.
struct ParsedBearerToken {
    std::string token;                   // empty when refused
    std::optional<std::string> refusal;  // "Authorization scheme must be Bearer", ...
};

// "Bearer <token>", the scheme in any letter case, white space around ignored; the token must
// hold no white space.
ParsedBearerToken parseBearerToken(std::string_view headerValue);

// The "WWW-Authenticate" value: Bearer resource_metadata="...", then scope (ascending, blank-
// separated; only when there are scopes), error and error_description (only when not empty).
// Values are quoted strings with "\" and '"' escaped; control characters (CR and LF among them)
// become blanks, so the value is always a single header line.
std::string bearerChallenge(const URL& resourceMetadataURL,
                            const std::optional<std::set<std::string>>& scopes,
                            const std::optional<std::string>& error,
                            const std::optional<std::string>& errorDescription);

class ProtectedResourceMetadataValidator final : public HTTPRequestValidator {
public:
    static constexpr std::string_view kPath = "/.well-known/oauth-protected-resource";

    // The document is encoded once, here.
    explicit ProtectedResourceMetadataValidator(const OAuthProtectedResourceServerMetadata& metadata);

    const std::string& encodedMetadata() const noexcept { return encodedMetadata_; }

    std::optional<HTTPResponse> validate(const HTTPRequest& request,
                                         const HTTPValidationContext& context) const override;

private:
    std::string encodedMetadata_;
};

class BearerTokenValidator final : public HTTPRequestValidator {
public:
    using TokenValidator = std::function<BearerTokenValidationResult(
        const std::string& token, const HTTPRequest&, const HTTPValidationContext&)>;
    // The scopes a challenge names when the refusal carries no required scopes.
    using ChallengeScopeProvider = std::function<std::optional<std::set<std::string>>(
        const HTTPRequest&, const HTTPValidationContext&)>;
    using AuthenticationRequirement =
        std::function<bool(const HTTPRequest&, const HTTPValidationContext&)>;

    // The current time, against which token expiries are judged.
    using Clock = std::function<Instant()>;

    // Every request needs a token when `requiresAuthentication` is empty; the default URL rules
    // match audiences when `metadataDiscovery` is null; the system clock judges expiry when
    // `now` is empty.
    BearerTokenValidator(URL resourceMetadataURL, URL resourceIdentifier,
                         TokenValidator tokenValidator,
                         ChallengeScopeProvider challengeScopeProvider = {},
                         AuthenticationRequirement requiresAuthentication = {},
                         std::shared_ptr<const OAuthMetadataDiscovering> metadataDiscovery = nullptr,
                         Clock now = {});

    const URL& resourceMetadataURL() const noexcept { return resourceMetadataURL_; }
    const URL& resourceIdentifier() const noexcept { return resourceIdentifier_; }

    std::optional<HTTPResponse> validate(const HTTPRequest& request,
                                         const HTTPValidationContext& context) const override;

private:
    HTTPResponse challenge(int status, std::string text, const HTTPValidationContext& context,
                           const std::optional<std::set<std::string>>& scopes,
                           std::optional<std::string> error,
                           std::optional<std::string> errorDescription) const;

    URL resourceMetadataURL_;
    URL resourceIdentifier_;
    TokenValidator tokenValidator_;
    ChallengeScopeProvider challengeScopeProvider_;
    AuthenticationRequirement requiresAuthentication_;
    std::shared_ptr<const OAuthMetadataDiscovering> metadataDiscovery_;
    Clock now_;
};

// `base`'s validators with `metadata` first and `bearer` after the leading Host and Origin checks.
std::shared_ptr<const StandardValidationPipeline> withBearerTokenProtection(
    const StandardValidationPipeline& base,
    std::shared_ptr<const ProtectedResourceMetadataValidator> metadata,
    std::shared_ptr<const BearerTokenValidator> bearer);

}  // namespace mcp
