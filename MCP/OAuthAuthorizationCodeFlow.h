// The front-channel half of the OAuth 2 authorization-code grant with PKCE (RFC 6749 section
// 4.1, RFC 7636, RFC 8707 resource indicators): the authorization request URL, the redirect that
// carries the code, and the checks of that redirect. With an OAuthAuthorizationDelegate the user
// agent follows the URL; without one the flow sends the request itself and expects the
// authorization server to answer at once with the redirect, which it never follows.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <memory>
#include <string>

#include "MCP/OAuthConfiguration.h"
#include "MCP/URL.h"

namespace fw::http {
class Client;
}

namespace mcp {

class OAuthAuthorizationCodeFlowing {
public:
    virtual ~OAuthAuthorizationCodeFlowing() = default;

    // The code carried by the URL the authorization response redirected to, after checking it
    // against the expected redirect URI and state.
    virtual std::string authorizationCode(const URL& redirectedTo, const URL& redirectURI,
                                          const std::string& state) const = 0;

    // Obtains the redirect for `authorizationURL` (through the delegate, or headless) and
    // returns its code.
    virtual boost::asio::awaitable<std::string> authorize(
        URL authorizationURL, URL redirectURI, std::string state,
        std::shared_ptr<OAuthAuthorizationDelegate> delegate, fw::http::Client& session) const = 0;
};

}  // namespace mcp
