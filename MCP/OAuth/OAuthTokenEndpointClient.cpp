#include "MCP/OAuth/OAuthTokenEndpointClient.h"

#include "MCP/JSON/JsonParser.h"
#include "MCP/OAuth/FormEncoding.h"
#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/OAuthHTTPRequest.h"

namespace mcp {

namespace {

bool isTrimmedSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// "Bearer" in any letter case, once white space and line breaks at both ends are gone.
bool isBearer(std::string_view type) {
    while (!type.empty() && isTrimmedSpace(type.front())) {
        type.remove_prefix(1);
    }
    while (!type.empty() && isTrimmedSpace(type.back())) {
        type.remove_suffix(1);
    }
    return fw::http::Headers::sameName(type, "Bearer");
}

}  // namespace

boost::asio::awaitable<OAuthTokenResponse> OAuthTokenEndpointClient::requestToken(
    std::map<std::string, std::string> parameters, URL tokenEndpoint,
    TokenEndpointAuthentication authentication, fw::http::Client& session) const {
    fw::http::Request request = makeOAuthRequest("POST", tokenEndpoint, "application/json");
    request.headers.set("Content-Type", "application/x-www-form-urlencoded");
    co_await authentication.apply(request, parameters, tokenEndpoint);
    request.body = formURLEncoded(parameters);

    const std::string body =
        co_await sendExpectingSuccess(session, std::move(request), kMaxResponseBytes);
    auto token = decodeValue<OAuthTokenResponse>(parseJson(body));
    if (token.accessToken.empty() || !isBearer(token.tokenType)) {
        throw OAuthAuthorizationError::make(OAuthAuthorizationError::Case::tokenResponseInvalid);
    }
    co_return token;
}

}  // namespace mcp
