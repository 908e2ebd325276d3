#include "MCP/OAuthTokenEndpointClient.h"

#include "MCP/FormEncoding.h"
#include "MCP/JsonParser.h"
#include "MCP/OAuthError.h"

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

std::optional<std::string> oauthErrorOf(std::string_view body) {
    auto document = tryParseJson(body);
    if (!document) {
        return std::nullopt;
    }
    try {
        return decodeValue<OAuthTokenErrorResponse>(std::move(*document)).error;
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

boost::asio::awaitable<OAuthTokenResponse> OAuthTokenEndpointClient::requestToken(
    std::map<std::string, std::string> parameters, URL tokenEndpoint,
    TokenEndpointAuthentication authentication, fw::http::Client& session) const {
    fw::http::Request request;
    request.method = "POST";
    request.url = tokenEndpoint.absoluteString();
    request.connectTimeout = kTimeout;
    request.idleTimeout = kTimeout;
    request.headers.set("Content-Type", "application/x-www-form-urlencoded");
    request.headers.set("Accept", "application/json");
    co_await authentication.apply(request, parameters, tokenEndpoint);
    request.body = formURLEncoded(parameters);

    fw::http::Response response = co_await session.send(std::move(request));
    const std::string body = co_await response.body.readAll(kMaxResponseBytes);

    if (response.status < 200 || response.status > 299) {
        throw OAuthAuthorizationError::tokenRequestFailed(response.status, oauthErrorOf(body));
    }
    auto token = decodeValue<OAuthTokenResponse>(parseJson(body));
    if (token.accessToken.empty() || !isBearer(token.tokenType)) {
        throw OAuthAuthorizationError::make(OAuthAuthorizationError::Case::tokenResponseInvalid);
    }
    co_return token;
}

}  // namespace mcp
