// OAuthAuthorizationError: the one error of every OAuth component, a case with its payload and a
// fixed user-facing text (what()). Callers tell failures apart by `errorCase()`; the values are
// never changed after creation. HTTPAuthenticationChallengeError: a 401 or 403 answer that the
// HTTP client transport hands to its authorizer, status and header fields, no text of its own.
//
// Plain values: safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mcp {

class OAuthAuthorizationError : public std::exception {
public:
    enum class Case {
        // With a payload.
        tokenRequestFailed,
        invalidResourceURI,
        invalidClientIDMetadataURL,
        protectedResourceMismatch,
        cimdNotSupported,
        privateIPAddressBlocked,
        insecureOAuthEndpoint,
        insecureAuthorizationServerEndpoint,
        invalidRedirectURI,
        authorizationRequestFailed,
        authorizationResponseRedirectMismatch,
        authorizationResponseStateMismatch,
        pkceS256NotSupported,
        authorizationServerIssuerMismatch,
        authorizationResponseError,
        clientCredentialsBoundToAnotherServer,
        // Without a payload.
        missingAuthorizationServer,
        metadataDiscoveryFailed,
        authorizationServerMetadataDiscoveryFailed,
        tokenEndpointMissing,
        authorizationEndpointMissing,
        tokenResponseInvalid,
        registrationInformationRequired,
        authorizationResponseMissingRedirectLocation,
        authorizationResponseMissingState,
        authorizationResponseMissingCode,
        pkceCodeChallengeMethodsMissing,
        pkceS256Unavailable,
        authorizationResponseMissingIssuer,
    };

    static OAuthAuthorizationError tokenRequestFailed(std::int64_t statusCode,
                                                      std::optional<std::string> oauthError);
    static OAuthAuthorizationError invalidResourceURI(std::string text);
    static OAuthAuthorizationError invalidClientIDMetadataURL(std::string text);
    static OAuthAuthorizationError protectedResourceMismatch(std::string expected,
                                                             std::string actual);
    static OAuthAuthorizationError cimdNotSupported(std::string clientID);
    static OAuthAuthorizationError privateIPAddressBlocked(std::string context, std::string url);
    static OAuthAuthorizationError insecureOAuthEndpoint(std::string context, std::string url);
    static OAuthAuthorizationError insecureAuthorizationServerEndpoint(std::string context,
                                                                       std::string url);
    static OAuthAuthorizationError invalidRedirectURI(std::string text);
    static OAuthAuthorizationError authorizationRequestFailed(std::int64_t statusCode);
    static OAuthAuthorizationError authorizationResponseRedirectMismatch(std::string expected,
                                                                         std::string actual);
    static OAuthAuthorizationError authorizationResponseStateMismatch(std::string expected,
                                                                      std::string actual);
    static OAuthAuthorizationError pkceS256NotSupported(std::vector<std::string> advertisedMethods);
    static OAuthAuthorizationError authorizationServerIssuerMismatch(std::string expected,
                                                                     std::string actual);
    // The authorization server answered the authorization request with an error (RFC 6749
    // section 4.1.2.1): its code and, when given, its description.
    static OAuthAuthorizationError authorizationResponseError(
        std::string oauthError, std::optional<std::string> errorDescription);
    // Pre-registered client credentials belong to `boundServer`; `otherServer` does not get them.
    static OAuthAuthorizationError clientCredentialsBoundToAnotherServer(std::string boundServer,
                                                                         std::string otherServer);
    // The cases without a payload.
    static OAuthAuthorizationError make(Case errorCase);

    Case errorCase() const noexcept { return case_; }
    // The payload, by the names of the cases that carry it; empty or absent for other cases.
    std::int64_t statusCode() const noexcept { return statusCode_; }
    // The OAuth error code of tokenRequestFailed and authorizationResponseError.
    const std::optional<std::string>& oauthError() const noexcept { return oauthError_; }
    // The single text of invalidResourceURI, invalidClientIDMetadataURL, invalidRedirectURI and
    // cimdNotSupported (the client identifier).
    const std::string& text() const noexcept { return first_; }
    // expected() and actual() also name the bound and the other server of
    // clientCredentialsBoundToAnotherServer.
    const std::string& expected() const noexcept { return first_; }
    const std::string& actual() const noexcept { return second_; }
    const std::string& context() const noexcept { return first_; }
    const std::string& url() const noexcept { return second_; }
    const std::vector<std::string>& advertisedMethods() const noexcept { return methods_; }

    // The user-facing text. What a server or a redirect supplied appears in it as serverText()
    // makes it.
    const std::string& errorDescription() const noexcept { return description_; }

    // Longer server-supplied text is cut to this many bytes.
    static constexpr std::size_t kMaxServerTextLength = 256;
    // `text` fit for an error text: control characters (line ends among them) replaced by
    // blanks, cut after kMaxServerTextLength bytes (never inside a UTF-8 sequence) and then
    // marked with "...".
    static std::string serverText(std::string_view text);
    const char* what() const noexcept override { return description_.c_str(); }

private:
    OAuthAuthorizationError(Case errorCase, std::string description)
        : case_(errorCase), description_(std::move(description)) {}

    Case case_;
    std::string description_;
    std::int64_t statusCode_ = 0;
    std::optional<std::string> oauthError_;
    std::string first_;
    std::string second_;
    std::vector<std::string> methods_;
};

class HTTPAuthenticationChallengeError : public std::exception {
public:
    HTTPAuthenticationChallengeError(std::int64_t statusCode,
                                     std::map<std::string, std::string> headers)
        : statusCode(statusCode), headers(std::move(headers)) {}

    std::int64_t statusCode;
    std::map<std::string, std::string> headers;

    const char* what() const noexcept override { return "HTTPAuthenticationChallengeError"; }
};

}  // namespace mcp
