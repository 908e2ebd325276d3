// Authorization-server metadata discovery against a real authorization server on loopback: npm's
// oidc-provider, whose issuer is its plain origin.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <string>

#include "MCP/OAuth/OAuthDiscoveryClient.h"
#include "MCP/OAuth/OAuthError.h"
#include "platform/http/Client.h"
#include "tests/MCP/OAuth/OAuthPeerServer.h"
#include "tests/platform/http/RunAsync.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using fw::http::testing::runAsync;

class OAuthProviderDiscovery : public ::testing::Test {
protected:
    std::pair<URL, OAuthAuthorizationServerMetadata> discover(const std::string& server) {
        // Wrapped: Asio wants the result of a spawned coroutine default-constructible.
        std::vector<URL> servers{*URL::parse(server)};
        auto wrapped = [&]() -> asio::awaitable<
                                 std::optional<std::pair<URL, OAuthAuthorizationServerMetadata>>> {
            co_return co_await client.fetchAuthorizationServerMetadata(std::move(servers), session);
        };
        return *runAsync(context, wrapped());
    }

    // The status of a plain GET of `url`.
    int statusOf(const URL& url) {
        fw::http::Request request;
        request.url = url.absoluteString();
        return runAsync(context, [&]() -> asio::awaitable<int> {
            auto response = co_await session.send(std::move(request));
            co_await response.body.readAll();
            co_return response.status;
        }());
    }

    testing::OAuthPeerServer provider{Value::object({{"clients", Value(Array{})}})};
    asio::io_context context;
    fw::http::Client session{context.get_executor()};
    OAuthDiscoveryClient client{OAuthURLValidator(/*allowLoopbackHTTPForAuthorizationServer=*/true)};
};

TEST_F(OAuthProviderDiscovery, FindsTheMetadataOfItsIssuer) {
    const std::string issuer = provider.issuer->absoluteString();
    // The server publishes its metadata under at least one of the well-known paths tried.
    const auto candidates = client.metadataDiscovery().authorizationServerMetadataURLs(*provider.issuer);
    ASSERT_EQ(candidates.size(), 2u);
    std::vector<int> statuses;
    for (const auto& candidate : candidates) {
        statuses.push_back(statusOf(candidate));
    }
    EXPECT_TRUE(std::count(statuses.begin(), statuses.end(), 200) >= 1)
        << statuses[0] << " " << statuses[1];

    // Named as it names itself, and with a trailing "/".
    for (const std::string& server : {issuer, issuer + "/"}) {
        const auto [chosen, metadata] = discover(server);
        EXPECT_EQ(chosen.absoluteString(), server);
        EXPECT_EQ(metadata.issuer, provider.issuer);
        EXPECT_EQ(metadata.tokenEndpoint, provider.tokenEndpoint);
        EXPECT_TRUE(metadata.authorizationEndpoint.has_value());
        ASSERT_TRUE(metadata.codeChallengeMethodsSupported.has_value());
        EXPECT_NE(std::find(metadata.codeChallengeMethodsSupported->begin(),
                            metadata.codeChallengeMethodsSupported->end(), "S256"),
                  metadata.codeChallengeMethodsSupported->end());
    }
}

TEST_F(OAuthProviderDiscovery, AServerNamedOtherwiseThanItsIssuerIsRefused) {
    // The same server reached as localhost answers with its 127.0.0.1 issuer.
    const std::string alias = "http://localhost:" + std::to_string(*provider.issuer->port());
    try {
        discover(alias);
        ADD_FAILURE() << "a document naming another issuer was adopted";
    } catch (const OAuthAuthorizationError& error) {
        EXPECT_EQ(error.errorCase(), OAuthAuthorizationError::Case::authorizationServerIssuerMismatch);
        EXPECT_EQ(error.expected(), alias);
        EXPECT_EQ(error.actual(), provider.issuer->absoluteString());
    }
}

}  // namespace
}  // namespace mcp
