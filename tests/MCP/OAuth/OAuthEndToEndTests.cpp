// The OAuth client end to end, all on loopback and started and stopped by each test:
//   - the authorization server is npm's oidc-provider (oauth-npm/server.mjs): dynamic
//     registration, PKCE, resource indicators, opaque tokens, headless approval;
//   - the protected resource is our streamable-HTTP host with the example tools behind bearer
//     tokens, judged by introspection at the provider as a resource server with its own secret.
//     Every request needs the scope "read"; a call of the "echo" tool (taken here for one that
//     changes something) needs "write" as well;
//   - the MCP client over the HTTP client transport with an OAuth authorizer for the
//     authorization code grant and no client registered in advance.
#include <gtest/gtest.h>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "MCP/Client/Client.h"
#include "MCP/HTTP/HTTPBearerTokenValidation.h"
#include "MCP/HTTP/HTTPClientTransport.h"
#include "MCP/JSON/JsonParser.h"
#include "MCP/OAuth/FormEncoding.h"
#include "MCP/OAuth/OAuthAuthorizationCodeFlow.h"
#include "MCP/OAuth/OAuthAuthorizer.h"
#include "MCP/OAuth/OAuthHTTPRequest.h"
#include "MCP/OAuth/OAuthTokenEndpointClient.h"
#include "MCP/OAuth/TokenStorage.h"
#include "tests/MCP/HTTP/ExampleHTTPHost.h"
#include "tests/MCP/LogLineRecorder.h"
#include "tests/MCP/OAuth/OAuthPeerServer.h"
#include "tests/MCP/ServerTestSupport.h"
#include "tests/platform/http/RunAsync.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Scopes = std::set<std::string>;
// How two operations run side by side ended.
using Outcomes = std::pair<std::string, std::string>;
using testing::firstText;
using testing::runFor;

const std::string kResourceServerID = "mcp-resource";
const std::string kResourceServerSecret = "resource-server-secret";
const TokenEndpointAuthentication kResourceServer =
    TokenEndpointAuthentication::clientSecretBasic(kResourceServerID, kResourceServerSecret);

// The protected resource is the one client the authorization server knows in advance.
Value providerConfiguration() {
    return Value::object(
        {{"clients",
          Value::array({Value::object({{"client_id", kResourceServerID},
                                       {"client_secret", kResourceServerSecret},
                                       {"token_endpoint_auth_method", "client_secret_basic"},
                                       {"grant_types", Value::array({Value("client_credentials")})},
                                       {"response_types", Value(Array{})},
                                       {"redirect_uris", Value(Array{})}})})}});
}

// POSTs a form to an endpoint of the authorization server with the client's credentials and
// gives the body of its 2xx answer. Blocks: it runs on an io_context of its own.
std::string postForm(const URL& endpoint, std::map<std::string, std::string> parameters,
                     const TokenEndpointAuthentication& authentication) {
    asio::io_context context;
    fw::http::Client session(context.get_executor());
    return fw::http::testing::runAsync(context, [&]() -> asio::awaitable<std::string> {
        fw::http::Request request = makeOAuthRequest("POST", endpoint, "application/json");
        request.headers.set("Content-Type", "application/x-www-form-urlencoded");
        co_await authentication.apply(request, parameters, endpoint);
        request.body = formURLEncoded(parameters);
        co_return co_await sendExpectingSuccess(session, std::move(request), 64 * 1024);
    }());
}

Scopes scopesOf(const std::string& text) {
    Scopes scopes;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find(' ', start), text.size());
        if (end > start) {
            scopes.insert(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return scopes;
}

// What a request to the resource needs: "read", and "write" too for a call of "echo".
Scopes requiredScopes(const HTTPRequest& request) {
    Scopes required{"read"};
    try {
        const Value message = parseJson(request.body.value_or(""));
        const Value* method = message.find("method");
        const Value* params = message.find("params");
        const Value* name = params ? params->find("name") : nullptr;
        if (method && method->stringValue() && *method->stringValue() == "tools/call" && name &&
            name->stringValue() && *name->stringValue() == "echo") {
            required.insert("write");
        }
    } catch (const std::exception&) {
        // No JSON-RPC request: "read" is enough to be answered.
    }
    return required;
}

// The resource's judgement of a token, from the authorization server's introspection answer.
BearerTokenValidationResult judgeToken(const URL& introspectionEndpoint, const std::string& token,
                                       const HTTPRequest& request) {
    const Value answer = parseJson(postForm(introspectionEndpoint,
                                            {{"token", token}, {"token_type_hint", "access_token"}},
                                            kResourceServer));
    const Value* active = answer.find("active");
    if (!active || active->boolValue() != true) {
        return BearerTokenValidationResult::invalidToken("The token is not active.");
    }
    const Value* scope = answer.find("scope");
    const Scopes granted = scopesOf(scope && scope->stringValue() ? *scope->stringValue() : "");
    const Scopes required = requiredScopes(request);
    for (const auto& name : required) {
        if (!granted.count(name)) {
            return BearerTokenValidationResult::insufficientScope(
                required, "This request needs the scope " + name + ".");
        }
    }
    std::vector<std::string> audience;
    if (const Value* aud = answer.find("aud")) {
        if (aud->stringValue()) {
            audience.push_back(*aud->stringValue());
        } else if (aud->arrayValue()) {
            for (const Value& entry : *aud->arrayValue()) {
                audience.push_back(entry.stringValue() ? *entry.stringValue() : "");
            }
        }
    }
    std::optional<Instant> expiresAt;
    if (const Value* exp = answer.find("exp"); exp && exp->asDouble(false)) {
        expiresAt = Instant::fromUnixSeconds(*exp->asDouble(false));
    }
    return BearerTokenValidationResult::valid(BearerTokenInfo(audience, granted, expiresAt));
}

// The host's validation pipeline, set once the host listens (the resource's URL holds its port,
// and no request comes before the client does). Records the status of every refusal.
class RecordingPipeline final : public HTTPRequestValidationPipeline {
public:
    void set(std::shared_ptr<const HTTPRequestValidationPipeline> inner) {
        std::lock_guard lock(mutex_);
        inner_ = std::move(inner);
    }

    std::optional<HTTPResponse> validate(const HTTPRequest& request,
                                         const HTTPValidationContext& context) const override {
        std::shared_ptr<const HTTPRequestValidationPipeline> inner;
        {
            std::lock_guard lock(mutex_);
            inner = inner_;
        }
        auto answer = inner->validate(request, context);
        if (answer && answer->statusCode() >= 400) {
            std::lock_guard lock(mutex_);
            refusals_.push_back(answer->statusCode());
        }
        return answer;
    }

    std::vector<int> refusals() const {
        std::lock_guard lock(mutex_);
        return refusals_;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const HTTPRequestValidationPipeline> inner_;
    mutable std::vector<int> refusals_;
};

// The default code flow, with the authorization request URLs it was given.
class RecordingCodeFlow final : public OAuthAuthorizationCodeFlowing {
public:
    std::string authorizationCode(
        const URL& redirectedTo, const URL& redirectURI, const std::string& state,
        const std::optional<AuthorizationResponseIssuer>& issuer) const override {
        return flow_.authorizationCode(redirectedTo, redirectURI, state, issuer);
    }

    asio::awaitable<std::string> authorize(URL authorizationURL, URL redirectURI, std::string state,
                                           std::optional<AuthorizationResponseIssuer> issuer,
                                           std::shared_ptr<OAuthAuthorizationDelegate> delegate,
                                           fw::http::Client& session) const override {
        requests.push_back(authorizationURL.absoluteString());
        co_return co_await flow_.authorize(std::move(authorizationURL), std::move(redirectURI),
                                           std::move(state), std::move(issuer),
                                           std::move(delegate), session);
    }

    // The "scope" of each authorization request, as sent.
    std::vector<std::string> requestedScopes() const {
        std::vector<std::string> scopes;
        for (const auto& url : requests) {
            const auto start = url.find("&scope=");
            scopes.push_back(start == std::string::npos
                                 ? ""
                                 : url.substr(start + 7, url.find('&', start + 7) - start - 7));
        }
        return scopes;
    }

    mutable std::vector<std::string> requests;

private:
    OAuthAuthorizationCodeFlow flow_;
};

// The default token endpoint client, with the requests it was asked to send.
class RecordingTokenEndpoint final : public OAuthTokenRequesting {
public:
    struct Sent {
        std::string tokenEndpoint;
        std::map<std::string, std::string> form;
    };

    asio::awaitable<OAuthTokenResponse> requestToken(std::map<std::string, std::string> parameters,
                                                     URL tokenEndpoint,
                                                     TokenEndpointAuthentication authentication,
                                                     fw::http::Client& session) const override {
        sent.push_back({tokenEndpoint.absoluteString(), parameters});
        co_return co_await client_.requestToken(std::move(parameters), std::move(tokenEndpoint),
                                                std::move(authentication), session);
    }

    // How many refreshes were sent.
    std::size_t refreshes() const {
        return std::count_if(sent.begin(), sent.end(), [](const Sent& request) {
            return request.form.at("grant_type") == "refresh_token";
        });
    }

    mutable std::vector<Sent> sent;

private:
    OAuthTokenEndpointClient client_{OAuthURLValidator(true)};
};

// The three parties: the authorization server (started with the fixture), the protected
// resource (started by each test, naming the authorization server it trusts) and the client
// (run by the test thread on `io`).
class OAuthEndToEnd : public ::testing::Test, protected testing::ExampleHTTPHost {
protected:
    void TearDown() override { stopClientAndHost(io, client, *logs); }

    void startResource(const URL& authorizationServer) {
        startHost({.mode = StreamableHTTPServer::Mode::stateful, .validationPipeline = pipeline});
        protectWith(provider, authorizationServer, "/mcp");
    }

    // The resource trusts `server` (named as `authorizationServer`) from now on, and challenges
    // name its metadata document at the well-known path followed by `metadataSuffix`.
    void protectWith(const testing::OAuthPeerServer& server, const URL& authorizationServer,
                     const std::string& metadataSuffix) {
        const std::string origin = "http://127.0.0.1:" + std::to_string(host->port());
        const URL resource = *URL::parse(url());
        auto metadata = std::make_shared<ProtectedResourceMetadataValidator>(
            OAuthProtectedResourceServerMetadata{resource.absoluteString(),
                                                 {authorizationServer},
                                                 std::vector<std::string>{"read", "write"}});
        const URL introspection = *server.introspectionEndpoint;
        auto bearer = std::make_shared<BearerTokenValidator>(
            *URL::parse(origin + "/.well-known/oauth-protected-resource" + metadataSuffix),
            resource,
            [introspection](const std::string& token, const HTTPRequest& request,
                            const HTTPValidationContext&) {
                return judgeToken(introspection, token, request);
            },
            [this](const HTTPRequest&, const HTTPValidationContext&) {
                std::lock_guard lock(challengeMutex);
                return challengeScopes;
            });
        pipeline->set(withBearerTokenProtection(*StandardValidationPipeline::statefulDefault(),
                                                metadata, bearer));
    }

    Initialize::Result connectClient(double proactiveRefreshWindowSeconds = 0) {
        OAuthConfiguration configuration(
            GrantType::authorizationCode, TokenEndpointAuthentication::none(kClientName),
            RetryPolicy::defaultPolicy, EndpointOverrides::none, std::nullopt,
            "Frameweaver end-to-end tests", {}, nullptr, nullptr, proactiveRefreshWindowSeconds);
        configuration.setAllowLoopbackHTTPAuthorizationServerEndpoints(true);
        OAuthAuthorizer::Components components;
        components.authCodeFlow = codeFlow;
        components.tokenEndpointClient = tokenEndpoint;
        components.now = [this] { return Instant::now().adding(clockAdvance); };
        authorizer = std::make_shared<OAuthAuthorizer>(
            configuration, tokens,
            OAuthAuthorizer::withDefaults(components, configuration, nullptr));
        auto transport = std::make_shared<HTTPClientTransport>(
            io.get_executor(), *URL::parse(url()), HTTPClientTransport::Configuration{},
            /*streaming=*/false, std::nullopt, 10.0, authorizer, nullptr,
            logging::Logger("test", testing::LogLineRecorder(logs)));
        client = std::make_shared<Client>(io.get_executor(), "oauth-end-to-end", "1.0.0");
        return runFor(io, client->connect(transport), 60s);
    }

    std::string callTool(const std::string& name, Object arguments) {
        auto [content, isError] = runFor(io, client->callTool(name, std::move(arguments)), 60s);
        EXPECT_FALSE(isError) << name;
        return firstText(content);
    }

    std::string add() {
        return callTool("add", Object::fromEntries({{"a", Value(2)}, {"b", Value(3)}}));
    }

    // Two calls of "add" side by side, as two tasks of one client make them.
    std::pair<std::string, std::string> addTwiceAtOnce() {
        auto both = [this]() -> asio::awaitable<std::pair<std::string, std::string>> {
            using namespace asio::experimental::awaitable_operators;
            const auto arguments = Object::fromEntries({{"a", Value(2)}, {"b", Value(3)}});
            auto [first, second] = co_await (client->callTool("add", arguments) &&
                                             client->callTool("add", arguments));
            co_return std::pair(firstText(first.first), firstText(second.first));
        };
        return runFor(io, both(), 60s);
    }

    // Ends `accessToken` at the authorization server as though its time had run out.
    void expire(const std::string& accessToken) {
        postForm(*provider.expiryEndpoint, {{"token", accessToken}},
                 TokenEndpointAuthentication::none(registeredClientID()));
    }

    // Revokes `accessToken` at the authorization server, as its client may.
    void revoke(const std::string& accessToken) {
        postForm(*provider.revocationEndpoint,
                 {{"token", accessToken}, {"token_type_hint", "access_token"}},
                 TokenEndpointAuthentication::none(registeredClientID()));
    }

    std::string registeredClientID() const {
        return authorizer->configuration().authentication().clientID();
    }

    OAuthAccessToken storedToken() {
        auto token = tokens->load();
        EXPECT_TRUE(token.has_value());
        return token.value_or(OAuthAccessToken{});
    }

    static constexpr const char* kClientName = "frameweaver-end-to-end";

    testing::OAuthPeerServer provider{providerConfiguration()};
    std::shared_ptr<RecordingPipeline> pipeline = std::make_shared<RecordingPipeline>();
    std::shared_ptr<RecordingCodeFlow> codeFlow = std::make_shared<RecordingCodeFlow>();
    std::shared_ptr<RecordingTokenEndpoint> tokenEndpoint =
        std::make_shared<RecordingTokenEndpoint>();
    // The scopes the resource's challenges name when a request lacks a usable token.
    std::mutex challengeMutex;
    std::optional<Scopes> challengeScopes = Scopes{"read"};
    std::shared_ptr<InMemoryTokenStorage> tokens = std::make_shared<InMemoryTokenStorage>();
    double clockAdvance = 0;  // seconds the client's clock runs ahead
    asio::io_context io;
    std::shared_ptr<OAuthAuthorizer> authorizer;
    std::shared_ptr<Client> client;
    std::shared_ptr<std::vector<std::string>> logs = std::make_shared<std::vector<std::string>>();
};

TEST_F(OAuthEndToEnd, DiscoversRegistersAuthorizesAndCallsATool) {
    startResource(*provider.issuer);
    EXPECT_EQ(connectClient().serverInfo.name, "example-tools");
    EXPECT_EQ(add(), "5.0");

    // One 401 without a token; then discovery, registration and one authorization for "read".
    EXPECT_EQ(pipeline->refusals(), std::vector<int>{401});
    EXPECT_EQ(codeFlow->requestedScopes(), std::vector<std::string>{"read"});
    EXPECT_FALSE(registeredClientID().empty());
    EXPECT_NE(registeredClientID(), kClientName);
    ASSERT_EQ(codeFlow->requests.size(), 1u);
    EXPECT_NE(codeFlow->requests[0].find("code_challenge_method=S256"), std::string::npos);
    const OAuthAccessToken token = storedToken();
    EXPECT_EQ(token.scopes, Scopes{"read"});
    EXPECT_TRUE(token.refreshToken.has_value());
    EXPECT_TRUE(token.expiresAt.has_value());

    // The token serves every later request.
    EXPECT_EQ(add(), "5.0");
    EXPECT_EQ(pipeline->refusals().size(), 1u);
}

TEST_F(OAuthEndToEnd, RefreshesAnExpiredToken) {
    startResource(*provider.issuer);
    connectClient();
    EXPECT_EQ(add(), "5.0");
    const OAuthAccessToken first = storedToken();
    ASSERT_TRUE(first.refreshToken.has_value());

    // Ended at the authorization server: the resource refuses it (401 invalid_token), and the
    // refresh token brings a new one without another authorization. The server rotates a public
    // client's refresh token: the new one replaces it.
    expire(first.value);
    EXPECT_EQ(add(), "5.0");
    const OAuthAccessToken second = storedToken();
    EXPECT_NE(second.value, first.value);
    ASSERT_TRUE(second.refreshToken.has_value());
    EXPECT_NE(second.refreshToken, first.refreshToken);
    EXPECT_EQ(pipeline->refusals(), (std::vector<int>{401, 401}));

    // Expired by the client's clock: it is no longer sent, and the 401 that follows is answered
    // with a refresh as well.
    clockAdvance = 2 * 3600;
    EXPECT_EQ(add(), "5.0");
    const OAuthAccessToken third = storedToken();
    EXPECT_NE(third.value, second.value);
    EXPECT_NE(third.refreshToken, second.refreshToken);
    EXPECT_EQ(pipeline->refusals(), (std::vector<int>{401, 401, 401}));
    EXPECT_EQ(codeFlow->requests.size(), 1u);

    // Revoking an access token at this server revokes its whole grant, the refresh token with
    // it: the refused refresh (400 invalid_grant) leads to a new authorization.
    revoke(third.value);
    EXPECT_EQ(add(), "5.0");
    const OAuthAccessToken fourth = storedToken();
    EXPECT_NE(fourth.refreshToken, third.refreshToken);
    EXPECT_EQ(pipeline->refusals(), (std::vector<int>{401, 401, 401, 401}));
    EXPECT_EQ(codeFlow->requests.size(), 2u);
}

// Two requests in the refresh window: one refresh, whose rotated refresh token both then use;
// a second refresh with the spent token would have made the server revoke the whole grant.
TEST_F(OAuthEndToEnd, TwoSendsInTheRefreshWindowRefreshOnce) {
    startResource(*provider.issuer);
    connectClient(/*proactiveRefreshWindowSeconds=*/300);
    EXPECT_EQ(add(), "5.0");
    const OAuthAccessToken first = storedToken();
    EXPECT_EQ(tokenEndpoint->refreshes(), 0u);

    clockAdvance = 3600 - 200;  // 200 s left: inside the window, outside the expiry skew
    EXPECT_EQ(addTwiceAtOnce(), Outcomes("5.0", "5.0"));
    EXPECT_EQ(tokenEndpoint->refreshes(), 1u);
    const OAuthAccessToken second = storedToken();
    EXPECT_NE(second.value, first.value);
    EXPECT_NE(second.refreshToken, first.refreshToken);
    EXPECT_EQ(pipeline->refusals(), std::vector<int>{401});
    EXPECT_EQ(codeFlow->requests.size(), 1u);

    // The grant lives on: the rotated refresh token refreshes again.
    expire(second.value);
    EXPECT_EQ(add(), "5.0");
    EXPECT_EQ(tokenEndpoint->refreshes(), 2u);
    EXPECT_EQ(codeFlow->requests.size(), 1u);
}

TEST_F(OAuthEndToEnd, TwoConcurrent401sLeadToOneAuthorization) {
    startResource(*provider.issuer);
    connectClient();
    EXPECT_EQ(add(), "5.0");
    ASSERT_EQ(codeFlow->requests.size(), 1u);

    // No token at all: both requests are refused, and one authorization serves both.
    tokens->clear();
    EXPECT_EQ(addTwiceAtOnce(), Outcomes("5.0", "5.0"));
    EXPECT_EQ(codeFlow->requests.size(), 2u);
    EXPECT_EQ(pipeline->refusals(), (std::vector<int>{401, 401, 401}));

    // A refused token with a refresh token: one refresh serves both.
    expire(storedToken().value);
    EXPECT_EQ(addTwiceAtOnce(), Outcomes("5.0", "5.0"));
    EXPECT_EQ(tokenEndpoint->refreshes(), 1u);
    EXPECT_EQ(codeFlow->requests.size(), 2u);
}

// Without a scope in the challenge, a refresh asks for what the token was granted, which the
// server allows; asking for everything the resource supports would be refused (RFC 6749 section
// 6) and cost a new authorization.
TEST_F(OAuthEndToEnd, ARefreshAsksForTheTokensScopes) {
    startResource(*provider.issuer);
    connectClient();
    EXPECT_EQ(add(), "5.0");
    const OAuthAccessToken first = storedToken();
    ASSERT_EQ(first.scopes, Scopes{"read"});

    {
        std::lock_guard lock(challengeMutex);
        challengeScopes.reset();
    }
    expire(first.value);
    EXPECT_EQ(add(), "5.0");
    ASSERT_EQ(tokenEndpoint->refreshes(), 1u);
    EXPECT_EQ(tokenEndpoint->sent.back().form.at("scope"), "read");
    EXPECT_EQ(storedToken().scopes, Scopes{"read"});
    EXPECT_EQ(codeFlow->requests.size(), 1u);
}

// The resource moves to a second authorization server: the first server's refresh token never
// goes there; the client registers and authorizes at the second.
TEST_F(OAuthEndToEnd, ASecondAuthorizationServerNeverGetsTheFirstOnesRefreshToken) {
    startResource(*provider.issuer);
    connectClient();
    EXPECT_EQ(add(), "5.0");
    const OAuthAccessToken first = storedToken();
    ASSERT_TRUE(first.refreshToken.has_value());
    const std::string firstClient = registeredClientID();

    testing::OAuthPeerServer second{providerConfiguration()};
    protectWith(second, *second.issuer, "/mcp/second");
    EXPECT_EQ(add(), "5.0");

    for (const auto& request : tokenEndpoint->sent) {
        if (request.tokenEndpoint == second.tokenEndpoint->absoluteString()) {
            EXPECT_NE(request.form.at("grant_type"), "refresh_token");
            EXPECT_EQ(request.form.count("refresh_token"), 0u);
        }
    }
    EXPECT_EQ(tokenEndpoint->sent.back().tokenEndpoint, second.tokenEndpoint->absoluteString());
    EXPECT_EQ(codeFlow->requests.size(), 2u);
    EXPECT_EQ(storedToken().authorizationServer, second.issuer);
    EXPECT_NE(registeredClientID(), firstClient) << "registered anew at the second server";
}

TEST_F(OAuthEndToEnd, StepsUpToTheWriteScope) {
    startResource(*provider.issuer);
    connectClient();
    EXPECT_EQ(add(), "5.0");
    EXPECT_EQ(storedToken().scopes, Scopes{"read"});

    // "echo" needs "write": a 403 insufficient_scope, a new authorization for both scopes, then
    // the call goes through.
    EXPECT_EQ(callTool("echo", Object::fromEntries({{"text", Value("hello")}})), "hello");
    EXPECT_EQ(pipeline->refusals(), (std::vector<int>{401, 403}));
    EXPECT_EQ(codeFlow->requestedScopes(), (std::vector<std::string>{"read", "read%20write"}));
    EXPECT_EQ(storedToken().scopes, (Scopes{"read", "write"}));

    EXPECT_EQ(callTool("echo", Object::fromEntries({{"text", Value("again")}})), "again");
    EXPECT_EQ(add(), "5.0");
    EXPECT_EQ(pipeline->refusals().size(), 2u);
}

TEST_F(OAuthEndToEnd, RefusesAnAuthorizationServerWhoseIssuerDiffers) {
    // The resource names the authorization server as localhost; its metadata says 127.0.0.1.
    const std::string alias = "http://localhost:" + std::to_string(*provider.issuer->port());
    startResource(*URL::parse(alias));
    try {
        connectClient();
        ADD_FAILURE() << "the client connected";
    } catch (const std::exception& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Internal error: Authorization flow failed: Authorization server issuer "
                  "mismatch. Expected " +
                      alias + ", got " + provider.issuer->absoluteString());
    }
    EXPECT_EQ(pipeline->refusals(), std::vector<int>{401});
    EXPECT_TRUE(codeFlow->requests.empty());
    EXPECT_FALSE(tokens->load().has_value());
}

}  // namespace
}  // namespace mcp
