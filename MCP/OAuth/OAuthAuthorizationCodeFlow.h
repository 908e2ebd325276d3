// The front-channel half of the OAuth 2 authorization-code grant with PKCE (RFC 6749 section
// 4.1, RFC 7636, RFC 8707 resource indicators): the authorization request URL, the redirect that
// carries the code, and the checks of that redirect. With an OAuthAuthorizationDelegate the user
// agent follows the URL; without one the flow sends the request itself and expects the
// authorization server to answer at once with the redirect, which it never follows.
//
// OAuthAuthorizationCodeFlow keeps no state: safe from any thread. authorize() runs on the HTTP
// client's executor; cancelling it cancels its one request.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "MCP/OAuth/OAuthConfiguration.h"
#include "MCP/OAuth/URL.h"

namespace fw::http {
class Client;
}

namespace mcp {

class OAuthScopeSelecting;

// Who must have answered an authorization request (RFC 9207): the issuer identifier the request
// went to, and whether that server announces the "iss" response parameter, which it then must
// send.
struct AuthorizationResponseIssuer {
    std::string issuer;
    bool required = false;
};

class OAuthAuthorizationCodeFlowing {
public:
    virtual ~OAuthAuthorizationCodeFlowing() = default;

    // The code carried by the URL the authorization response redirected to, after checking it
    // against the expected redirect URI, state and, when given, issuer.
    virtual std::string authorizationCode(
        const URL& redirectedTo, const URL& redirectURI, const std::string& state,
        const std::optional<AuthorizationResponseIssuer>& issuer = std::nullopt) const = 0;

    // Obtains the redirect for `authorizationURL` (through the delegate, or headless) and
    // returns its code.
    virtual boost::asio::awaitable<std::string> authorize(
        URL authorizationURL, URL redirectURI, std::string state,
        std::optional<AuthorizationResponseIssuer> issuer,
        std::shared_ptr<OAuthAuthorizationDelegate> delegate, fw::http::Client& session) const = 0;
};

class OAuthAuthorizationCodeFlow : public OAuthAuthorizationCodeFlowing {
public:
    // The authorization request URL: the endpoint with its query replaced by response_type=code,
    // client_id, redirect_uri, state, resource, code_challenge, code_challenge_method=S256 and,
    // when `scopes` gives a parameter, scope; in that order, every byte outside the unreserved
    // characters percent-encoded (a blank as %20, "+" as %2B). Throws OAuthAuthorizationError
    // authorizationEndpointMissing when there is no endpoint.
    static URL authorizationURL(const std::optional<URL>& authorizationEndpoint,
                                const URL& resource, const URL& redirectURI,
                                const std::string& clientID, const std::string& codeChallenge,
                                const std::optional<std::set<std::string>>& scopes,
                                const std::string& state, const OAuthScopeSelecting& scopeSelector);

    // What must agree between a redirect and the expected redirect URI: lower-cased scheme and
    // host, the port (443 for https and 80 for http when none is written, else -1) and the path
    // ("/" when empty), as scheme "://" host ":" port path.
    static std::string redirectComparisonKey(const URL& url);

    // Checks in this order: the redirect target (authorizationResponseRedirectMismatch, whose
    // text names the target without its query, so that no code appears in it); an "error" item,
    // the server's refusal (authorizationResponseError with "error_description"); the first
    // query item named "state" (authorizationResponseMissingState when absent or empty,
    // authorizationResponseStateMismatch unless it equals `state` exactly); the first named
    // "iss" when an issuer is given: it must equal the issuer exactly
    // (authorizationServerIssuerMismatch) and be there when the issuer requires it
    // (authorizationResponseMissingIssuer); then the first named "code"
    // (authorizationResponseMissingCode). Query items are form-decoded ("+" is a blank).
    // Nothing in the fragment counts.
    std::string authorizationCode(
        const URL& redirectedTo, const URL& redirectURI, const std::string& state,
        const std::optional<AuthorizationResponseIssuer>& issuer = std::nullopt) const override;

    // With a delegate: its redirect URL, checked. Headless: one GET of the authorization URL
    // ("Accept: text/html, application/json", 60-second timeouts), never following a redirect;
    // a 3xx answer's Location, taken on its own, is checked. Any other answer fails:
    // authorizationRequestFailed for 400 and above, else
    // authorizationResponseMissingRedirectLocation (also for a 3xx without a usable Location).
    // The answer's body is never read. Errors of the delegate and of the HTTP client pass
    // through.
    boost::asio::awaitable<std::string> authorize(
        URL authorizationURL, URL redirectURI, std::string state,
        std::optional<AuthorizationResponseIssuer> issuer,
        std::shared_ptr<OAuthAuthorizationDelegate> delegate,
        fw::http::Client& session) const override;
};

}  // namespace mcp
