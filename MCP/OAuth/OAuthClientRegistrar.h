// How an OAuth client without pre-registered credentials identifies itself at the authorization
// server that discovery found: its client identifier is a Client ID Metadata Document URL the
// server accepts (nothing to register), or it registers itself by Dynamic Client Registration
// (RFC 7591), or neither is possible.
//
// OAuthClientRegistrar keeps no state: safe from any thread; a registration runs on the HTTP
// client's executor and sends at most one request.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

#include "MCP/OAuth/OAuthConfiguration.h"
#include "MCP/OAuth/OAuthModels.h"
#include "MCP/OAuth/OAuthURLValidator.h"

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

class OAuthClientRegistrar : public OAuthClientRegistering {
public:
    // Larger answers are no registration answers.
    static constexpr std::size_t kMaxResponseBytes = std::size_t(1) << 20;

    explicit OAuthClientRegistrar(OAuthURLValidator urlValidator = OAuthURLValidator())
        : urlValidator(urlValidator) {}

    // Checks the registration endpoint.
    OAuthURLValidator urlValidator;

    // Only a client authenticating with `none` registers. With `id` its identifier:
    //   - the server supports Client ID Metadata Documents and `id` has a scheme: nothing when
    //     `id` is such a document's URL, else invalidClientIDMetadataURL;
    //   - no registration endpoint: cimdNotSupported when `id` is a document URL the server
    //     does not support, else nothing;
    //   - otherwise one POST of RFC 7591 client metadata (public client: "none") to the
    //     validated endpoint, which may not be on a private or reserved address
    //     (privateIPAddressBlocked). A 2xx answer must be a registration answer with a non-empty
    //     client_id (DecodingError); any other status fails with tokenRequestFailed and the
    //     answer's OAuth error code. Errors of the validator and of the HTTP client pass through.
    boost::asio::awaitable<std::optional<OAuthClientRegistration>> registerClient(
        const OAuthConfiguration& configuration,
        const OAuthAuthorizationServerMetadata& authorizationServerMetadata,
        fw::http::Client& session) const override;

    // A URL whose scheme is https (any letter case) and whose path is neither empty nor "/".
    static bool isClientIDMetadataDocumentURL(std::string_view text);
    // A URL with a non-empty scheme.
    static bool isURLWithScheme(std::string_view text);
};

}  // namespace mcp
