// How an OAuth client without pre-registered credentials identifies itself at the authorization
// server that discovery found: its client identifier is a Client ID Metadata Document URL the
// server accepts (nothing to register), or it registers itself by Dynamic Client Registration
// (RFC 7591), or neither is possible.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <optional>
#include <utility>

#include "MCP/OAuthConfiguration.h"
#include "MCP/OAuthModels.h"

namespace fw::http {
class Client;
}

namespace mcp {

// What a registration gave: the server's answer and the authentication to use from then on.
using OAuthClientRegistration =
    std::pair<OAuthClientRegistrationResponse, TokenEndpointAuthentication>;

class OAuthClientRegistering {
public:
    virtual ~OAuthClientRegistering() = default;

    // Nothing when no registration took place.
    virtual boost::asio::awaitable<std::optional<OAuthClientRegistration>> registerClient(
        const OAuthConfiguration& configuration,
        const OAuthAuthorizationServerMetadata& authorizationServerMetadata,
        fw::http::Client& session) const = 0;
};

}  // namespace mcp
