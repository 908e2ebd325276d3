#include "MCP/OAuth/OAuthClientRegistrar.h"

#include <algorithm>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/OAuthHTTPRequest.h"
#include "MCP/OAuth/detail/ASCIIText.h"
#include "platform/http/Client.h"

namespace mcp {

namespace {

// RFC 7591 client metadata of a public client for the configured grant.
std::string registrationBody(const OAuthConfiguration& configuration) {
    Object body;
    body.insertOrAssign("client_name", Value(configuration.clientName()));
    body.insertOrAssign("token_endpoint_auth_method", Value("none"));
    if (configuration.grantType() == GrantType::authorizationCode) {
        body.insertOrAssign("grant_types",
                            Value::array({Value("authorization_code"), Value("refresh_token")}));
        body.insertOrAssign("response_types", Value::array({Value("code")}));
        body.insertOrAssign(
            "redirect_uris",
            Value::array({Value(configuration.authorizationRedirectURI().absoluteString())}));
    } else {
        body.insertOrAssign("grant_types", Value::array({Value("client_credentials")}));
    }
    return toJson(Value(std::move(body)));
}

}  // namespace

bool OAuthClientRegistrar::isClientIDMetadataDocumentURL(std::string_view text) {
    const auto url = URL::parse(text);
    if (!url || !url->scheme()) {
        return false;
    }
    return asciiLowercased(*url->scheme()) == "https" && !url->path().empty() && url->path() != "/";
}

bool OAuthClientRegistrar::isURLWithScheme(std::string_view text) {
    const auto url = URL::parse(text);
    return url && url->scheme() && !url->scheme()->empty();
}

boost::asio::awaitable<std::optional<OAuthClientRegistration>> OAuthClientRegistrar::registerClient(
    const OAuthConfiguration& configuration,
    const OAuthAuthorizationServerMetadata& authorizationServerMetadata,
    fw::http::Client& session) const {
    const TokenEndpointAuthentication& authentication = configuration.authentication();
    if (authentication.method() != TokenEndpointAuthentication::Method::none) {
        co_return std::nullopt;
    }
    const std::string& clientID = authentication.clientID();
    const bool isDocumentURL = isClientIDMetadataDocumentURL(clientID);
    const bool documentsSupported =
        authorizationServerMetadata.clientIDMetadataDocumentSupported.value_or(false);
    if (documentsSupported && isURLWithScheme(clientID)) {
        if (isDocumentURL) {
            co_return std::nullopt;
        }
        throw OAuthAuthorizationError::invalidClientIDMetadataURL(clientID);
    }
    const auto& endpoint = authorizationServerMetadata.registrationEndpoint;
    if (!endpoint) {
        if (isDocumentURL && !documentsSupported) {
            throw OAuthAuthorizationError::cimdNotSupported(clientID);
        }
        co_return std::nullopt;
    }
    constexpr std::string_view kLabel = "Client registration endpoint";
    urlValidator.validateAuthorizationServerEndpoint(*endpoint, kLabel);
    // The same guard as the token and authorization endpoints: metadata must not turn the
    // client against an address of the local network.
    if (endpoint->host() && urlValidator.isPrivateOrReservedHost(asciiLowercased(*endpoint->host()))) {
        throw OAuthAuthorizationError::privateIPAddressBlocked(std::string(kLabel),
                                                               endpoint->absoluteString());
    }

    fw::http::Request request = makeOAuthRequest("POST", *endpoint, "application/json");
    request.headers.set("Content-Type", "application/json");
    request.body = registrationBody(configuration);
    const std::string body =
        co_await sendExpectingSuccess(session, std::move(request), kMaxResponseBytes);
    auto registration = decodeValue<OAuthClientRegistrationResponse>(parseJson(body));
    // An empty identifier would go out as an empty client_id from then on.
    if (registration.clientID.empty()) {
        throw DecodingError::dataCorrupted({CodingKey::key("client_id")},
                                           "The registered client identifier is empty.");
    }
    TokenEndpointAuthentication adopted = authentication.adopting(registration);
    co_return OAuthClientRegistration(std::move(registration), std::move(adopted));
}

}  // namespace mcp
