// The OAuth authorizer: the header it hands out, its answers to 401 and 403 challenges, the grants
// it runs and its proactive refresh. Discovery, registration and the authorization code flow are
// fakes that record what they are asked; tokens come from a scripted token endpoint on loopback
// through the real token endpoint client.
#include <gtest/gtest.h>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MCP/JSON/JsonWriter.h"
#include "MCP/OAuth/BearerTokenValue.h"
#include "MCP/OAuth/OAuthAuthorizationURL.h"
#include "MCP/OAuth/OAuthAuthorizer.h"
#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/PKCE.h"
#include "MCP/OAuth/detail/ASCIIText.h"
#include "tests/MCP/OAuth/OAuthTestSupport.h"
#include "tests/platform/http/RunAsync.h"
#include "tests/platform/http/ScriptedServer.h"

namespace mcp {
namespace {

namespace asio = boost::asio;
using fw::http::testing::fields;
using fw::http::testing::runAsync;
using fw::http::testing::ScriptedServer;
using fw::http::testing::ServerExchange;
using Case = OAuthAuthorizationError::Case;
using Parameters = std::map<std::string, std::string>;
using Scopes = std::set<std::string>;
// How two operations run side by side ended.
using Outcomes = std::pair<std::string, std::string>;

std::string origin(const URL& u) {
    std::string text = asciiLowercased(u.scheme().value_or("")) + "://" + asciiLowercased(u.host().value_or(""));
    if (u.port()) {
        text += ":" + std::to_string(*u.port());
    }
    return text;
}

// The URL rules in brief: origin plus path, "/" taken as no path, no query.
class FakeMetadataDiscovery : public OAuthMetadataDiscovering {
public:
    std::vector<URL> protectedResourceMetadataURLs(const URL& resource) const override {
        return {url(origin(resource) + "/.well-known/oauth-protected-resource" + path(resource))};
    }
    std::vector<URL> authorizationServerMetadataURLs(const URL&) const override { return {}; }
    URL normalizedResourceURI(const URL& u) const override {
        if (!u.scheme() || !u.host() || u.fragment()) {
            throw OAuthAuthorizationError::invalidResourceURI("Resource URI must not contain a "
                                                              "fragment");
        }
        return url(origin(u) + path(u));
    }
    URL issuerURI(const URL& u) const override { return url(origin(u)); }
    bool resourceMatches(const URL& resource, const URL& candidate) const override {
        const std::string r = path(resource);
        const std::string c = path(candidate);
        return origin(resource) == origin(candidate) &&
               (r.empty() || r == c || c.starts_with(r + "/"));
    }

private:
    static std::string path(const URL& u) { return u.path() == "/" ? "" : u.path(); }
};

// Serves one protected-resource document and one authorization-server document, recording
// every fetch.
class FakeDiscoveryClient : public OAuthDiscoveryFetching {
public:
    const OAuthMetadataDiscovering& metadataDiscovery() const override { return rules; }

    asio::awaitable<OAuthProtectedResourceMetadata> fetchProtectedResourceMetadata(
        std::vector<URL> candidates, std::optional<URL> fallbackAuthorizationServer,
        fw::http::Client&) const override {
        resourceFetches.push_back(candidates);
        fallbacks.push_back(fallbackAuthorizationServer);
        if (hangs) {
            // A server that never answers, until the fetch is cancelled.
            asio::steady_timer never(co_await asio::this_coro::executor, std::chrono::hours(1));
            co_await never.async_wait(asio::use_awaitable);
        }
        if (failure) {
            std::rethrow_exception(failure);
        }
        co_return resourceMetadata;
    }

    asio::awaitable<std::pair<URL, OAuthAuthorizationServerMetadata>>
    fetchAuthorizationServerMetadata(std::vector<URL> authorizationServers,
                                     fw::http::Client&) const override {
        serverFetches.push_back(authorizationServers);
        co_return std::pair(answeringServer.value_or(authorizationServers.front()), serverMetadata);
    }

    std::size_t fetchCount() const { return resourceFetches.size() + serverFetches.size(); }

    FakeMetadataDiscovery rules;
    OAuthProtectedResourceMetadata resourceMetadata;
    OAuthAuthorizationServerMetadata serverMetadata;
    std::optional<URL> answeringServer;
    bool hangs = false;
    std::exception_ptr failure;
    mutable std::vector<std::vector<URL>> resourceFetches;
    mutable std::vector<std::optional<URL>> fallbacks;
    mutable std::vector<std::vector<URL>> serverFetches;
};

class FakeScopeSelector : public OAuthScopeSelecting {
public:
    std::optional<Scopes> selectScopes(
        const std::optional<std::string>& challengeScope,
        const std::optional<std::vector<std::string>>& scopesSupported) const override {
        Scopes chosen;
        if (challengeScope) {
            chosen = scopes(*challengeScope);
        } else if (scopesSupported) {
            chosen.insert(scopesSupported->begin(), scopesSupported->end());
        }
        return chosen.empty() ? std::nullopt : std::optional(chosen);
    }
    Scopes scopes(std::string_view text) const override {
        Scopes out;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find(' ', start);
            if (end == std::string_view::npos) {
                end = text.size();
            }
            if (end > start) {
                out.emplace(text.substr(start, end - start));
            }
            start = end + 1;
        }
        return out;
    }
    std::optional<std::string> scopeParameter(const Scopes& scopes) const override {
        if (scopes.empty()) {
            return std::nullopt;
        }
        std::string text;
        for (const auto& scope : scopes) {
            text += (text.empty() ? "" : " ") + scope;
        }
        return text;
    }
};

class FakeRegistrar : public OAuthClientRegistering {
public:
    asio::awaitable<std::optional<OAuthClientRegistration>> registerClient(
        const OAuthConfiguration& configuration, const OAuthAuthorizationServerMetadata&,
        fw::http::Client&) const override {
        ++calls;
        seenClientIDs.push_back(configuration.authentication().clientID());
        if (failures.empty()) {
            co_return answer;
        }
        auto failure = failures.front();
        failures.pop_front();
        std::rethrow_exception(failure);
    }

    std::optional<OAuthClientRegistration> answer;
    mutable std::deque<std::exception_ptr> failures;
    mutable int calls = 0;
    mutable std::vector<std::string> seenClientIDs;
};

class FakeCodeFlow : public OAuthAuthorizationCodeFlowing {
public:
    std::string authorizationCode(const URL&, const URL&, const std::string&,
                                  const std::optional<AuthorizationResponseIssuer>&) const override {
        return "unused";
    }
    asio::awaitable<std::string> authorize(URL authorizationURL, URL redirectURI, std::string state,
                                           std::optional<AuthorizationResponseIssuer> issuer,
                                           std::shared_ptr<OAuthAuthorizationDelegate>,
                                           fw::http::Client&) const override {
        urls.push_back(authorizationURL);
        redirects.push_back(redirectURI);
        states.push_back(state);
        issuers.push_back(std::move(issuer));
        co_return "the-code";
    }

    mutable std::vector<std::optional<AuthorizationResponseIssuer>> issuers;
    mutable std::vector<URL> urls;
    mutable std::vector<URL> redirects;
    mutable std::vector<std::string> states;
};

std::string percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// name=value pairs of a form body or a query.
Parameters decodedPairs(std::string_view text) {
    Parameters out;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('&'), text.size());
        const std::string_view pair = text.substr(0, end);
        const std::size_t equals = pair.find('=');
        out[percentDecoded(pair.substr(0, equals))] =
            equals == std::string_view::npos ? "" : percentDecoded(pair.substr(equals + 1));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return out;
}

// A token endpoint on loopback that gives the scripted answers in turn, then fresh tokens.
class TokenEndpointServer {
public:
    struct Answer {
        int status;
        std::string body;
        bool reset = false;
    };

    TokenEndpointServer()
        : server_([this](ServerExchange& exchange) -> asio::awaitable<void> {
              Answer answer = next();
              if (answer.reset) {
                  exchange.reset();
                  co_return;
              }
              co_await exchange.respond(answer.status, fields("Content-Type", "application/json"),
                                        answer.body);
          }) {}

    void script(Answer answer) {
        std::lock_guard lock(mutex_);
        script_.push_back(std::move(answer));
    }
    std::string url() const { return server_.url("/token"); }
    std::vector<Parameters> forms() const {
        std::vector<Parameters> out;
        for (const auto& request : server_.requests()) {
            out.push_back(decodedPairs(request.body));
        }
        return out;
    }
    std::size_t count() const { return server_.requests().size(); }

    static std::string tokenBody(std::string token, std::optional<std::string> refresh = {},
                                 std::string extra = R"(,"expires_in":3600)") {
        std::string body = R"({"access_token":")" + token + R"(","token_type":"Bearer")" + extra;
        if (refresh) {
            body += R"(,"refresh_token":")" + *refresh + "\"";
        }
        return body + "}";
    }

private:
    Answer next() {
        std::lock_guard lock(mutex_);
        ++issued_;
        if (script_.empty()) {
            return {200, tokenBody("token-" + std::to_string(issued_))};
        }
        Answer answer = script_.front();
        script_.pop_front();
        return answer;
    }

    std::mutex mutex_;
    std::deque<Answer> script_;
    int issued_ = 0;
    ScriptedServer server_;
};

constexpr const char* kEndpoint = "https://mcp.example/mcp";
constexpr const char* kServer = "https://auth.example";
constexpr const char* kResourceMetadata = "https://mcp.example/.well-known/oauth-protected-resource/mcp";

struct Settings {
    GrantType grant = GrantType::clientCredentials;
    TokenEndpointAuthentication authentication =
        TokenEndpointAuthentication::clientSecretPost("client", "secret");
    RetryPolicy retry = RetryPolicy::defaultPolicy;
    EndpointOverrides overrides = EndpointOverrides::none;
    Parameters additional = {};
    OAuthConfiguration::AccessTokenProvider provider = {};
    double refreshWindow = 0;
    std::chrono::steady_clock::duration deadline{};
};

class Authorizer : public ::testing::Test {
protected:
    Authorizer() {
        discovery->resourceMetadata.authorizationServers = {url(kServer)};
        discovery->resourceMetadata.scopesSupported = std::vector<std::string>{"read"};
        discovery->serverMetadata.issuer = url(kServer);
        discovery->serverMetadata.authorizationEndpoint = url("https://auth.example/authorize");
        discovery->serverMetadata.tokenEndpoint = url(tokens.url());
        discovery->serverMetadata.codeChallengeMethodsSupported = std::vector<std::string>{"S256"};
        make(Settings{});
    }

    void make(Settings settings) {
        OAuthConfiguration configuration(
            settings.grant, settings.authentication, settings.retry, settings.overrides,
            url("http://127.0.0.1:50000/callback"), "Test client", settings.additional,
            settings.provider, nullptr, settings.refreshWindow);
        configuration.setAllowLoopbackHTTPAuthorizationServerEndpoints(true);
        OAuthAuthorizer::Components components;
        components.scopeSelector = std::make_shared<FakeScopeSelector>();
        components.challengeParser = std::make_shared<DefaultOAuthWWWAuthenticateParser>();
        components.discoveryClient = discovery;
        components.tokenEndpointClient = std::make_shared<OAuthTokenEndpointClient>(
            OAuthURLValidator(true));
        components.clientRegistrar = registrar;
        components.authCodeFlow = codeFlow;
        components.now = [this] { return now; };
        components.challengeDeadline = settings.deadline;
        if (!keepStorage || !storage) {
            storage = std::make_shared<InMemoryTokenStorage>();
        }
        authorizer = std::make_unique<OAuthAuthorizer>(std::move(configuration), storage,
                                                       std::move(components));
    }

    bool challenge(int status, std::string header,
                   std::optional<std::string> method = "tools/call",
                   std::string endpoint = kEndpoint) {
        std::map<std::string, std::string> headers;
        if (!header.empty()) {
            headers["WWW-Authenticate"] = header;
        }
        return runAsync(context, handle(status, std::move(header), std::move(method),
                                        std::move(endpoint)));
    }

    // A challenge for a request that carried the header the authorizer gives now, as the
    // transport's requests do.
    asio::awaitable<bool> handle(int status, std::string header,
                                 std::optional<std::string> method = "tools/call",
                                 std::string endpoint = kEndpoint) {
        std::map<std::string, std::string> headers;
        if (!header.empty()) {
            headers["WWW-Authenticate"] = header;
        }
        auto sent = authorizer->authorizationHeader(url(endpoint));
        co_return co_await authorizer->handleChallenge(status, headers, url(endpoint),
                                                       std::move(method), std::move(sent), session);
    }

    // How an operation ended: "retry", "no" or the text of its failure.
    static asio::awaitable<std::string> outcome(asio::awaitable<bool> operation) {
        try {
            co_return (co_await std::move(operation)) ? "retry" : "no";
        } catch (const std::exception& error) {
            co_return error.what();
        }
    }
    static asio::awaitable<std::string> outcome(asio::awaitable<void> operation) {
        try {
            co_await std::move(operation);
            co_return "done";
        } catch (const std::exception& error) {
            co_return error.what();
        }
    }

    // Runs two operations side by side, as a transport's send and GET stream do, and gives how
    // each ended.
    template <class A, class B>
    std::pair<std::string, std::string> together(asio::awaitable<A> a, asio::awaitable<B> b) {
        auto both = [](asio::awaitable<std::string> x, asio::awaitable<std::string> y)
            -> asio::awaitable<std::pair<std::string, std::string>> {
            using namespace asio::experimental::awaitable_operators;
            auto [first, second] = co_await (std::move(x) && std::move(y));
            co_return std::pair(first, second);
        };
        return runAsync(context, both(outcome(std::move(a)), outcome(std::move(b))));
    }

    void prepare() {
        runAsync(context, authorizer->prepareAuthorization(url(kEndpoint), session));
    }

    std::optional<std::string> header() { return authorizer->authorizationHeader(url(kEndpoint)); }

    OAuthAccessToken token(std::string value, std::optional<double> expiresIn = {},
                           std::optional<std::string> refresh = {}) const {
        OAuthAccessToken t;
        t.value = std::move(value);
        t.tokenType = "Bearer";
        if (expiresIn) {
            t.expiresAt = now.adding(*expiresIn);
        }
        t.refreshToken = std::move(refresh);
        t.authorizationServer = url(kServer);
        return t;
    }

    // The case of the OAuthAuthorizationError that `run` throws; nothing when it does not.
    template <class Run>
    std::optional<Case> failure(Run run) {
        try {
            run();
        } catch (const OAuthAuthorizationError& error) {
            lastError = error.what();
            return error.errorCase();
        }
        return std::nullopt;
    }

    Instant now = Instant::fromUnixSeconds(1'800'000'000);
    asio::io_context context;
    fw::http::Client session{context.get_executor()};
    TokenEndpointServer tokens;
    std::shared_ptr<FakeDiscoveryClient> discovery = std::make_shared<FakeDiscoveryClient>();
    std::shared_ptr<FakeRegistrar> registrar = std::make_shared<FakeRegistrar>();
    std::shared_ptr<FakeCodeFlow> codeFlow = std::make_shared<FakeCodeFlow>();
    std::shared_ptr<InMemoryTokenStorage> storage;
    // make() keeps the storage (and what it holds), as a new process would find it.
    bool keepStorage = false;
    std::unique_ptr<OAuthAuthorizer> authorizer;
    std::string lastError;
};

// --- The header ---

TEST_F(Authorizer, TheHeaderLeavesOutATokenWithinThirtySecondsOfItsExpiry) {
    const struct {
        const char* name;
        std::optional<double> expiresIn;
        std::optional<std::string> header;
    } cases[] = {
        {"no expiry", std::nullopt, "Bearer abc"},
        {"40 s ahead", 40, "Bearer abc"},
        {"20 s ahead", 20, std::nullopt},
        {"exactly 30 s ahead", 30, std::nullopt},
        {"expired", -5, std::nullopt},
    };
    EXPECT_EQ(header(), std::nullopt);
    for (const auto& c : cases) {
        storage->save(token("abc", c.expiresIn));
        EXPECT_EQ(header(), c.header) << c.name;
        EXPECT_TRUE(storage->load()) << c.name << ": the token stays stored";
    }
}

// A token goes into a header line of every request to the MCP server: one that would break
// that line (a line end starts a header of its own) or make every request too big to send is no
// token, wherever it comes from.
TEST_F(Authorizer, ATokenThatCannotGoIntoAHeaderIsRefused) {
    const std::string oversized(kMaxBearerTokenLength + 1, 'a');
    const struct {
        const char* name;
        std::string value;
    } cases[] = {
        {"CR LF and a header", "abc\r\nX-Injected: 1"},
        {"a lone LF", "abc\ndef"},
        {"a blank", "abc def"},
        {"a byte outside ASCII", "abc\xc3\xa9"},
        {"over the length cap", oversized},
    };
    for (const auto& c : cases) {
        // From storage: no header, and it is dropped so that the challenge brings a new one.
        storage->save(token(c.value));
        EXPECT_EQ(header(), std::nullopt) << c.name;
        EXPECT_FALSE(storage->load()) << c.name;

        // From the token endpoint: the answer is invalid and nothing is stored.
        tokens.script({200, toJson(Value::object({{"access_token", Value(c.value)},
                                                  {"token_type", Value("Bearer")}}))});
        EXPECT_EQ(failure([&] { challenge(401, ""); }), Case::tokenResponseInvalid) << c.name;
        EXPECT_FALSE(storage->load()) << c.name;
    }
    // The cap itself is allowed.
    const std::string longest(kMaxBearerTokenLength, 'a');
    storage->save(token(longest));
    EXPECT_EQ(header(), "Bearer " + longest);
}

TEST_F(Authorizer, AnAccessTokenProviderTokenThatCannotGoIntoAHeaderIsRefused) {
    Settings settings;
    settings.provider = [](const AccessTokenProviderContext&,
                           fw::http::Client&) -> asio::awaitable<std::optional<std::string>> {
        co_return "abc\r\nX-Injected: 1";
    };
    make(settings);
    try {
        challenge(401, "");
        ADD_FAILURE() << "the token was taken";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "The access-token provider gave a token that cannot be sent. The access token "
                  "holds a blank, a control character or a byte outside ASCII.");
    }
    EXPECT_FALSE(storage->load());
    EXPECT_EQ(tokens.count(), 0u);
}

TEST(OAuthAuthorizerServers, CompareAfterNormalizing) {
    const struct {
        const char* a;
        const char* b;
        bool same;
    } cases[] = {
        {"https://auth.example", "HTTPS://AUTH.Example", true},
        {"https://auth.example/", "https://auth.example", true},
        {"https://auth.example/tenant?x=1#f", "https://auth.example/tenant", true},
        {"https://auth.example:8443", "https://auth.example:8443/", true},
        {"http://auth.example", "https://auth.example", false},
        {"https://auth.example:8443", "https://auth.example", false},
        {"https://auth.example/tenant", "https://auth.example/Tenant", false},
        {"https://auth.example", "https://other.example", false},
        // Neither normalizes: equal; only one: unequal.
        {"ftp://a.example", "urn:x", true},
        {"ftp://a.example", "https://a.example", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OAuthAuthorizer::sameAuthorizationServer(url(c.a), url(c.b)), c.same)
            << c.a << " vs " << c.b;
    }
}

TEST_F(Authorizer, ATokenOfAnotherAuthorizationServerIsDropped) {
    ASSERT_TRUE(challenge(401, ""));  // selects https://auth.example
    auto stored = token("mine");
    stored.authorizationServer = url("HTTPS://Auth.Example/");
    storage->save(stored);
    EXPECT_EQ(header(), "Bearer mine");

    stored.authorizationServer = url("https://evil.example");
    storage->save(stored);
    EXPECT_EQ(header(), std::nullopt);
    EXPECT_FALSE(storage->load());
}

// --- 401 ---

TEST_F(Authorizer, A401WithoutATokenDiscoversAndRunsTheGrant) {
    EXPECT_TRUE(challenge(401, std::string("Bearer resource_metadata=\"") + kResourceMetadata +
                                   "\", scope=\"read write\""));
    ASSERT_EQ(discovery->resourceFetches.size(), 1u);
    // The challenge's URL first, the discovered one not repeated.
    EXPECT_EQ(discovery->resourceFetches[0], std::vector<URL>{url(kResourceMetadata)});
    EXPECT_EQ(discovery->fallbacks[0], url("https://mcp.example"));
    ASSERT_EQ(discovery->serverFetches.size(), 1u);
    EXPECT_EQ(discovery->serverFetches[0], std::vector<URL>{url(kServer)});

    ASSERT_EQ(tokens.count(), 1u);
    EXPECT_EQ(tokens.forms()[0], (Parameters{{"grant_type", "client_credentials"},
                                             {"resource", "https://mcp.example/mcp"},
                                             {"scope", "read write"},
                                             {"client_id", "client"},
                                             {"client_secret", "secret"}}));
    const auto stored = storage->load();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->value, "token-1");
    EXPECT_EQ(stored->tokenType, "Bearer");
    EXPECT_EQ(stored->expiresAt, now.adding(3600));
    EXPECT_EQ(stored->scopes, (Scopes{"read", "write"}));
    EXPECT_EQ(stored->authorizationServer, url(kServer));
    EXPECT_EQ(stored->clientID, "client");
    EXPECT_EQ(stored->refreshToken, std::nullopt);
    EXPECT_EQ(header(), "Bearer token-1");
    EXPECT_EQ(registrar->calls, 0) << "pre-registered credentials are not registered";
}

TEST_F(Authorizer, TheCachesLastUntilAnotherMetadataURLIsNamed) {
    const std::string first = std::string("Bearer resource_metadata=\"") + kResourceMetadata + "\"";
    ASSERT_TRUE(challenge(401, first));
    ASSERT_TRUE(challenge(401, ""));
    ASSERT_TRUE(challenge(401, first));
    EXPECT_EQ(discovery->fetchCount(), 2u) << "later challenges cost no discovery";
    EXPECT_EQ(tokens.count(), 3u);

    ASSERT_TRUE(challenge(401, "Bearer resource_metadata=\"https://mcp.example/other-metadata\""));
    EXPECT_EQ(discovery->resourceFetches.size(), 2u);
    EXPECT_EQ(discovery->serverFetches.size(), 2u);
    EXPECT_EQ(discovery->resourceFetches[1].front(), url("https://mcp.example/other-metadata"));
}

TEST_F(Authorizer, TheServerThatAnsweredIsTheOnlyOneOfferedLater) {
    discovery->resourceMetadata.authorizationServers = {url("https://a.example"),
                                                        url("https://b.example")};
    discovery->answeringServer = url("https://b.example");
    ASSERT_TRUE(challenge(401, ""));
    EXPECT_EQ(discovery->serverFetches[0],
              (std::vector<URL>{url("https://a.example"), url("https://b.example")}));
    EXPECT_EQ(storage->load()->authorizationServer, url("https://b.example"));
    // A new metadata URL clears the caches, and the servers are offered in full again.
    ASSERT_TRUE(challenge(401, "Bearer resource_metadata=\"https://mcp.example/m2\""));
    EXPECT_EQ(discovery->serverFetches[1].size(), 2u);
}

TEST_F(Authorizer, A401WithARefreshTokenRefreshesIt) {
    auto held = token("old", 10, "refresh-1");
    held.scopes = {"read"};
    storage->save(held);
    // The answer names no new refresh token: the one that was used stays.
    tokens.script({200, TokenEndpointServer::tokenBody("new")});
    EXPECT_TRUE(challenge(401, "Bearer scope=\"read\""));
    ASSERT_EQ(tokens.count(), 1u);
    EXPECT_EQ(tokens.forms()[0].at("grant_type"), "refresh_token");
    EXPECT_EQ(tokens.forms()[0].at("refresh_token"), "refresh-1");
    EXPECT_EQ(tokens.forms()[0].at("scope"), "read");
    EXPECT_EQ(tokens.forms()[0].at("resource"), "https://mcp.example/mcp");
    EXPECT_EQ(storage->load()->value, "new");
    EXPECT_EQ(storage->load()->refreshToken, "refresh-1");

    // A new refresh token replaces it.
    tokens.script({200, TokenEndpointServer::tokenBody("newer", "refresh-2")});
    EXPECT_TRUE(challenge(401, ""));
    EXPECT_EQ(tokens.forms()[1].at("refresh_token"), "refresh-1");
    EXPECT_EQ(storage->load()->refreshToken, "refresh-2");
}

// A refresh may not widen the grant: whatever the challenge or the metadata offer, it asks for
// the scopes the token was granted, and for none when the token names none.
TEST_F(Authorizer, ARefreshAsksForTheTokensOwnScopes) {
    discovery->resourceMetadata.scopesSupported = std::vector<std::string>{"read", "write", "admin"};
    const struct {
        const char* name;
        Scopes held;
        const char* challenge;
        std::optional<std::string> scope;
    } cases[] = {
        {"a wider challenge scope", {"read"}, "Bearer scope=\"read write\"", "read"},
        {"no challenge scope", {"read", "write"}, "", "read write"},
        {"a token without scopes", {}, "Bearer scope=\"admin\"", std::nullopt},
    };
    for (const auto& c : cases) {
        auto held = token("old", 10, "refresh-1");
        held.scopes = c.held;
        storage->save(held);
        const std::size_t before = tokens.count();
        EXPECT_TRUE(challenge(401, c.challenge)) << c.name;
        const Parameters form = tokens.forms().at(before);
        EXPECT_EQ(form.at("grant_type"), "refresh_token") << c.name;
        EXPECT_EQ(form.count("scope") ? std::optional(form.at("scope")) : std::nullopt, c.scope)
            << c.name;
        // A refresh answer without "scope" leaves the token with the scopes it asked for.
        EXPECT_EQ(storage->load()->scopes, c.held) << c.name;
    }
}

// A refresh token, and the client's credentials with it, go only to the authorization server
// that issued the token.
TEST_F(Authorizer, ARefreshTokenNeverGoesToAnotherAuthorizationServer) {
    const std::string second = "https://second.example";
    auto switchToSecondServer = [&] {
        discovery->resourceMetadata.authorizationServers = {url(second)};
        discovery->serverMetadata.issuer = url(second);
    };

    // A public client: pre-registered credentials would not go to the second server at all.
    Settings open;
    open.authentication = TokenEndpointAuthentication::none("public");
    make(open);

    // A challenge that names new metadata, whose server is another one.
    ASSERT_TRUE(challenge(401, ""));
    storage->save(token("old", 600, "refresh-1"));
    switchToSecondServer();
    EXPECT_TRUE(challenge(401, "Bearer resource_metadata=\"https://mcp.example/elsewhere\""));
    ASSERT_EQ(tokens.count(), 2u);
    EXPECT_EQ(tokens.forms()[1].at("grant_type"), "client_credentials");
    EXPECT_EQ(tokens.forms()[1].count("refresh_token"), 0u);
    EXPECT_EQ(storage->load()->authorizationServer, url(second));

    // Proactive refresh: a token of the first server is not refreshed at the second.
    open.refreshWindow = 300;
    make(open);
    ASSERT_TRUE(challenge(401, ""));  // the caches name the second server
    storage->save(token("held", 200, "refresh-1"));
    const std::size_t before = tokens.count();
    prepare();
    EXPECT_EQ(tokens.count(), before);
    EXPECT_EQ(storage->load()->refreshToken, "refresh-1");
}

TEST_F(Authorizer, AStoredTokenOfAnotherServerIsNotRefreshedByANewAuthorizer) {
    // What an earlier process stored; this one finds another server guarding the resource.
    storage->save(token("old", 600, "refresh-1"));
    discovery->resourceMetadata.authorizationServers = {url("https://second.example")};
    discovery->serverMetadata.issuer = url("https://second.example");
    EXPECT_TRUE(challenge(401, ""));
    ASSERT_EQ(tokens.count(), 1u);
    EXPECT_EQ(tokens.forms()[0].at("grant_type"), "client_credentials");
    EXPECT_EQ(tokens.forms()[0].count("refresh_token"), 0u);
}

// A refresh token without the server that issued it cannot be shown to belong to the one that
// guards the resource now.
TEST_F(Authorizer, ARefreshTokenWithoutItsServerIsNotSent) {
    auto held = token("old", 600, "refresh-1");
    held.authorizationServer.reset();
    storage->save(held);
    EXPECT_TRUE(challenge(401, ""));
    ASSERT_EQ(tokens.count(), 1u);
    EXPECT_EQ(tokens.forms()[0].at("grant_type"), "client_credentials");
}

TEST_F(Authorizer, ARefusedRefreshFallsBackToTheFullFlow) {
    storage->save(token("old", 10, "refresh-1"));
    tokens.script({400, R"({"error":"invalid_grant"})"});
    EXPECT_TRUE(challenge(401, ""));
    ASSERT_EQ(tokens.count(), 2u);
    EXPECT_EQ(tokens.forms()[0].at("grant_type"), "refresh_token");
    EXPECT_EQ(tokens.forms()[1].at("grant_type"), "client_credentials");
    EXPECT_EQ(storage->load()->value, "token-2");
    EXPECT_EQ(storage->load()->refreshToken, std::nullopt);
}

TEST_F(Authorizer, ATransientRefreshFailureKeepsTheRefreshToken) {
    const struct {
        const char* name;
        TokenEndpointServer::Answer answer;
    } cases[] = {
        {"server error", {503, "<html>down</html>"}},
        {"connection reset", {0, "", true}},
    };
    for (const auto& c : cases) {
        storage->save(token("old", 600, "refresh-1"));
        tokens.script(c.answer);
        if (c.answer.reset) {
            // The kept-alive connection's reset is no answer: the request goes once more, on a
            // fresh connection, which resets too.
            tokens.script(c.answer);
        }
        EXPECT_ANY_THROW(challenge(401, "")) << c.name;
        const auto kept = storage->load();
        ASSERT_TRUE(kept) << c.name;
        EXPECT_EQ(kept->refreshToken, "refresh-1") << c.name;
        // The rejected access token is not sent again.
        EXPECT_EQ(header(), std::nullopt) << c.name;

        // The next challenge tries the same refresh token again.
        const std::size_t before = tokens.count();
        EXPECT_TRUE(challenge(401, "")) << c.name;
        EXPECT_EQ(tokens.forms().at(before).at("refresh_token"), "refresh-1") << c.name;
        EXPECT_TRUE(header()) << c.name;
    }
}

TEST_F(Authorizer, AFailedFullFlowLeavesNoToken) {
    storage->save(token("old", 600));
    tokens.script({401, R"({"error":"invalid_client"})"});
    EXPECT_EQ(failure([&] { challenge(401, ""); }), Case::tokenRequestFailed);
    EXPECT_FALSE(storage->load());
}

// --- Side by side ---

TEST_F(Authorizer, ConcurrentChallengesShareOneAcquisition) {
    EXPECT_EQ(together(handle(401, ""), handle(401, "")), Outcomes("retry", "retry"));
    EXPECT_EQ(tokens.count(), 1u);
    EXPECT_EQ(discovery->fetchCount(), 2u);
    EXPECT_EQ(header(), "Bearer token-1");

    // A refresh token is used once: a server that rotates it would revoke the grant on reuse.
    auto held = token("old", 10, "refresh-1");
    storage->save(held);
    tokens.script({200, TokenEndpointServer::tokenBody("new", "refresh-2")});
    EXPECT_EQ(together(handle(401, ""), handle(401, "")), Outcomes("retry", "retry"));
    ASSERT_EQ(tokens.count(), 2u);
    EXPECT_EQ(tokens.forms()[1].at("refresh_token"), "refresh-1");
    EXPECT_EQ(storage->load()->refreshToken, "refresh-2");

    // Two step-ups for the same scope: one authorization.
    EXPECT_EQ(together(handle(403, "Bearer error=\"insufficient_scope\", scope=\"write\""),
                       handle(403, "Bearer error=\"insufficient_scope\", scope=\"write\"")),
              Outcomes("retry", "retry"));
    EXPECT_EQ(tokens.count(), 3u);
    EXPECT_EQ(tokens.forms()[2].at("grant_type"), "client_credentials");
}

TEST_F(Authorizer, ASharedAcquisitionsFailureIsEveryCallers) {
    tokens.script({401, R"({"error":"invalid_client"})"});
    const auto [first, second] = together(handle(401, ""), handle(401, ""));
    EXPECT_EQ(first, "Token request failed with status 401 (oauth_error: invalid_client)");
    EXPECT_EQ(second, first);
    EXPECT_EQ(tokens.count(), 1u);
}

TEST_F(Authorizer, AChallengeForAReplacedTokenLeavesTheNewOneAlone) {
    storage->save(token("new", 3600));
    std::map<std::string, std::string> headers{{"WWW-Authenticate", "Bearer error=\"invalid_token\""}};
    // The refused request carried the token that "new" replaced, or none at all.
    for (const std::optional<std::string>& sent :
         {std::optional<std::string>("Bearer old"), std::optional<std::string>()}) {
        EXPECT_TRUE(runAsync(context, authorizer->handleChallenge(401, headers, url(kEndpoint),
                                                                  "tools/call", sent, session)));
        EXPECT_EQ(storage->load()->value, "new");
    }
    EXPECT_EQ(tokens.count(), 0u);
    EXPECT_EQ(discovery->fetchCount(), 0u);

    // The current token refused: it goes, and a new one comes.
    EXPECT_TRUE(runAsync(context, authorizer->handleChallenge(401, headers, url(kEndpoint),
                                                              "tools/call", "Bearer new", session)));
    EXPECT_EQ(tokens.count(), 1u);
    EXPECT_EQ(storage->load()->value, "token-1");
}

TEST_F(Authorizer, ConcurrentProactiveRefreshesRefreshOnce) {
    Settings settings;
    settings.refreshWindow = 300;
    make(settings);
    ASSERT_TRUE(challenge(401, ""));  // fills the caches
    storage->save(token("held", 200, "refresh-1"));
    tokens.script({200, TokenEndpointServer::tokenBody("fresh", "refresh-2")});
    auto prepareOnce = [this]() -> asio::awaitable<void> {
        co_await authorizer->prepareAuthorization(url(kEndpoint), session);
    };
    EXPECT_EQ(together(prepareOnce(), prepareOnce()), Outcomes("done", "done"));
    ASSERT_EQ(tokens.count(), 2u);
    EXPECT_EQ(tokens.forms()[1].at("refresh_token"), "refresh-1");
    EXPECT_EQ(storage->load()->value, "fresh");

    // A challenge that comes while a proactive refresh runs takes its token.
    storage->save(token("held", 200, "refresh-2"));
    tokens.script({200, TokenEndpointServer::tokenBody("fresher", "refresh-3")});
    EXPECT_EQ(together(prepareOnce(), handle(401, "")), Outcomes("done", "retry"));
    EXPECT_EQ(tokens.count(), 3u);
    EXPECT_EQ(storage->load()->value, "fresher");
}

// A token whose whole lifetime lies within the expiry skew is still sent once: left out at once,
// it would only be refused and replaced by another like it, attempt after attempt.
TEST_F(Authorizer, AShortLivedTokenIsSentOnce) {
    tokens.script({200, TokenEndpointServer::tokenBody("brief", std::nullopt, R"(,"expires_in":10)")});
    ASSERT_TRUE(challenge(401, ""));
    EXPECT_EQ(header(), "Bearer brief");
    EXPECT_EQ(header(), std::nullopt);
    // Refused all the same: a new one is fetched, not the old one retried.
    EXPECT_TRUE(runAsync(context, authorizer->handleChallenge(401, {}, url(kEndpoint), "tools/call",
                                                              "Bearer brief", session)));
    EXPECT_EQ(tokens.count(), 2u);
}

TEST_F(Authorizer, AChallengesHandlingHasADeadline) {
    Settings settings;
    settings.deadline = std::chrono::milliseconds(300);
    // The token comes without a request, so that the second challenge below has nothing to wait
    // for but the fakes.
    settings.provider = [](const AccessTokenProviderContext&,
                           fw::http::Client&) -> asio::awaitable<std::optional<std::string>> {
        co_return "provided";
    };
    make(settings);
    discovery->hangs = true;
    try {
        challenge(401, "");
        ADD_FAILURE() << "the challenge was answered";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "The authorization did not finish within 300 milliseconds; try again.");
    }
    // Nothing is left in progress: the next challenge runs.
    discovery->hangs = false;
    EXPECT_TRUE(challenge(401, ""));
    EXPECT_EQ(header(), "Bearer provided");
}

TEST_F(Authorizer, OnlyTheFirstFewAuthorizationServersAreTried) {
    discovery->resourceMetadata.authorizationServers.clear();
    for (int i = 0; i < 50; ++i) {
        discovery->resourceMetadata.authorizationServers.push_back(
            url("https://as" + std::to_string(i) + ".example"));
    }
    discovery->answeringServer = url("https://as0.example");
    ASSERT_TRUE(challenge(401, ""));
    ASSERT_EQ(discovery->serverFetches.size(), 1u);
    EXPECT_EQ(discovery->serverFetches[0].size(), OAuthAuthorizer::kMaxAuthorizationServersTried);
    EXPECT_EQ(discovery->serverFetches[0].back(), url("https://as3.example"));
}

// Rediscovery that fails says nothing about the refresh token: it stays for the next challenge.
TEST_F(Authorizer, AFailedRediscoveryKeepsTheRefreshToken) {
    ASSERT_TRUE(challenge(401, ""));
    storage->save(token("old", 600, "refresh-1"));
    discovery->failure = std::make_exception_ptr(
        OAuthAuthorizationError::make(Case::metadataDiscoveryFailed));
    EXPECT_EQ(failure([&] { challenge(401, "Bearer resource_metadata=\"https://mcp.example/m2\""); }),
              Case::metadataDiscoveryFailed);
    ASSERT_TRUE(storage->load());
    EXPECT_EQ(storage->load()->refreshToken, "refresh-1");
    EXPECT_EQ(header(), std::nullopt) << "the refused access token is not sent again";

    discovery->failure = nullptr;
    EXPECT_TRUE(challenge(401, ""));
    EXPECT_EQ(tokens.forms().back().at("refresh_token"), "refresh-1");
}

// --- 403 and the scope step-up ---

TEST_F(Authorizer, Only403InsufficientScopeStepsUp) {
    const struct {
        const char* header;
        bool stepsUp;
    } cases[] = {
        {"Bearer error=\"insufficient_scope\", scope=\"write\"", true},
        {"Bearer error=\"INSUFFICIENT_SCOPE\", scope=\"admin\"", true},
        {"Bearer error=\"invalid_token\"", false},
        {"Bearer", false},
        {"Basic realm=\"x\"", false},
        {"", false},
    };
    for (const auto& c : cases) {
        storage->save(token("held", 600));
        const std::size_t fetches = discovery->fetchCount();
        const std::size_t requests = tokens.count();
        EXPECT_EQ(challenge(403, c.header), c.stepsUp) << c.header;
        if (!c.stepsUp) {
            EXPECT_EQ(discovery->fetchCount(), fetches) << c.header;
            EXPECT_EQ(tokens.count(), requests) << c.header;
            EXPECT_EQ(storage->load()->value, "held") << c.header << ": a 403 keeps the token";
        }
    }
    ASSERT_EQ(tokens.count(), 2u);
    EXPECT_EQ(tokens.forms()[1].at("scope"), "admin");
}

TEST_F(Authorizer, AStepUpAsksForTheChallengedAndTheHeldScopes) {
    auto held = token("held", 600);
    held.scopes = {"read"};
    storage->save(held);
    EXPECT_TRUE(challenge(403, "Bearer error=\"insufficient_scope\", scope=\"write\""));
    EXPECT_EQ(tokens.forms()[0].at("scope"), "read write");
    EXPECT_EQ(storage->load()->scopes, (Scopes{"read", "write"}));
}

TEST_F(Authorizer, StepUpsAreLimitedPerResourceMethodAndScopes) {
    const std::string insufficient = "Bearer error=\"insufficient_scope\", scope=\"write\"";
    EXPECT_TRUE(challenge(403, insufficient, "tools/call"));
    EXPECT_TRUE(challenge(403, insufficient, " tools/call\n"));
    EXPECT_FALSE(challenge(403, insufficient, "tools/call")) << "the third for the same key";
    EXPECT_TRUE(challenge(403, insufficient, "tools/list"));
    EXPECT_TRUE(challenge(403, "Bearer error=\"insufficient_scope\", scope=\"admin\"",
                          "tools/call"));
    // No method and a blank one share "<unknown>".
    EXPECT_TRUE(challenge(403, insufficient, std::nullopt));
    EXPECT_TRUE(challenge(403, insufficient, "  "));
    EXPECT_FALSE(challenge(403, insufficient, std::nullopt));
    EXPECT_EQ(tokens.count(), 6u);

    EXPECT_EQ(OAuthAuthorizer::stepUpKey(url("https://mcp.example/mcp"), std::nullopt,
                                         {"write", "read"}),
              "https://mcp.example/mcp|<unknown>|read write");
}

TEST_F(Authorizer, TheStepUpTableForgetsItsOldestKeys) {
    Settings settings;
    settings.retry = RetryPolicy(3, 1);
    settings.provider = [](const AccessTokenProviderContext&,
                           fw::http::Client&) -> asio::awaitable<std::optional<std::string>> {
        co_return "provided";
    };
    make(settings);
    const std::string insufficient = "Bearer error=\"insufficient_scope\", scope=\"write\"";
    EXPECT_TRUE(challenge(403, insufficient, "first"));
    EXPECT_FALSE(challenge(403, insufficient, "first"));
    for (std::size_t i = 1; i < OAuthAuthorizer::kMaxStepUpKeys; ++i) {
        ASSERT_TRUE(challenge(403, insufficient, "m" + std::to_string(i)));
    }
    EXPECT_FALSE(challenge(403, insufficient, "first")) << "still remembered at the bound";
    EXPECT_TRUE(challenge(403, insufficient, "one more"));
    EXPECT_TRUE(challenge(403, insufficient, "first")) << "forgotten as the oldest";
    EXPECT_FALSE(challenge(403, insufficient, "m2"));
    EXPECT_EQ(tokens.count(), 0u);
}

TEST_F(Authorizer, OtherStatusesAreNotItsBusiness) {
    EXPECT_FALSE(challenge(500, "Bearer error=\"insufficient_scope\""));
    EXPECT_FALSE(challenge(404, ""));
    EXPECT_EQ(discovery->fetchCount(), 0u);
    EXPECT_EQ(failure([&] { challenge(500, "", "m", "http://mcp.example/mcp"); }),
              Case::insecureOAuthEndpoint)
        << "the endpoint check comes first";
}

// --- The access-token provider ---

TEST_F(Authorizer, TheAccessTokenProviderIsAskedBeforeAnyGrant) {
    std::vector<AccessTokenProviderContext> contexts;
    std::optional<std::string> answer = "provided";
    Settings settings;
    settings.provider = [&](const AccessTokenProviderContext& context,
                            fw::http::Client&) -> asio::awaitable<std::optional<std::string>> {
        contexts.push_back(context);
        co_return answer;
    };
    make(settings);

    EXPECT_TRUE(challenge(401, "Bearer scope=\"read\""));
    EXPECT_EQ(tokens.count(), 0u);
    EXPECT_EQ(header(), "Bearer provided");
    ASSERT_EQ(contexts.size(), 1u);
    const auto& context = contexts[0];
    EXPECT_EQ(context.statusCode, 401);
    EXPECT_EQ(context.endpoint, url(kEndpoint));
    EXPECT_EQ(context.resource, url(kEndpoint));
    EXPECT_EQ(context.authorizationServer, url(kServer));
    EXPECT_EQ(context.authorizationEndpoint, url("https://auth.example/authorize"));
    EXPECT_EQ(context.tokenEndpoint, url(tokens.url()));
    EXPECT_EQ(context.challengedScope, "read");
    EXPECT_EQ(context.scopesSupported, std::vector<std::string>{"read"});
    EXPECT_EQ(context.requestedScopes, Scopes{"read"});
    const auto provided = storage->load();
    EXPECT_EQ(provided->expiresAt, std::nullopt);
    EXPECT_EQ(provided->scopes, Scopes{"read"});
    EXPECT_EQ(provided->refreshToken, std::nullopt);

    // A step-up tells the provider the 403 and the scopes it would ask for.
    EXPECT_TRUE(challenge(403, "Bearer error=\"insufficient_scope\", scope=\"write\""));
    EXPECT_EQ(contexts.back().statusCode, 403);
    EXPECT_EQ(contexts.back().requestedScopes, (Scopes{"read", "write"}));

    // Empty text: the grant runs.
    answer = "";
    EXPECT_TRUE(challenge(401, ""));
    EXPECT_EQ(tokens.count(), 1u);
    EXPECT_EQ(header(), "Bearer token-1");
}

TEST_F(Authorizer, TheRefreshPathDoesNotAskTheProvider) {
    int asked = 0;
    Settings settings;
    settings.provider = [&](const AccessTokenProviderContext&,
                            fw::http::Client&) -> asio::awaitable<std::optional<std::string>> {
        ++asked;
        co_return "provided";
    };
    make(settings);
    storage->save(token("old", 10, "refresh-1"));
    EXPECT_TRUE(challenge(401, ""));
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(tokens.forms()[0].at("grant_type"), "refresh_token");
}

// --- Registration ---

OAuthClientRegistration registered(std::string clientID, std::int64_t secretExpiresAt = 0) {
    OAuthClientRegistrationResponse response;
    response.clientID = clientID;
    response.clientSecretExpiresAt = secretExpiresAt;
    return {response, TokenEndpointAuthentication::none(clientID)};
}

TEST_F(Authorizer, RegistrationHappensOnce) {
    Settings settings;
    settings.authentication = TokenEndpointAuthentication::none("");
    make(settings);
    registrar->answer = registered("issued-id");
    ASSERT_TRUE(challenge(401, ""));
    ASSERT_TRUE(challenge(401, ""));
    EXPECT_EQ(registrar->calls, 1);
    EXPECT_EQ(authorizer->configuration().authentication().clientID(), "issued-id");
    EXPECT_EQ(tokens.forms()[1].at("client_id"), "issued-id");
    EXPECT_EQ(storage->load()->clientID, "issued-id");
}

TEST_F(Authorizer, OnlyASuccessOrARefusalEndsRegistration) {
    Settings settings;
    settings.authentication = TokenEndpointAuthentication::none("");
    make(settings);
    registrar->failures.push_back(std::make_exception_ptr(
        fw::http::Error(fw::http::Error::Kind::connectFailed, "Could not connect.")));
    registrar->failures.push_back(
        std::make_exception_ptr(OAuthAuthorizationError::tokenRequestFailed(503, std::nullopt)));
    registrar->failures.push_back(std::make_exception_ptr(
        OAuthAuthorizationError::tokenRequestFailed(400, "invalid_client_metadata")));
    EXPECT_THROW(challenge(401, ""), fw::http::Error);
    EXPECT_EQ(failure([&] { challenge(401, ""); }), Case::tokenRequestFailed);
    EXPECT_EQ(failure([&] { challenge(401, ""); }), Case::tokenRequestFailed);
    EXPECT_EQ(registrar->calls, 3) << "each transient failure leaves registration due";
    EXPECT_EQ(tokens.count(), 0u);
    // Refused: not asked again; the grant goes on with the configured client.
    EXPECT_TRUE(challenge(401, ""));
    EXPECT_EQ(registrar->calls, 3);
}

TEST_F(Authorizer, AnExpiredRegisteredSecretIsRegisteredAgain) {
    Settings settings;
    settings.authentication = TokenEndpointAuthentication::none("");
    make(settings);
    registrar->answer = registered("first-id", static_cast<std::int64_t>(now.unixSeconds()) + 60);
    ASSERT_TRUE(challenge(401, ""));
    ASSERT_TRUE(challenge(401, ""));
    EXPECT_EQ(registrar->calls, 1);
    now = now.adding(60);
    registrar->answer = registered("second-id");  // never expires
    ASSERT_TRUE(challenge(401, ""));
    EXPECT_EQ(registrar->calls, 2);
    EXPECT_EQ(registrar->seenClientIDs.back(), "first-id");
    EXPECT_EQ(tokens.forms().back().at("client_id"), "second-id");
    now = now.adding(1e9);
    ASSERT_TRUE(challenge(401, ""));
    EXPECT_EQ(registrar->calls, 2);
}

// A registration belongs to the server it was made at; another server gets its own.
TEST_F(Authorizer, RegistrationIsPerAuthorizationServer) {
    Settings settings;
    settings.authentication = TokenEndpointAuthentication::none("configured");
    make(settings);
    registrar->answer = registered("id-at-first");
    ASSERT_TRUE(challenge(401, ""));
    EXPECT_EQ(tokens.forms().back().at("client_id"), "id-at-first");

    discovery->resourceMetadata.authorizationServers = {url("https://second.example")};
    discovery->serverMetadata.issuer = url("https://second.example");
    registrar->answer = registered("id-at-second");
    ASSERT_TRUE(challenge(401, "Bearer resource_metadata=\"https://mcp.example/m2\""));
    EXPECT_EQ(registrar->calls, 2);
    EXPECT_EQ(registrar->seenClientIDs.back(), "configured");
    EXPECT_EQ(tokens.forms().back().at("client_id"), "id-at-second");
}

TEST_F(Authorizer, ARegistrationWithAnUnreadableAnswerIsNotRepeated) {
    Settings settings;
    settings.authentication = TokenEndpointAuthentication::none("configured");
    make(settings);
    registrar->failures.push_back(std::make_exception_ptr(
        DecodingError::dataCorrupted({}, "The registration answer is no JSON.")));
    EXPECT_THROW(challenge(401, ""), DecodingError);
    EXPECT_TRUE(challenge(401, ""));
    EXPECT_EQ(registrar->calls, 1);
    EXPECT_EQ(tokens.forms().back().at("client_id"), "configured");
}

// Pre-registered credentials go to one authorization server only.
TEST_F(Authorizer, PreRegisteredCredentialsStayWithTheirServer) {
    auto moveToSecondServer = [&] {
        discovery->resourceMetadata.authorizationServers = {url("https://second.example")};
        discovery->serverMetadata.issuer = url("https://second.example");
    };
    const std::string refusal =
        "The client credentials belong to the authorization server https://auth.example and are "
        "not sent to https://second.example; configure that server as the authorization server, "
        "or credentials for it";

    // Bound by their first successful use.
    ASSERT_TRUE(challenge(401, ""));
    moveToSecondServer();
    EXPECT_EQ(failure([&] { challenge(401, "Bearer resource_metadata=\"https://mcp.example/m2\""); }),
              Case::clientCredentialsBoundToAnotherServer);
    EXPECT_EQ(lastError, refusal);
    EXPECT_EQ(tokens.count(), 1u);

    // A new authorizer is bound by the token it finds stored.
    discovery->resourceMetadata.authorizationServers = {url(kServer)};
    discovery->serverMetadata.issuer = url(kServer);
    storage->save(token("stored", 600));
    keepStorage = true;
    make(Settings{});
    moveToSecondServer();
    EXPECT_EQ(failure([&] { challenge(401, ""); }), Case::clientCredentialsBoundToAnotherServer);
    EXPECT_EQ(tokens.count(), 1u);

    // The configured authorization server binds them from the start.
    keepStorage = false;
    Settings configured;
    configured.overrides.authorizationServerURL = url("https://second.example");
    make(configured);
    EXPECT_TRUE(challenge(401, ""));
    EXPECT_EQ(tokens.count(), 2u);

    // A public client has nothing to keep: it follows the resource.
    Settings open;
    open.authentication = TokenEndpointAuthentication::none("public");
    make(open);
    ASSERT_TRUE(challenge(401, ""));
    discovery->resourceMetadata.authorizationServers = {url("https://third.example")};
    discovery->serverMetadata.issuer = url("https://third.example");
    EXPECT_TRUE(challenge(401, "Bearer resource_metadata=\"https://mcp.example/m3\""));
}

// --- The authorization_code grant ---

TEST_F(Authorizer, TheAuthorizationCodeGrantUsesPKCEAndState) {
    Settings settings;
    settings.grant = GrantType::authorizationCode;
    settings.authentication = TokenEndpointAuthentication::none("app");
    settings.additional = {{"grant_type", "ignored"}, {"audience", "api"}};
    make(settings);
    registrar->answer = std::nullopt;
    discovery->serverMetadata.authorizationEndpoint = url("https://auth.example/authorize?old=1");
    tokens.script({200, TokenEndpointServer::tokenBody("coded", "r", "")});

    EXPECT_TRUE(challenge(401, "Bearer scope=\"read write\""));
    ASSERT_EQ(codeFlow->urls.size(), 1u);
    const URL& sent = codeFlow->urls[0];
    EXPECT_EQ(origin(sent) + sent.path(), "https://auth.example/authorize");
    const Parameters query = decodedPairs(sent.query().value_or(""));
    EXPECT_EQ(query.size(), 8u);
    EXPECT_EQ(query.at("response_type"), "code");
    EXPECT_EQ(query.at("client_id"), "app");
    EXPECT_EQ(query.at("redirect_uri"), "http://127.0.0.1:50000/callback");
    EXPECT_EQ(query.at("state"), codeFlow->states[0]);
    EXPECT_EQ(query.at("resource"), "https://mcp.example/mcp");
    EXPECT_EQ(query.at("code_challenge_method"), "S256");
    EXPECT_EQ(query.at("scope"), "read write");
    EXPECT_EQ(codeFlow->states[0].size(), 36u);
    EXPECT_EQ(codeFlow->redirects[0], url("http://127.0.0.1:50000/callback"));

    const Parameters form = tokens.forms().at(0);
    EXPECT_EQ(form.at("grant_type"), "authorization_code");
    EXPECT_EQ(form.at("code"), "the-code");
    EXPECT_EQ(form.at("code_verifier").size(), 64u);
    EXPECT_EQ(PKCE::codeChallenge(form.at("code_verifier")), query.at("code_challenge"));
    EXPECT_EQ(form.at("redirect_uri"), "http://127.0.0.1:50000/callback");
    EXPECT_EQ(form.at("audience"), "api");
    const auto stored = storage->load();
    EXPECT_EQ(stored->expiresAt, std::nullopt) << "no expires_in, no expiry";
    EXPECT_EQ(stored->scopes, (Scopes{"read", "write"})) << "no scope answered: the requested";
}

TEST_F(Authorizer, TheAuthorizationRequestNeedsItsEndpointAndS256) {
    Settings settings;
    settings.grant = GrantType::authorizationCode;
    const struct {
        const char* name;
        std::function<void(OAuthAuthorizationServerMetadata&)> change;
        Case failure;
        const char* text;
    } cases[] = {
        {"no authorization endpoint", [](auto& m) { m.authorizationEndpoint.reset(); },
         Case::authorizationEndpointMissing,
         "Authorization server metadata is missing authorization_endpoint"},
        {"private authorization endpoint",
         [](auto& m) { m.authorizationEndpoint = url("https://192.168.1.5/authorize"); },
         Case::privateIPAddressBlocked, nullptr},
        {"no S256", [](auto& m) { m.codeChallengeMethodsSupported = std::vector<std::string>{"plain"}; },
         Case::pkceS256NotSupported, nullptr},
        {"no token endpoint", [](auto& m) { m.tokenEndpoint.reset(); },
         Case::tokenEndpointMissing, "Authorization server metadata is missing token_endpoint"},
        {"private token endpoint", [](auto& m) { m.tokenEndpoint = url("https://10.1.2.3/t"); },
         Case::privateIPAddressBlocked, nullptr},
    };
    const auto original = discovery->serverMetadata;
    for (const auto& c : cases) {
        make(settings);
        discovery->serverMetadata = original;
        c.change(discovery->serverMetadata);
        EXPECT_EQ(failure([&] { challenge(401, ""); }), c.failure) << c.name;
        if (c.text) {
            EXPECT_EQ(lastError, c.text) << c.name;
        }
    }
    EXPECT_EQ(codeFlow->urls.size(), 0u);
    EXPECT_EQ(tokens.count(), 0u);
}

// --- Resources ---

TEST_F(Authorizer, TheResourceMustDesignateTheEndpoint) {
    const struct {
        const char* name;
        std::optional<std::string> metadataResource;
        std::optional<std::string> configuredResource;
        std::optional<Case> failure;
        const char* sentResource;
    } cases[] = {
        {"metadata names the endpoint", "https://mcp.example/mcp", std::nullopt, std::nullopt,
         "https://mcp.example/mcp"},
        {"metadata names the origin", "https://MCP.example/", std::nullopt, std::nullopt,
         "https://mcp.example"},
        {"metadata resource of blanks", "   ", std::nullopt, std::nullopt,
         "https://mcp.example/mcp"},
        {"metadata names another server", "https://other.example/mcp", std::nullopt,
         Case::protectedResourceMismatch, nullptr},
        {"metadata resource is no URL", " % ", std::nullopt, Case::invalidResourceURI, nullptr},
        {"configured resource elsewhere", std::nullopt, "https://mcp.example/other",
         Case::protectedResourceMismatch, nullptr},
        {"configured resource above", std::nullopt, "https://mcp.example", std::nullopt,
         "https://mcp.example"},
    };
    for (const auto& c : cases) {
        Settings settings;
        if (c.configuredResource) {
            settings.overrides.resource = url(*c.configuredResource);
        }
        make(settings);
        discovery->resourceMetadata.resource = c.metadataResource;
        const std::size_t before = tokens.count();
        EXPECT_EQ(failure([&] { challenge(401, ""); }), c.failure) << c.name;
        if (c.sentResource) {
            EXPECT_EQ(tokens.forms().at(before).at("resource"), c.sentResource) << c.name;
        } else {
            EXPECT_EQ(tokens.count(), before) << c.name << ": no token request";
        }
    }
    EXPECT_EQ(failure([&] {
                  make(Settings{});
                  discovery->resourceMetadata.resource = "%";
                  challenge(401, "");
              }),
              Case::invalidResourceURI);
    EXPECT_EQ(lastError,
              "Invalid resource URI: Protected resource metadata contains an invalid resource "
              "URI: %");
}

TEST_F(Authorizer, OverridesReplaceWhatIsDiscovered) {
    Settings settings;
    settings.overrides.protectedResourceMetadataURL = url("https://meta.example/prm");
    settings.overrides.authorizationServerURL = url("https://issuer.example");
    settings.overrides.tokenEndpoint = url(tokens.url() + "?configured");
    make(settings);
    discovery->serverMetadata.tokenEndpoint = url("https://unused.example/token");
    ASSERT_TRUE(challenge(401, ""));
    EXPECT_EQ(discovery->resourceFetches[0],
              (std::vector<URL>{url("https://meta.example/prm"), url(kResourceMetadata)}));
    EXPECT_EQ(discovery->serverFetches[0], std::vector<URL>{url("https://issuer.example")});
    EXPECT_EQ(tokens.count(), 1u);
}

TEST_F(Authorizer, AChallengeMetadataURLOnAPrivateAddressIsRefused) {
    EXPECT_EQ(failure([&] {
                  challenge(401, "Bearer resource_metadata=\"https://10.0.0.8/.well-known/x\"");
              }),
              Case::privateIPAddressBlocked);
    EXPECT_EQ(discovery->fetchCount(), 0u);
}

// --- Proactive refresh ---

TEST_F(Authorizer, ProactiveRefreshRunsWithinTheWindow) {
    const struct {
        const char* name;
        double window;
        std::optional<double> expiresIn;
        bool refreshToken;
        bool refreshes;
    } cases[] = {
        {"expires within the window", 300, 200, true, true},
        {"expires after the window", 300, 400, true, false},
        {"no expiry", 300, std::nullopt, true, false},
        {"no refresh token", 300, 200, false, false},
        {"window off", 0, 200, true, false},
    };
    for (const auto& c : cases) {
        Settings settings;
        settings.refreshWindow = c.window;
        make(settings);
        ASSERT_TRUE(challenge(401, "")) << c.name;  // fills the caches
        auto held = token("held", c.expiresIn, c.refreshToken ? std::optional<std::string>("r1")
                                                              : std::nullopt);
        held.scopes = {"read"};
        storage->save(held);
        const std::size_t before = tokens.count();
        prepare();
        EXPECT_EQ(tokens.count() - before, c.refreshes ? 1u : 0u) << c.name;
        if (c.refreshes) {
            const auto form = tokens.forms().at(before);
            EXPECT_EQ(form.at("grant_type"), "refresh_token");
            EXPECT_EQ(form.at("refresh_token"), "r1");
            EXPECT_EQ(form.at("scope"), "read");
            EXPECT_NE(storage->load()->value, "held");
            EXPECT_EQ(storage->load()->refreshToken, "r1");
        } else {
            EXPECT_EQ(storage->load()->value, "held") << c.name;
        }
    }
}

TEST_F(Authorizer, AFailedProactiveRefreshChangesNothing) {
    Settings settings;
    settings.refreshWindow = 300;
    make(settings);
    storage->save(token("held", 200, "r1"));
    prepare();
    EXPECT_EQ(tokens.count(), 0u) << "no metadata cached yet";

    ASSERT_TRUE(challenge(401, ""));
    storage->save(token("held", 200, "r1"));
    tokens.script({400, R"({"error":"invalid_grant"})"});
    EXPECT_NO_THROW(prepare());
    EXPECT_EQ(tokens.count(), 2u);
    EXPECT_EQ(storage->load()->value, "held");
    EXPECT_EQ(storage->load()->refreshToken, "r1");
}

// --- The authorization request URL ---

TEST(OAuthAuthorizationURL, ReplacesTheQueryWithTheRequestParameters) {
    const FakeScopeSelector selector;
    const std::string head =
        "https://auth.example/authorize?response_type=code&client_id=client%2Bid&"
        "redirect_uri=http%3A%2F%2F127.0.0.1%3A5000%2Fcallback&state=S&"
        "resource=https%3A%2F%2Fmcp.example%2Fmcp&"
        "code_challenge=C&code_challenge_method=S256";
    const struct {
        std::optional<Scopes> scopes;
        std::string expected;
    } cases[] = {
        {std::nullopt, head},
        {Scopes{}, head},
        {Scopes{"b", "a"}, head + "&scope=a%20b"},
        {Scopes{"x&y=z#"}, head + "&scope=x%26y%3Dz%23"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(makeAuthorizationURL(url("https://auth.example/authorize?old=1&state=x"),
                                       url("https://mcp.example/mcp"),
                                       url("http://127.0.0.1:5000/callback"), "client+id", "C",
                                       c.scopes, "S", selector)
                      .absoluteString(),
                  c.expected);
    }
}

// --- Construction ---

TEST(OAuthAuthorizerConstruction, MissingCollaboratorsAreRefusedOrDefaulted) {
    OAuthConfiguration configuration(GrantType::clientCredentials,
                                     TokenEndpointAuthentication::none("c"),
                                     RetryPolicy::defaultPolicy, EndpointOverrides::none,
                                     std::nullopt, "c", {}, {}, nullptr, 0);
    EXPECT_THROW(OAuthAuthorizer(configuration, std::make_shared<InMemoryTokenStorage>(),
                                 OAuthAuthorizer::Components{}),
                 std::invalid_argument);
    // Given parts are kept; the rest are the defaults.
    OAuthAuthorizer::Components given;
    given.scopeSelector = std::make_shared<FakeScopeSelector>();
    const auto defaults = OAuthAuthorizer::withDefaults(given, configuration, nullptr);
    EXPECT_EQ(defaults.scopeSelector, given.scopeSelector);
    EXPECT_TRUE(defaults.challengeParser && defaults.discoveryClient &&
                defaults.tokenEndpointClient && defaults.clientRegistrar && defaults.authCodeFlow);
    EXPECT_EQ(OAuthAuthorizer(configuration, std::make_shared<InMemoryTokenStorage>(), nullptr,
                              nullptr, nullptr)
                  .maxAuthorizationAttempts(),
              3);
}

}  // namespace
}  // namespace mcp
