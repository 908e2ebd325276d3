// Verdicts of the URL checks, tables of URLs and hosts, and hostile input.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/OAuthURLValidator.h"

namespace mcp {
namespace {

using Case = OAuthAuthorizationError::Case;

// The case a check throws, or nothing when it accepts.
template <class Check>
std::optional<Case> verdict(Check check) {
    try {
        check();
        return std::nullopt;
    } catch (const OAuthAuthorizationError& error) {
        return error.errorCase();
    }
}

struct EndpointCase {
    const char* url;
    bool allowLoopback;
    std::optional<Case> authorizationServer;  // validateAuthorizationServerEndpoint
    std::optional<Case> oauth;                // validateOAuthEndpoint
};

TEST(OAuthURLValidator, EndpointVerdicts) {
    constexpr auto insecureAS = Case::insecureAuthorizationServerEndpoint;
    constexpr auto insecure = Case::insecureOAuthEndpoint;
    constexpr auto invalid = Case::invalidResourceURI;
    const EndpointCase cases[] = {
        {"https://any.example/token", false, std::nullopt, std::nullopt},
        {"HTTPS://any.example/token", false, std::nullopt, std::nullopt},
        {"https://10.0.0.1/token", false, std::nullopt, std::nullopt},
        {"http://LOCALHOST:8080/mcp", false, insecureAS, std::nullopt},
        {"http://LOCALHOST:8080/mcp", true, std::nullopt, std::nullopt},
        {"http://127.0.0.1/t", true, std::nullopt, std::nullopt},
        {"http://[::1]:9/t", true, std::nullopt, std::nullopt},
        {"http://127.0.0.2/t", true, insecureAS, insecure},
        {"http://192.168.1.1/t", true, insecureAS, insecure},
        {"http://example.com/t", true, insecureAS, insecure},
        {"ftp://example.com/t", true, insecureAS, insecure},
        {"https://example.com/t#frag", false, invalid, invalid},
        {"https://example.com/t#", false, invalid, invalid},
        {"mailto:someone@example.com", false, invalid, invalid},
        {"https:///no-host", false, invalid, invalid},
        {"https://167772161%00/token", false, invalid, invalid},
        {"https://example.com%20/token", false, invalid, invalid},
        {"http://localhost%0d%0a/t", true, invalid, invalid},
        {"//example.com/no-scheme", false, invalid, invalid},
        {"/relative/path", false, invalid, invalid},
    };
    for (const auto& c : cases) {
        const URL url = *URL::parse(c.url);
        const OAuthURLValidator validator(c.allowLoopback);
        EXPECT_EQ(verdict([&] { validator.validateAuthorizationServerEndpoint(url, "Token endpoint"); }),
                  c.authorizationServer)
            << c.url << " allow loopback " << c.allowLoopback;
        EXPECT_EQ(verdict([&] { validator.validateOAuthEndpoint(url, "MCP endpoint"); }), c.oauth)
            << c.url;
    }
}

TEST(OAuthURLValidator, ErrorsCarryTheLabelAndTheURLText) {
    const OAuthURLValidator validator;
    try {
        validator.validateOAuthEndpoint(*URL::parse("https://h/x#y"), "MCP endpoint");
        FAIL();
    } catch (const OAuthAuthorizationError& error) {
        EXPECT_STREQ(error.what(), "Invalid resource URI: Invalid MCP endpoint: https://h/x#y");
    }
    try {
        validator.validateAuthorizationServerEndpoint(*URL::parse("http://localhost/t"),
                                                      "Token endpoint");
        FAIL();
    } catch (const OAuthAuthorizationError& error) {
        EXPECT_STREQ(error.what(), "Token endpoint must use https: http://localhost/t");
        EXPECT_EQ(error.context(), "Token endpoint");
        EXPECT_EQ(error.url(), "http://localhost/t");
    }
    try {
        validator.validateOAuthEndpoint(*URL::parse("http://h/x"), "Protected resource metadata URL");
        FAIL();
    } catch (const OAuthAuthorizationError& error) {
        EXPECT_STREQ(error.what(),
                     "Protected resource metadata URL must use https or loopback http: http://h/x");
    }
}

TEST(OAuthURLValidator, RedirectURIVerdicts) {
    const struct {
        const char* url;
        bool accepted;
    } cases[] = {
        {"http://127.0.0.1:51234/callback", true},
        {"http://127.0.0.1/any/path?x=1", true},
        {"http://localhost:1/cb", true},
        {"http://[::1]:1/cb", true},
        {"http://127.0.0.1:51234/callback#f", false},
        {"https://app.example/cb", true},
        {"https:relative-without-host", true},
        {"https://app.example/cb#", false},
        {"com.example.app:/oauth/callback", false},
        {"http://app.example/cb", false},
        {"http:/no-host", false},
        {"/no-scheme", false},
    };
    const OAuthURLValidator validator;
    for (const auto& c : cases) {
        const URL url = *URL::parse(c.url);
        const auto result = verdict([&] { validator.validateRedirectURI(url); });
        EXPECT_EQ(result, c.accepted ? std::nullopt : std::optional(Case::invalidRedirectURI))
            << c.url;
    }
    try {
        validator.validateRedirectURI(*URL::parse("app:/cb"));
    } catch (const OAuthAuthorizationError& error) {
        EXPECT_STREQ(error.what(),
                     "Redirect URI must use https or loopback http and must not include "
                     "fragments: app:/cb");
    }
}

TEST(OAuthURLValidator, PrivateAndReservedHostsByAddress) {
    const struct {
        std::string host;
        bool privateOrReserved;
    } cases[] = {
        // IPv4 ranges and their edges.
        {"10.1.2.3", true},
        {"100.64.0.1", true},
        {"100.127.255.255", true},
        {"100.63.0.1", false},
        {"100.128.0.1", false},
        {"169.254.169.254", true},
        {"169.253.1.1", false},
        {"172.16.0.1", true},
        {"172.31.255.255", true},
        {"172.15.0.1", false},
        {"172.32.0.1", false},
        {"192.168.1.1", true},
        {"192.169.1.1", false},
        {"0.0.0.0", true},
        {"0.1.2.3", true},
        {"127.0.0.1", false},  // loopback: the endpoint checks decide about it
        {"8.8.8.8", false},
        // Text that is no dotted quad is a host name, never resolved here.
        {"1.2.3", false},
        {"10.0.0.x.1", false},
        {"256.1.1.1", false},
        {"10.0.0.1.", false},
        {"+10.0.0.1", false},
        {"feed.cafe", false},
        // Legacy numeric forms name the address the resolver would connect to.
        {"167772161", true},
        {"0x0a.0.0.1", true},
        {"0xA9.0xFE.1.1", true},
        {"10.1", true},
        {"012.0.0.1", true},
        {"10.0.0.01", true},
        {"010.0.0.1", false},  // octal: 8.0.0.1
        {"134744072", false},  // 8.8.8.8
        {"2130706433", false},  // 127.0.0.1
        // A blank or a control character: no host, whatever a resolver would make of it.
        {"10.0.0.1 ", true},
        {std::string("167772161\0", 10), true},
        {"10.0.0.1\r\n", true},
        {"example.com\x7f", true},
        // IPv6.
        {"fd12::1", true},
        {"fc00::", true},
        {"FC00::1", true},
        {"fe80::1", true},
        {"febf::1", true},
        {"[fe80::1]", true},
        {"fe80::1%eth0", true},
        {"fec0::1", false},
        {"fe00::1", false},
        {"::1", false},
        {"2001:db8::1", false},
        {"::ffff:10.0.0.1", true},
        {"::ffff:192.168.0.1", true},
        {"::ffff:a9fe:a9fe", true},
        {"::ffff:8.8.8.8", false},
        {"::ffff:127.0.0.1", false},
        // Other forms that carry an IPv4 address are judged by it.
        {"::10.0.0.1", true},
        {"::192.168.0.1", true},
        {"::8.8.8.8", false},
        {"::", true},
        {"::0.0.0.1", false},  // ::1
        {"64:ff9b::10.0.0.1", true},
        {"64:ff9b::a9fe:a9fe", true},
        {"64:ff9b::8.8.8.8", false},
        {"64:ff9b:1::10.0.0.1", false},
        {"2002:0a00:0001::1", true},
        {"2002:c0a8:0101::", true},
        {"2002:0808:0808::1", false},
        // Host names that merely begin like an address range.
        {"feature.example", false},
        {"fcc.gov", false},
        {"fd.example", false},
        {"fe9x", false},
        {"localhost", false},
        {"", false},
    };
    const OAuthURLValidator validator;
    for (const auto& c : cases) {
        EXPECT_EQ(validator.isPrivateOrReservedHost(c.host), c.privateOrReserved) << c.host;
        // No state: the same answer every time.
        EXPECT_EQ(validator.isPrivateOrReservedHost(c.host), c.privateOrReserved) << c.host;
    }
}

// Random and hostile text never crashes a check, and every refusal is an OAuth error.
TEST(OAuthURLValidator, HostileInput) {
    std::mt19937 random(20261211);
    const std::string pieces[] = {"http", "https", "://", ":", "/", "#", "?", "[", "]", "::1",
                                  "%", "%2", "%00", "@", "localhost", "127.0.0.1", "10.0.0.1",
                                  "fe80::", "\xff", "\xe2\x80\xae", " ", "\t", ".", "..",
                                  "99999", "a", "\\", std::string(300, 'x')};
    const OAuthURLValidator lenient(true);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int count = 1 + int(random() % 8);
        for (int i = 0; i < count; ++i) {
            text += pieces[random() % std::size(pieces)];
        }
        (void)lenient.isPrivateOrReservedHost(text);
        const auto url = URL::parse(text);
        if (!url) {
            continue;
        }
        for (auto check : {0, 1, 2}) {
            try {
                if (check == 0) {
                    lenient.validateAuthorizationServerEndpoint(*url, "Token endpoint");
                } else if (check == 1) {
                    lenient.validateOAuthEndpoint(*url, "MCP endpoint");
                } else {
                    lenient.validateRedirectURI(*url);
                }
                // Accepted: https, or http to a loopback host, and never a fragment.
                EXPECT_FALSE(url->fragment().has_value()) << text;
            } catch (const OAuthAuthorizationError&) {
            }
        }
        if (url->host()) {
            (void)lenient.isPrivateOrReservedHost(*url->host());
        }
    }
}

}  // namespace
}  // namespace mcp
