// HTTPClientAuthorizer: what the HTTP client transport asks of an authorization component. The
// transport holds one optionally; without one its requests go out without authorization.
//
// For every POST exchange and every attempt at the GET event stream the transport calls
// validateEndpoint() and then awaits prepareAuthorization() once; each time it builds a request it
// takes the "Authorization" value from authorizationHeader(). A 401 or 403 answer to a POST goes
// to handleChallenge(), with the "Authorization" value that POST carried; true asks the transport
// to build the request afresh and send it again, which it does while the attempt number (counted
// from 0) plus one is less than maxAuthorizationAttempts().
//
// The "URL session" of the operations is the transport's HTTP client, so that the authorizer's
// own requests (discovery, registration, tokens) share its connections and executor.
//
// One transport drives an authorizer from its strand, but not one operation at a time: its
// sends and its GET event stream run side by side, and each may be suspended inside
// prepareAuthorization() or handleChallenge() while another calls in. An authorizer copes with
// that (OAuthAuthorizer lets one acquisition or refresh run and has later callers await it); it
// needs no lock as long as every call comes from that one strand. A 401 or 403 reaches it through
// the transport as an HTTPAuthenticationChallengeError (MCP/OAuthError.h), which the transport
// consumes itself.
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
    // message that was sent (nothing for a batch or a body without one), `sentAuthorization` the
    // "Authorization" value the refused request carried (nothing when it carried none), so that
    // a refusal of a token that has since been replaced is told from one of the current token.
    // True: send it again.
    virtual boost::asio::awaitable<bool> handleChallenge(
        int statusCode, std::map<std::string, std::string> headers, URL endpoint,
        std::optional<std::string> method, std::optional<std::string> sentAuthorization,
        fw::http::Client& session) = 0;

    // Awaited before each exchange, so that a token about to expire can be refreshed first.
    virtual boost::asio::awaitable<void> prepareAuthorization(URL endpoint,
                                                              fw::http::Client& session) = 0;
};

}  // namespace mcp
