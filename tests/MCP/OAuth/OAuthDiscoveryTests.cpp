// OAuth discovery: the URL rules and scope selection as tables, and the fetches of both metadata
// documents against a scripted HTTP server on loopback.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "MCP/OAuth/OAuthDiscoveryClient.h"
#include "MCP/OAuth/OAuthDiscoveryRules.h"
#include "MCP/OAuth/OAuthDiscoveryScopes.h"
#include "MCP/OAuth/OAuthError.h"
#include "platform/http/Client.h"
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
using Texts = std::vector<std::string>;
using Scopes = std::set<std::string>;

Texts texts(const std::vector<URL>& urls) {
    Texts out;
    for (const auto& each : urls) {
        out.push_back(each.absoluteString());
    }
    return out;
}

const DefaultOAuthMetadataDiscovery rules;

TEST(OAuthDiscoveryRules, ProtectedResourceMetadataCandidates) {
    const std::string wellKnown = "/.well-known/oauth-protected-resource";
    const struct {
        const char* resource;
        Texts candidates;
    } cases[] = {
        {"https://mcp.example/mcp",
         {"https://mcp.example" + wellKnown + "/mcp", "https://mcp.example" + wellKnown}},
        {"https://mcp.example/", {"https://mcp.example" + wellKnown}},
        {"https://mcp.example", {"https://mcp.example" + wellKnown}},
        // Scheme, host, port and user as written; query and fragment gone; the path kept whole.
        {"HTTPS://u:p@MCP.Example:8443/a/b/?q=1#f",
         {"HTTPS://u:p@MCP.Example:8443" + wellKnown + "/a/b/",
          "HTTPS://u:p@MCP.Example:8443" + wellKnown}},
        {"https://mcp.example/a%20b", {"https://mcp.example" + wellKnown + "/a%20b",
                                       "https://mcp.example" + wellKnown}},
        {"http://LocalHost:3000/mcp",
         {"http://LocalHost:3000" + wellKnown + "/mcp", "http://LocalHost:3000" + wellKnown}},
        {"http://[::1]:3000/mcp", {"http://[::1]:3000" + wellKnown + "/mcp",
                                   "http://[::1]:3000" + wellKnown}},
        {"http://mcp.example/mcp", {}},
        {"http://127.0.0.2/mcp", {}},
        {"ftp://mcp.example/mcp", {}},
        {"/mcp", {}},
        {"https:///mcp", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(texts(rules.protectedResourceMetadataURLs(url(c.resource))), c.candidates)
            << c.resource;
    }
}

TEST(OAuthDiscoveryRules, AuthorizationServerMetadataCandidates) {
    const struct {
        const char* issuer;
        Texts candidates;
    } cases[] = {
        {"https://as.example/tenant1/",
         {"https://as.example/.well-known/oauth-authorization-server/tenant1",
          "https://as.example/.well-known/openid-configuration/tenant1",
          "https://as.example/tenant1/.well-known/openid-configuration"}},
        {"https://as.example/a/b?x=1#y",
         {"https://as.example/.well-known/oauth-authorization-server/a/b",
          "https://as.example/.well-known/openid-configuration/a/b",
          "https://as.example/a/b/.well-known/openid-configuration"}},
        {"https://as.example",
         {"https://as.example/.well-known/oauth-authorization-server",
          "https://as.example/.well-known/openid-configuration"}},
        {"https://as.example//",
         {"https://as.example/.well-known/oauth-authorization-server",
          "https://as.example/.well-known/openid-configuration"}},
        {"http://LOCALHOST:9000/",
         {"http://LOCALHOST:9000/.well-known/oauth-authorization-server",
          "http://LOCALHOST:9000/.well-known/openid-configuration"}},
        {"http://as.example", {}},
        {"as.example", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(texts(rules.authorizationServerMetadataURLs(url(c.issuer))), c.candidates)
            << c.issuer;
    }
}

// The URL an operation gives, or the text of its invalidResourceURI failure.
template <class Operation>
std::string outcome(Operation operation) {
    try {
        return operation().absoluteString();
    } catch (const OAuthAuthorizationError& error) {
        EXPECT_EQ(error.errorCase(), Case::invalidResourceURI);
        return "error: " + error.text();
    }
}

TEST(OAuthDiscoveryRules, ResourceURIAndIssuer) {
    const std::string insecure = "error: Resource URI must use https or loopback http";
    const struct {
        const char* input;
        std::string normalized;
        std::string issuer;
    } cases[] = {
        {"HTTPS://MCP.Example/?q=1", "https://mcp.example", "https://mcp.example"},
        {"HTTPS://MCP.Example/?q=1#f", "error: Resource URI must not contain a fragment",
         "https://mcp.example"},
        {"https://mcp.example/#", "error: Resource URI must not contain a fragment",
         "https://mcp.example"},
        {"https://mcp.example/mcp/", "https://mcp.example/mcp/", "https://mcp.example"},
        {"https://u:p@Mcp.Example:8443/Mcp?x", "https://u:p@mcp.example:8443/Mcp",
         "https://u:p@mcp.example:8443"},
        {"http://LOCALHOST:5000/x", "http://localhost:5000/x", "http://localhost:5000"},
        {"http://mcp.example/mcp", insecure, insecure},
        {"mcp.example/mcp", insecure, insecure},
        {"urn:example:mcp", insecure, insecure},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome([&] { return rules.normalizedResourceURI(url(c.input)); }), c.normalized)
            << c.input;
        EXPECT_EQ(outcome([&] { return rules.issuerURI(url(c.input)); }), c.issuer) << c.input;
    }
}

TEST(OAuthDiscoveryRules, ResourceMatching) {
    const struct {
        const char* resource;
        const char* candidate;
        bool matches;
    } cases[] = {
        {"https://mcp.example", "HTTPS://MCP.EXAMPLE:443/any/path", true},
        {"https://mcp.example/", "https://mcp.example/mcp", true},
        {"http://mcp.example/mcp", "http://mcp.example:80/mcp", true},
        {"https://mcp.example/mcp", "https://mcp.example/mcp/x", true},
        {"https://mcp.example/mcp", "https://mcp.example/mcp/", true},
        {"https://mcp.example/mcp/", "https://mcp.example/mcp", true},
        {"https://mcp.example/mcp?a=1", "https://mcp.example/mcp#b", true},
        {"https://mcp.example/mcp", "https://mcp.example/mcpx", false},
        {"https://mcp.example/mcp/x", "https://mcp.example/mcp", false},
        {"https://mcp.example/mcp", "http://mcp.example/mcp", false},
        {"https://mcp.example/mcp", "https://mcp.example:8443/mcp", false},
        {"https://mcp.example:8443", "https://mcp.example/mcp", false},
        {"https://mcp.example/mcp", "https://other.example/mcp", false},
        {"https://mcp.example/Mcp", "https://mcp.example/mcp", false},
        {"urn:example:mcp", "https://mcp.example/mcp", false},
        {"mcp", "https://mcp.example/mcp", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rules.resourceMatches(url(c.resource), url(c.candidate)), c.matches)
            << c.resource << " / " << c.candidate;
    }
}

TEST(OAuthDiscoveryRules, IssuerIdentity) {
    const struct {
        const char* issuer;
        const char* server;
        bool same;
    } cases[] = {
        {"https://as.example", "https://as.example", true},
        {"https://as.example", "https://as.example/", true},
        {"HTTPS://AS.Example/", "https://as.example", true},
        {"http://127.0.0.1:8080", "http://127.0.0.1:8080/", true},
        {"https://as.example/tenant", "https://as.example/tenant", true},
        {"https://as.example/tenant", "https://as.example/tenant/", false},
        {"https://as.example/Tenant", "https://as.example/tenant", false},
        {"https://as.example/tenant", "https://as.example", false},
        {"https://as.example:8443", "https://as.example", false},
        {"https://evil.example", "https://as.example", false},
        {"http://as.example", "https://as.example", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OAuthDiscoveryClient::isSameIssuer(url(c.issuer), url(c.server)), c.same)
            << c.issuer << " / " << c.server;
    }
}

TEST(OAuthScopeSelection, SelectsFromTheChallengeOrTheSupportedScopes) {
    const DefaultOAuthScopeSelector selector;
    const struct {
        const char* name;
        std::optional<std::string> challenge;
        std::optional<Texts> supported;
        std::optional<Scopes> selected;
    } cases[] = {
        {"challenge with a repeat", "b a a", std::nullopt, Scopes{"a", "b"}},
        {"challenge wins over supported", "read", Texts{"write"}, Scopes{"read"}},
        {"empty challenge asks for nothing", "", Texts{"read"}, std::nullopt},
        {"blank challenge asks for nothing", " \t\n", Texts{"read"}, std::nullopt},
        {"Unicode white space separates", "read\xE3\x80\x80write\xC2\xA0" "admin\xE2\x80\xA8x",
         std::nullopt, Scopes{"read", "write", "admin", "x"}},
        {"non-breaking joiner is no space", "a\xE2\x81\xA0" "b", std::nullopt,
         Scopes{"a\xE2\x81\xA0" "b"}},
        {"supported without blanks", std::nullopt, Texts{" ", "read", "\t"}, Scopes{"read"}},
        {"supported kept as written", std::nullopt, Texts{" read "}, Scopes{" read "}},
        {"no supported list", std::nullopt, std::nullopt, std::nullopt},
        {"empty supported list", std::nullopt, Texts{}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(selector.selectScopes(c.challenge, c.supported), c.selected) << c.name;
    }
    EXPECT_EQ(selector.scopes(""), Scopes{});
    EXPECT_EQ(selector.scopes("  a  b "), (Scopes{"a", "b"}));
    EXPECT_EQ(selector.scopeParameter({"write", "read"}), "read write");
    EXPECT_EQ(selector.scopeParameter({"b", "B", "a"}), "B a b");
    EXPECT_EQ(selector.scopeParameter({}), std::nullopt);
}

// The chosen server and its metadata (wrapped: Asio wants the result of a spawned coroutine
// default-constructible).
using ServerMetadata = std::pair<URL, OAuthAuthorizationServerMetadata>;
ServerMetadata fetchWith(asio::io_context& context, const OAuthDiscoveryFetching& client,
                         std::vector<URL> servers, fw::http::Client& session) {
    auto wrapped = [&]() -> asio::awaitable<std::optional<ServerMetadata>> {
        co_return co_await client.fetchAuthorizationServerMetadata(std::move(servers), session);
    };
    return *runAsync(context, wrapped());
}

// A scripted server that answers each path from a table (404 for the rest) and records what was
// asked, for the fetches.
class DiscoveryFetch : public ::testing::Test {
protected:
    DiscoveryFetch()
        : server([this](ServerExchange& exchange) -> asio::awaitable<void> {
              std::optional<std::pair<int, std::string>> answer;
              {
                  std::lock_guard lock(mutex);
                  auto found = answers.find(exchange.request().target);
                  if (found != answers.end()) {
                      answer = found->second;
                  }
              }
              if (!answer) {
                  co_await exchange.respond(404, fields("Content-Type", "text/plain"), "no");
              } else if (answer->first == 0) {
                  exchange.reset();
              } else {
                  co_await exchange.respond(answer->first,
                                            fields("Content-Type", "application/json"),
                                            answer->second);
              }
          }) {}

    // Answers GET `path` with `status` and `body`; status 0 resets the connection instead.
    void serve(const std::string& path, int status, std::string body) {
        std::lock_guard lock(mutex);
        answers[path] = {status, std::move(body)};
    }

    std::string base() const { return server.url(""); }
    URL at(const std::string& path) const { return url(server.url(path)); }

    Texts targets() const {
        Texts out;
        for (const auto& request : server.requests()) {
            EXPECT_EQ(request.method, "GET");
            EXPECT_EQ(request.headers.get("Accept"), "application/json");
            out.push_back(request.target);
        }
        return out;
    }

    OAuthProtectedResourceMetadata fetchResource(std::vector<URL> candidates,
                                                 std::optional<URL> fallback = std::nullopt) {
        return runAsync(context, client.fetchProtectedResourceMetadata(std::move(candidates),
                                                                        std::move(fallback),
                                                                        session));
    }

    std::pair<URL, OAuthAuthorizationServerMetadata> fetchServer(std::vector<URL> servers) {
        return fetchWith(context, client, std::move(servers), session);
    }

    // The failure of fetchServer(servers).
    OAuthAuthorizationError serverFailure(std::vector<URL> servers) {
        try {
            fetchServer(std::move(servers));
        } catch (const OAuthAuthorizationError& error) {
            return error;
        }
        ADD_FAILURE() << "the fetch succeeded";
        return OAuthAuthorizationError::make(Case::tokenResponseInvalid);
    }

    std::string issuerDocument(const std::string& issuer) const {
        return R"({"issuer":")" + issuer + R"(","token_endpoint":")" + issuer +
               R"(/token","code_challenge_methods_supported":["S256"]})";
    }

    std::mutex mutex;
    std::map<std::string, std::pair<int, std::string>> answers;
    ScriptedServer server;
    asio::io_context context;
    fw::http::Client session{context.get_executor()};
    OAuthDiscoveryClient client{OAuthURLValidator(/*allowLoopbackHTTPForAuthorizationServer=*/true)};
};

TEST_F(DiscoveryFetch, ProtectedResourceMetadataTriesCandidatesInOrder) {
    const std::string document =
        R"({"resource":"https://mcp.example/mcp","authorization_servers":["https://as.example"],)"
        R"("scopes_supported":["read"],"extra":1})";
    // A reset comes first: on a fresh connection the HTTP client does not send again.
    serve("/first", 0, "");
    serve("/second", 404, "");
    serve("/third", 200, R"({"authorization_servers":[]})");
    serve("/fourth", 200, "not json");
    serve("/fifth", 200, R"({"resource":"https://mcp.example/mcp"})");
    serve("/sixth", 200, R"({"authorization_servers":["not a url"]})");
    serve("/good", 200, document);
    serve("/unused", 200, document);
    const auto metadata = fetchResource({at("/first"), at("/second"), at("/third"), at("/fourth"),
                                         at("/fifth"), at("/sixth"), at("/good"), at("/unused")});
    EXPECT_EQ(metadata.resource, "https://mcp.example/mcp");
    EXPECT_EQ(metadata.authorizationServers, std::vector<URL>{url("https://as.example")});
    EXPECT_EQ(metadata.scopesSupported, Texts{"read"});
    EXPECT_EQ(targets(), (Texts{"/first", "/second", "/third", "/fourth", "/fifth", "/sixth",
                                "/good"}));
}

TEST_F(DiscoveryFetch, ProtectedResourceMetadataFallsBackOrFails) {
    serve("/.well-known/oauth-protected-resource", 500, "{}");
    const auto candidates = rules.protectedResourceMetadataURLs(at("/mcp"));
    const auto fallback = fetchResource(candidates, url("https://as.example/tenant"));
    EXPECT_FALSE(fallback.resource);
    EXPECT_EQ(fallback.authorizationServers, std::vector<URL>{url("https://as.example/tenant")});
    EXPECT_FALSE(fallback.scopesSupported);
    EXPECT_EQ(targets(), (Texts{"/.well-known/oauth-protected-resource/mcp",
                                "/.well-known/oauth-protected-resource"}));

    try {
        fetchResource(candidates);
        ADD_FAILURE() << "no document and no fallback";
    } catch (const OAuthAuthorizationError& error) {
        EXPECT_EQ(error.errorCase(), Case::metadataDiscoveryFailed);
    }
    try {
        fetchResource({});
        ADD_FAILURE() << "no candidates and no fallback";
    } catch (const OAuthAuthorizationError& error) {
        EXPECT_EQ(error.errorCase(), Case::metadataDiscoveryFailed);
    }
}

TEST_F(DiscoveryFetch, AuthorizationServerWithAPathTriesItsThreeCandidates) {
    const std::string issuer = base() + "/tenant1";
    serve("/tenant1/.well-known/openid-configuration", 200, issuerDocument(issuer));
    const auto [chosen, metadata] = fetchServer({url(issuer)});
    EXPECT_EQ(chosen, url(issuer));
    EXPECT_EQ(metadata.issuer, url(issuer));
    EXPECT_EQ(metadata.tokenEndpoint, url(issuer + "/token"));
    EXPECT_EQ(targets(), (Texts{"/.well-known/oauth-authorization-server/tenant1",
                                "/.well-known/openid-configuration/tenant1",
                                "/tenant1/.well-known/openid-configuration"}));
}

TEST_F(DiscoveryFetch, AuthorizationServerStopsAtTheFirstMatchingDocument) {
    // The server is named with a trailing "/", its document without one: the same issuer.
    serve("/.well-known/oauth-authorization-server", 200, issuerDocument(base()));
    serve("/.well-known/openid-configuration", 200, issuerDocument(base()));
    const auto [chosen, metadata] = fetchServer({url(base() + "/")});
    EXPECT_EQ(chosen, url(base() + "/"));
    EXPECT_EQ(metadata.issuer, url(base()));
    EXPECT_EQ(targets(), Texts{"/.well-known/oauth-authorization-server"});
}

TEST_F(DiscoveryFetch, AMismatchedIssuerIsNeverAdopted) {
    // The first server's documents name another issuer or none; the second server's is its own.
    const std::string first = base() + "/a";
    const std::string second = base() + "/b";
    serve("/.well-known/oauth-authorization-server/a", 200, issuerDocument("https://evil.example"));
    serve("/.well-known/openid-configuration/a", 200, R"({"token_endpoint":"https://x/token"})");
    serve("/a/.well-known/openid-configuration", 200, issuerDocument(base() + "/a/"));
    serve("/.well-known/oauth-authorization-server/b", 200, issuerDocument(second));
    const auto [chosen, metadata] = fetchServer({url(first), url(second)});
    EXPECT_EQ(chosen, url(second));
    EXPECT_EQ(metadata.issuer, url(second));
    EXPECT_EQ(targets().size(), 4u);

    // Nothing matches: the first mismatch is the error.
    const auto mismatch = serverFailure({url(first)});
    EXPECT_EQ(mismatch.errorCase(), Case::authorizationServerIssuerMismatch);
    EXPECT_EQ(mismatch.expected(), first);
    EXPECT_EQ(mismatch.actual(), "https://evil.example");
    EXPECT_EQ(std::string(mismatch.what()),
              "Authorization server issuer mismatch. Expected " + first +
                  ", got https://evil.example");

    // Documents without an issuer, or none at all: the discovery failure.
    serve("/.well-known/oauth-authorization-server/c", 200, R"({"token_endpoint":"https://x/t"})");
    EXPECT_EQ(serverFailure({url(base() + "/c")}).errorCase(),
              Case::authorizationServerMetadataDiscoveryFailed);
    EXPECT_EQ(serverFailure({}).errorCase(), Case::authorizationServerMetadataDiscoveryFailed);
}

TEST_F(DiscoveryFetch, InsecureServersAreSkippedWithoutARequest) {
    serve("/.well-known/oauth-authorization-server", 200, issuerDocument(base()));
    const OAuthDiscoveryClient strict{OAuthURLValidator(false)};
    try {
        fetchWith(context, strict,
                  {url(base()), url("http://as.example"), url("ftp://as.example"),
                   url(base() + "#f")},
                  session);
        ADD_FAILURE() << "an insecure server was used";
    } catch (const OAuthAuthorizationError& error) {
        EXPECT_EQ(error.errorCase(), Case::authorizationServerMetadataDiscoveryFailed);
    }
    EXPECT_TRUE(server.requests().empty());
}

// Candidates of any server on the scripted server, under a path naming the server's host.
class ScriptedCandidates final : public OAuthMetadataDiscovering {
public:
    explicit ScriptedCandidates(std::string base) : base_(std::move(base)) {}
    std::vector<URL> protectedResourceMetadataURLs(const URL&) const override { return {}; }
    std::vector<URL> authorizationServerMetadataURLs(const URL& issuer) const override {
        return {url(base_ + "/" + issuer.host().value_or("") + "/metadata")};
    }
    URL normalizedResourceURI(const URL& u) const override { return u; }
    URL issuerURI(const URL& u) const override { return u; }
    bool resourceMatches(const URL&, const URL&) const override { return false; }

private:
    std::string base_;
};

TEST_F(DiscoveryFetch, PrivateAddressesAreSkippedWithoutARequest) {
    const Texts servers = {"https://10.0.0.1",        "https://172.16.0.1", "https://192.168.1.1",
                           "https://169.254.169.254", "https://100.64.0.1", "https://[fd00::1]",
                           "https://[FE80::1]",        "https://as.example"};
    std::vector<URL> urls;
    for (const auto& each : servers) {
        const URL server = url(each);
        urls.push_back(server);
        serve("/" + *server.host() + "/metadata", 200, issuerDocument(each));
    }
    const OAuthDiscoveryClient redirected(std::make_shared<ScriptedCandidates>(base()),
                                          OAuthURLValidator(true));
    const auto [chosen, metadata] = fetchWith(context, redirected, urls, session);
    EXPECT_EQ(chosen, url("https://as.example"));
    EXPECT_EQ(targets(), Texts{"/as.example/metadata"});
}

}  // namespace
}  // namespace mcp
