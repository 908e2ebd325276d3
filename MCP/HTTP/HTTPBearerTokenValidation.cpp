#include "MCP/HTTP/HTTPBearerTokenValidation.h"

#include <algorithm>

#include "MCP/JSON/JsonWriter.h"
#include "MCP/OAuth/OAuthDiscoveryRules.h"
#include "MCP/OAuth/detail/UnicodeWhiteSpace.h"

namespace mcp {

namespace {

using detail::whiteSpaceLengthAt;

std::string_view trimmed(std::string_view text) {
    std::size_t begin = 0;
    while (std::size_t length = whiteSpaceLengthAt(text, begin)) {
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // The last character begins at the last byte that is no UTF-8 continuation byte.
        std::size_t last = end - 1;
        while (last > begin && (static_cast<unsigned char>(text[last]) & 0xC0) == 0x80) {
            --last;
        }
        const std::size_t length = whiteSpaceLengthAt(text, last);
        if (length == 0 || last + length != end) {
            break;
        }
        end = last;
    }
    return text.substr(begin, end - begin);
}

// The offset of the first white-space character of `text`, or npos.
std::size_t firstWhiteSpace(std::string_view text) {
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (whiteSpaceLengthAt(text, at) != 0) {
            return at;
        }
    }
    return std::string_view::npos;
}

// A quoted-string value: control characters become blanks, then "\" and '"' are escaped.
void appendQuoted(std::string& out, std::string_view value) {
    out += '"';
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c == 0x7F) {
            out += ' ';
        } else if (c == 0xC2 && i + 1 < value.size() &&
                   static_cast<unsigned char>(value[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(value[i + 1]) <= 0x9F) {
            out += ' ';  // U+0080...U+009F
            ++i;
        } else {
            if (c == '\\' || c == '"') {
                out += '\\';
            }
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

HTTPResponse refusal(int status, std::string text, const HTTPValidationContext& context,
                     HTTPHeaders headers = {}) {
    return HTTPResponse::error(status, MCPError::invalidRequest(std::move(text)),
                               context.sessionID, std::move(headers));
}

}  // namespace

BearerTokenValidationResult BearerTokenValidationResult::valid(BearerTokenInfo info) {
    BearerTokenValidationResult result(Kind::valid);
    result.info_.emplace(std::move(info));
    return result;
}

BearerTokenValidationResult BearerTokenValidationResult::insufficientScope(
    std::set<std::string> requiredScopes, std::optional<std::string> errorDescription) {
    BearerTokenValidationResult result(Kind::insufficientScope);
    result.requiredScopes_ = std::move(requiredScopes);
    result.errorDescription_ = std::move(errorDescription);
    return result;
}

BearerTokenValidationResult BearerTokenValidationResult::invalidToken(
    std::optional<std::string> errorDescription) {
    BearerTokenValidationResult result(Kind::invalidToken);
    result.errorDescription_ = std::move(errorDescription);
    return result;
}

BearerTokenValidationResult BearerTokenValidationResult::malformedRequest(
    std::optional<std::string> errorDescription) {
    BearerTokenValidationResult result(Kind::malformedRequest);
    result.errorDescription_ = std::move(errorDescription);
    return result;
}

ParsedBearerToken parseBearerToken(std::string_view headerValue) {
    auto refuse = [](const char* text) { return ParsedBearerToken{{}, std::string(text)}; };
    const std::string_view value = trimmed(headerValue);
    if (value.empty()) {
        return refuse("Authorization header is empty");
    }
    const std::size_t gap = firstWhiteSpace(value);
    if (gap == std::string_view::npos) {
        return refuse("Authorization header must be in the form: Bearer <token>");
    }
    if (!fw::http::Headers::sameName(value.substr(0, gap), "Bearer")) {
        return refuse("Authorization scheme must be Bearer");
    }
    const std::string_view token = trimmed(value.substr(gap));
    if (token.empty()) {
        return refuse("Bearer token is empty");
    }
    if (firstWhiteSpace(token) != std::string_view::npos) {
        return refuse("Bearer token must not contain whitespace");
    }
    return ParsedBearerToken{std::string(token), std::nullopt};
}

std::string bearerChallenge(const URL& resourceMetadataURL,
                            const std::optional<std::set<std::string>>& scopes,
                            const std::optional<std::string>& error,
                            const std::optional<std::string>& errorDescription) {
    std::string value = "Bearer resource_metadata=";
    appendQuoted(value, resourceMetadataURL.absoluteString());
    if (scopes && !scopes->empty()) {
        std::string joined;
        for (const auto& scope : *scopes) {  // a std::set is in ascending order already
            if (!joined.empty()) {
                joined += ' ';
            }
            joined += scope;
        }
        value += ", scope=";
        appendQuoted(value, joined);
    }
    if (error) {
        value += ", error=";
        appendQuoted(value, *error);
    }
    if (errorDescription && !errorDescription->empty()) {
        value += ", error_description=";
        appendQuoted(value, *errorDescription);
    }
    return value;
}

ProtectedResourceMetadataValidator::ProtectedResourceMetadataValidator(
    const OAuthProtectedResourceServerMetadata& metadata) {
    try {
        encodedMetadata_ = toJson(encodeValue(metadata));
    } catch (const std::exception&) {
        encodedMetadata_.clear();  // text that is no UTF-8
    }
}

std::optional<HTTPResponse> ProtectedResourceMetadataValidator::validate(
    const HTTPRequest& request, const HTTPValidationContext& context) const {
    if (context.httpMethod != "GET" || !request.path) {
        return std::nullopt;
    }
    const std::string& path = *request.path;
    if (path != kPath && !(path.starts_with(kPath) && path[kPath.size()] == '/')) {
        return std::nullopt;
    }
    HTTPHeaders headers;
    headers.set(HTTPHeaderName::contentType, "application/json");
    return HTTPResponse::data(encodedMetadata_, std::move(headers));
}

BearerTokenValidator::BearerTokenValidator(
    URL resourceMetadataURL, URL resourceIdentifier, TokenValidator tokenValidator,
    ChallengeScopeProvider challengeScopeProvider, AuthenticationRequirement requiresAuthentication,
    std::shared_ptr<const OAuthMetadataDiscovering> metadataDiscovery, Clock now)
    : resourceMetadataURL_(std::move(resourceMetadataURL)),
      resourceIdentifier_(std::move(resourceIdentifier)),
      tokenValidator_(std::move(tokenValidator)),
      challengeScopeProvider_(std::move(challengeScopeProvider)),
      requiresAuthentication_(std::move(requiresAuthentication)),
      metadataDiscovery_(metadataDiscovery
                             ? std::move(metadataDiscovery)
                             : std::make_shared<const DefaultOAuthMetadataDiscovery>()),
      now_(now ? std::move(now) : Clock([] { return Instant::now(); })) {}

HTTPResponse BearerTokenValidator::challenge(int status, std::string text,
                                             const HTTPValidationContext& context,
                                             const std::optional<std::set<std::string>>& scopes,
                                             std::optional<std::string> error,
                                             std::optional<std::string> errorDescription) const {
    HTTPHeaders headers;
    headers.set(HTTPHeaderName::wwwAuthenticate,
                bearerChallenge(resourceMetadataURL_, scopes, error, errorDescription));
    return refusal(status, std::move(text), context, std::move(headers));
}

std::optional<HTTPResponse> BearerTokenValidator::validate(
    const HTTPRequest& request, const HTTPValidationContext& context) const {
    if (requiresAuthentication_ && !requiresAuthentication_(request, context)) {
        return std::nullopt;
    }
    auto providedScopes = [&]() -> std::optional<std::set<std::string>> {
        return challengeScopeProvider_ ? challengeScopeProvider_(request, context) : std::nullopt;
    };
    auto unauthorized = [&](std::optional<std::string> error,
                            std::optional<std::string> description) {
        return challenge(401, "Unauthorized", context, providedScopes(), std::move(error),
                         std::move(description));
    };

    auto header = request.header(HTTPHeaderName::authorization);
    if (!header) {
        return unauthorized(std::nullopt, std::nullopt);
    }
    ParsedBearerToken parsed = parseBearerToken(*header);
    if (parsed.refusal) {
        return refusal(400, "Bad Request: " + *parsed.refusal, context);
    }

    BearerTokenValidationResult result = tokenValidator_(parsed.token, request, context);
    switch (result.kind()) {
        case BearerTokenValidationResult::Kind::malformedRequest:
            return refusal(400, "Bad Request: " + result.errorDescription().value_or(
                                                      "Malformed authorization request"),
                           context);
        case BearerTokenValidationResult::Kind::invalidToken:
            return unauthorized("invalid_token", result.errorDescription());
        case BearerTokenValidationResult::Kind::insufficientScope:
            return challenge(403, "Forbidden: Insufficient scope", context,
                             result.requiredScopes(), "insufficient_scope",
                             result.errorDescription());
        case BearerTokenValidationResult::Kind::valid:
            break;
    }

    const BearerTokenInfo& info = *result.info();
    if (info.expiresAt && *info.expiresAt <= now_()) {
        return unauthorized("invalid_token", "Token has expired");
    }
    if (info.audience) {
        const bool matches =
            std::any_of(info.audience->begin(), info.audience->end(), [&](const std::string& entry) {
                auto url = URL::parse(entry);
                return url && metadataDiscovery_->resourceMatches(*url, resourceIdentifier_);
            });
        if (!matches) {
            return unauthorized("invalid_token", "Token audience mismatch");
        }
    }
    return std::nullopt;
}

std::shared_ptr<const StandardValidationPipeline> withBearerTokenProtection(
    const StandardValidationPipeline& base,
    std::shared_ptr<const ProtectedResourceMetadataValidator> metadata,
    std::shared_ptr<const BearerTokenValidator> bearer) {
    std::vector<std::shared_ptr<const HTTPRequestValidator>> validators;
    validators.reserve(base.validators().size() + 2);
    validators.push_back(std::move(metadata));
    auto rest = base.validators().begin();
    while (rest != base.validators().end() &&
           dynamic_cast<const OriginValidator*>(rest->get()) != nullptr) {
        validators.push_back(*rest++);
    }
    validators.push_back(std::move(bearer));
    validators.insert(validators.end(), rest, base.validators().end());
    return std::make_shared<const StandardValidationPipeline>(std::move(validators));
}

}  // namespace mcp
