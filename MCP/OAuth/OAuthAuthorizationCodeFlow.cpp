#include "MCP/OAuth/OAuthAuthorizationCodeFlow.h"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>
#include <utility>

#include "MCP/OAuth/OAuthAuthorizationURL.h"
#include "MCP/OAuth/OAuthDiscovery.h"
#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/OAuthHTTPRequest.h"
#include "MCP/OAuth/detail/ASCIIText.h"
#include "platform/http/Client.h"

namespace mcp {

namespace {

// The values of the first query items named exactly "state" and "code", decoded as the
// form-encoded response parameters they are (RFC 6749 appendix B: "+" is a blank, a "+" itself
// comes as %2B). An item without "=" has no value: it counts as missing, as an empty one does.
struct ResponseParameters {
    std::optional<std::string> state;
    std::optional<std::string> code;
    std::optional<std::string> issuer;
    std::optional<std::string> error;
    std::optional<std::string> errorDescription;
};

ResponseParameters responseParameters(const URL& url) {
    ResponseParameters found;
    auto parsed = boost::urls::parse_uri_reference(url.absoluteString());
    if (!parsed) {
        return found;
    }
    bool stateSeen = false;
    bool codeSeen = false;
    bool issuerSeen = false;
    bool errorSeen = false;
    bool descriptionSeen = false;
    for (const auto& item : parsed->params(boost::urls::encoding_opts(true, false, false))) {
        const auto takeFirst = [&item](bool& seen, std::optional<std::string>& value) {
            if (!seen && item.has_value) {
                value = item.value;
            }
            seen = true;
        };
        if (item.key == "state") {
            takeFirst(stateSeen, found.state);
        } else if (item.key == "code") {
            takeFirst(codeSeen, found.code);
        } else if (item.key == "iss") {
            takeFirst(issuerSeen, found.issuer);
        } else if (item.key == "error") {
            takeFirst(errorSeen, found.error);
        } else if (item.key == "error_description") {
            takeFirst(descriptionSeen, found.errorDescription);
        }
    }
    return found;
}

OAuthAuthorizationError missingRedirectLocation() {
    return OAuthAuthorizationError::make(
        OAuthAuthorizationError::Case::authorizationResponseMissingRedirectLocation);
}

}  // namespace

URL OAuthAuthorizationCodeFlow::authorizationURL(const std::optional<URL>& authorizationEndpoint,
                                                 const URL& resource, const URL& redirectURI,
                                                 const std::string& clientID,
                                                 const std::string& codeChallenge,
                                                 const std::optional<std::set<std::string>>& scopes,
                                                 const std::string& state,
                                                 const OAuthScopeSelecting& scopeSelector) {
    if (!authorizationEndpoint) {
        throw OAuthAuthorizationError::make(
            OAuthAuthorizationError::Case::authorizationEndpointMissing);
    }
    return makeAuthorizationURL(*authorizationEndpoint, resource, redirectURI, clientID,
                                codeChallenge, scopes, state, scopeSelector);
}

std::string OAuthAuthorizationCodeFlow::redirectComparisonKey(const URL& url) {
    const std::string scheme = asciiLowercased(url.scheme().value_or(""));
    int port = -1;
    if (url.port()) {
        port = *url.port();
    } else if (scheme == "https") {
        port = 443;
    } else if (scheme == "http") {
        port = 80;
    }
    return scheme + "://" + asciiLowercased(url.host().value_or("")) + ":" + std::to_string(port) +
           (url.path().empty() ? std::string("/") : url.path());
}

std::string OAuthAuthorizationCodeFlow::authorizationCode(
    const URL& redirectedTo, const URL& redirectURI, const std::string& state,
    const std::optional<AuthorizationResponseIssuer>& issuer) const {
    // The target first: a code meant for another address is never looked at, nor named in the
    // error text.
    if (redirectComparisonKey(redirectedTo) != redirectComparisonKey(redirectURI)) {
        const std::string& text = redirectedTo.absoluteString();
        throw OAuthAuthorizationError::authorizationResponseRedirectMismatch(
            redirectURI.absoluteString(), text.substr(0, text.find_first_of("?#")));
    }
    ResponseParameters received = responseParameters(redirectedTo);
    if (received.error) {
        throw OAuthAuthorizationError::authorizationResponseError(
            std::move(*received.error), std::move(received.errorDescription));
    }
    const auto& receivedState = received.state;
    if (!receivedState || receivedState->empty()) {
        throw OAuthAuthorizationError::make(
            OAuthAuthorizationError::Case::authorizationResponseMissingState);
    }
    if (*receivedState != state) {
        throw OAuthAuthorizationError::authorizationResponseStateMismatch(state, *receivedState);
    }
    if (issuer) {
        // RFC 9207: a response that names another issuer came from another server (a mix-up).
        if (received.issuer && *received.issuer != issuer->issuer) {
            throw OAuthAuthorizationError::authorizationServerIssuerMismatch(issuer->issuer,
                                                                             *received.issuer);
        }
        if (!received.issuer && issuer->required) {
            throw OAuthAuthorizationError::make(
                OAuthAuthorizationError::Case::authorizationResponseMissingIssuer);
        }
    }
    if (!received.code || received.code->empty()) {
        throw OAuthAuthorizationError::make(
            OAuthAuthorizationError::Case::authorizationResponseMissingCode);
    }
    return std::move(*received.code);
}

boost::asio::awaitable<std::string> OAuthAuthorizationCodeFlow::authorize(
    URL authorizationURL, URL redirectURI, std::string state,
    std::optional<AuthorizationResponseIssuer> issuer,
    std::shared_ptr<OAuthAuthorizationDelegate> delegate, fw::http::Client& session) const {
    if (delegate) {
        const URL redirectedTo = co_await delegate->redirectURL(authorizationURL);
        co_return authorizationCode(redirectedTo, redirectURI, state, issuer);
    }

    // Redirects are not followed: the redirect itself is the answer.
    fw::http::Request request =
        makeOAuthRequest("GET", authorizationURL, "text/html, application/json");
    std::optional<std::string> location;
    int status = 0;
    {
        // Only the head counts; the body is dropped unread, which closes the connection.
        const fw::http::Response response = co_await session.send(std::move(request));
        status = response.status;
        location = response.headers.get("Location");
    }
    if (status < 300 || status > 399) {
        if (status >= 400) {
            throw OAuthAuthorizationError::authorizationRequestFailed(status);
        }
        throw missingRedirectLocation();
    }
    if (!location || location->empty()) {
        throw missingRedirectLocation();
    }
    const auto redirectedTo = URL::parse(*location);
    if (!redirectedTo) {
        throw missingRedirectLocation();
    }
    co_return authorizationCode(*redirectedTo, redirectURI, state, issuer);
}

}  // namespace mcp
