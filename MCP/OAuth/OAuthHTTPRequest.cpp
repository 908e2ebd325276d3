#include "MCP/OAuth/OAuthHTTPRequest.h"

#include "MCP/JSON/JsonParser.h"
#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/OAuthModels.h"

namespace mcp {

fw::http::Request makeOAuthRequest(std::string method, const URL& url, std::string_view accept) {
    fw::http::Request request;
    request.method = std::move(method);
    request.url = url.absoluteString();
    request.connectTimeout = kOAuthRequestTimeout;
    request.idleTimeout = kOAuthRequestTimeout;
    request.headers.set("Accept", accept);
    return request;
}

boost::asio::awaitable<std::string> sendExpectingSuccess(fw::http::Client& session,
                                                         fw::http::Request request,
                                                         std::size_t maxBytes) {
    fw::http::Response response = co_await session.send(std::move(request));
    std::string body = co_await response.body.readAll(maxBytes);
    if (response.status < 200 || response.status > 299) {
        throw OAuthAuthorizationError::tokenRequestFailed(response.status, oauthErrorOf(body));
    }
    co_return body;
}

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

}  // namespace mcp
