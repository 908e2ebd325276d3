// The token endpoint client: one token request of RFC 6749 (a POST with a form body, section
// 3.2) through the project's HTTP client, turned into an OAuthTokenResponse or an error. It
// attaches the client's credentials, checks the answer (2xx, a non-empty access token, token
// type Bearer) and keeps no state between requests.
//
// The request: 60-second timeouts, "Content-Type: application/x-www-form-urlencoded", "Accept:
// application/json", whatever the client authentication adds, redirects not followed (a 3xx
// answer is a failure with its status). The body: parameters sorted by name, names and values
// percent-encoded outside the unreserved characters (formURLEncoded of MCP/FormEncoding.h).
//
// Errors: OAuthAuthorizationError tokenRequestFailed (status outside 200...299, with the answer's
// "error" when its body says one) and tokenResponseInvalid; DecodingError for a success body that
// is no token response; fw::http::Error from the HTTP client; the client authentication's own.
//
// An immutable value: requests may run at once; each runs on the HTTP client's executor.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <map>
#include <string>

#include "MCP/OAuth/OAuthConfiguration.h"
#include "MCP/OAuth/OAuthHTTPRequest.h"
#include "MCP/OAuth/OAuthModels.h"
#include "MCP/OAuth/OAuthURLValidator.h"
#include "platform/http/Client.h"

namespace mcp {

class OAuthTokenRequesting {
public:
    virtual ~OAuthTokenRequesting() = default;
    virtual boost::asio::awaitable<OAuthTokenResponse> requestToken(
        std::map<std::string, std::string> parameters, URL tokenEndpoint,
        TokenEndpointAuthentication authentication, fw::http::Client& session) const = 0;
};

class OAuthTokenEndpointClient : public OAuthTokenRequesting {
public:
    static constexpr std::chrono::seconds kTimeout = kOAuthRequestTimeout;
    // Larger answers are no token responses.
    static constexpr std::size_t kMaxResponseBytes = std::size_t(1) << 20;

    explicit OAuthTokenEndpointClient(OAuthURLValidator urlValidator = OAuthURLValidator())
        : urlValidator(urlValidator) {}

    // Kept for the authorizer, which validates the token endpoint before it asks for a token.
    OAuthURLValidator urlValidator;

    boost::asio::awaitable<OAuthTokenResponse> requestToken(
        std::map<std::string, std::string> parameters, URL tokenEndpoint,
        TokenEndpointAuthentication authentication, fw::http::Client& session) const override;
};

}  // namespace mcp
