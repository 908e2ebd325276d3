#include "MCP/OAuth/OAuthDiscoveryClient.h"

#include <boost/url/parse.hpp>

#include "MCP/JSON/JsonParser.h"
#include "MCP/OAuth/OAuthDiscoveryRules.h"
#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/detail/ASCIIText.h"
#include "platform/http/Client.h"

namespace mcp {

namespace asio = boost::asio;

namespace {


// The body of a 2xx answer to a GET of `url`; nothing for any other status. Throws what the
// HTTP client throws.
asio::awaitable<std::optional<std::string>> fetchDocument(const URL& url,
                                                          fw::http::Client& session) {
    fw::http::Request request;
    request.method = "GET";
    request.url = url.absoluteString();
    request.connectTimeout = OAuthDiscoveryClient::kTimeout;
    request.idleTimeout = OAuthDiscoveryClient::kTimeout;
    request.headers.set("Accept", "application/json");
    fw::http::Response response = co_await session.send(std::move(request));
    if (response.status < 200 || response.status > 299) {
        co_return std::nullopt;  // the unread body closes its connection
    }
    co_return co_await response.body.readAll(OAuthDiscoveryClient::kMaxDocumentBytes);
}

// The document in `body`, or nothing when it is no JSON or not such a document.
template <class Document>
std::optional<Document> decodeDocument(const std::string& body) {
    auto json = tryParseJson(body);
    if (!json) {
        return std::nullopt;
    }
    try {
        return decodeValue<Document>(std::move(*json));
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

// The identifier of an issuer for comparison: scheme and host in lower case, "/" for an empty
// path, everything else as written.
std::string issuerIdentity(const URL& url) {
    auto parsed = boost::urls::parse_uri_reference(url.absoluteString());
    if (!parsed || !parsed->has_scheme() || !parsed->has_authority()) {
        return url.absoluteString();
    }
    std::string identity = asciiLowercased(parsed->scheme()) + "://";
    if (parsed->has_userinfo()) {
        identity += parsed->encoded_userinfo();
        identity += '@';
    }
    identity += asciiLowercased(parsed->encoded_host());
    if (parsed->has_port()) {
        identity += ':';
        identity += parsed->port();
    }
    const std::string_view path = parsed->encoded_path();
    identity += path.empty() ? std::string_view("/") : path;
    if (parsed->has_query()) {
        identity += '?';
        identity += parsed->encoded_query();
    }
    if (parsed->has_fragment()) {
        identity += '#';
        identity += parsed->encoded_fragment();
    }
    return identity;
}

}  // namespace

OAuthDiscoveryClient::OAuthDiscoveryClient(
    std::shared_ptr<const OAuthMetadataDiscovering> metadataDiscovery,
    OAuthURLValidator urlValidator)
    : urlValidator(urlValidator),
      metadataDiscovery_(metadataDiscovery
                             ? std::move(metadataDiscovery)
                             : std::make_shared<const DefaultOAuthMetadataDiscovery>()) {}

bool OAuthDiscoveryClient::isSameIssuer(const URL& issuer, const URL& server) {
    return issuerIdentity(issuer) == issuerIdentity(server);
}

asio::awaitable<OAuthProtectedResourceMetadata> OAuthDiscoveryClient::fetchProtectedResourceMetadata(
    std::vector<URL> candidates, std::optional<URL> fallbackAuthorizationServer,
    fw::http::Client& session) const {
    for (const URL& candidate : candidates) {
        std::optional<std::string> body;
        try {
            body = co_await fetchDocument(candidate, session);
        } catch (const OAuthAuthorizationError&) {
            throw;
        } catch (const std::exception&) {
            continue;
        }
        if (!body) {
            continue;
        }
        auto document = decodeDocument<OAuthProtectedResourceMetadata>(*body);
        if (document && !document->authorizationServers.empty()) {
            co_return std::move(*document);
        }
    }
    if (fallbackAuthorizationServer) {
        OAuthProtectedResourceMetadata fallback;
        fallback.authorizationServers.push_back(std::move(*fallbackAuthorizationServer));
        co_return fallback;
    }
    throw OAuthAuthorizationError::make(OAuthAuthorizationError::Case::metadataDiscoveryFailed);
}

asio::awaitable<std::pair<URL, OAuthAuthorizationServerMetadata>>
OAuthDiscoveryClient::fetchAuthorizationServerMetadata(std::vector<URL> authorizationServers,
                                                       fw::http::Client& session) const {
    std::optional<OAuthAuthorizationError> firstMismatch;
    for (const URL& server : authorizationServers) {
        try {
            urlValidator.validateAuthorizationServerEndpoint(server, "Authorization server issuer");
        } catch (const OAuthAuthorizationError&) {
            continue;
        }
        if (server.host() && urlValidator.isPrivateOrReservedHost(asciiLowercased(*server.host()))) {
            continue;
        }
        for (const URL& candidate : metadataDiscovery_->authorizationServerMetadataURLs(server)) {
            std::optional<std::string> body;
            try {
                body = co_await fetchDocument(candidate, session);
            } catch (const std::exception&) {
                continue;
            }
            if (!body) {
                continue;
            }
            auto document = decodeDocument<OAuthAuthorizationServerMetadata>(*body);
            if (!document || !document->issuer) {
                continue;
            }
            if (isSameIssuer(*document->issuer, server)) {
                co_return std::pair{server, std::move(*document)};
            }
            if (!firstMismatch) {
                firstMismatch = OAuthAuthorizationError::authorizationServerIssuerMismatch(
                    server.absoluteString(), document->issuer->absoluteString());
            }
        }
    }
    if (firstMismatch) {
        throw *firstMismatch;
    }
    throw OAuthAuthorizationError::make(
        OAuthAuthorizationError::Case::authorizationServerMetadataDiscoveryFailed);
}

}  // namespace mcp
