// HTTPClientAuthorizer: what the HTTP client transport asks of an authorization component. The
// transport holds one optionally; without one its requests go out without authorization.
//
// For every POST exchange and every attempt at the GET event stream the transport calls
// validateEndpoint() and then awaits prepareAuthorization() once; each time it builds a request it
// takes the "Authorization" value from authorizationHeader(). A 401 or 403 answer to a POST goes
// to handleChallenge(); true asks the transport to build the request afresh and send it again,
// which it does while the attempt number (counted from 0) plus one is less than
// maxAuthorizationAttempts().
//
// The "URL session" of the operations is the transport's HTTP client, so that the authorizer's
// own requests (discovery, registration, tokens) share its connections and executor.
//
// An authorizer is driven by one transport, one operation at a time, on that transport's
// executor; it needs no lock of its own. A 401 or 403 reaches it through the transport as an
// HTTPAuthenticationChallengeError (MCP/OAuthError.h), which the transport consumes itself.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <map>
#include <optional>
#include <string>

#include "MCP/OAuth/URL.h"

namespace fw::http {
class Client;
}

namespace mcp {

class HTTPClientAuthorizer {
public:
    virtual ~HTTPClientAuthorizer() = default;

    // The most times one POST is sent when each challenge is answered with a retry.
    virtual int maxAuthorizationAttempts() const = 0;

    // Throws when the MCP endpoint may not carry credentials.
    virtual void validateEndpoint(const URL& endpoint) const = 0;

    // The complete "Authorization" value for a request to `url`; nothing leaves the header out.
    virtual std::optional<std::string> authorizationHeader(const URL& url) noexcept = 0;

    // Answers a 401 or 403: `headers` are the response's, `method` the JSON-RPC method of the
    // message that was sent (nothing for a batch or a body without one). True: send it again.
    virtual boost::asio::awaitable<bool> handleChallenge(
        int statusCode, std::map<std::string, std::string> headers, URL endpoint,
        std::optional<std::string> method, fw::http::Client& session) = 0;

    // Awaited before each exchange, so that a token about to expire can be refreshed first.
    virtual boost::asio::awaitable<void> prepareAuthorization(URL endpoint,
                                                              fw::http::Client& session) = 0;
};

}  // namespace mcp
