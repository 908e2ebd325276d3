// Text that reaches the OAuth client from servers: WWW-Authenticate values and URLs.
// - The challenge parser never fails; the names it stores are non-empty and lower-case, and the
//   same value gives the same parameters under any letter case of the header's name.
// - A URL that an endpoint check accepts has a scheme of https, or http to a loopback host, a
//   non-empty host and no fragment; an accepted redirect URI has no fragment.
// - The private-host verdict of a host does not depend on brackets around it, and a host holding
//   a blank or a control character is never accepted and always counts as private.
// - Server text made fit for an error text is short and free of control characters.
// - The text of a refused authorization response never repeats its query (where the code is).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "MCP/OAuth/OAuthAuthorizationCodeFlow.h"
#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/OAuthURLValidator.h"
#include "MCP/OAuth/OAuthWWWAuthenticateParser.h"
#include "fuzz/FuzzCheck.h"

namespace {

using namespace mcp;

std::string lowercased(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

void checkChallenge(std::string_view text) {
    const DefaultOAuthWWWAuthenticateParser parser;
    const auto challenge = parser.parseBearerChallenge({{"WWW-Authenticate", std::string(text)}});
    const auto again = parser.parseBearerChallenge({{"www-authenticate", std::string(text)}});
    fuzz::check(challenge.has_value() == again.has_value() &&
                    (!challenge || challenge->parameters == again->parameters),
                "the header's name is found in any letter case", text);
    if (!challenge) {
        return;
    }
    for (const auto& [name, value] : challenge->parameters) {
        fuzz::check(!name.empty(), "parameter names are not empty", text);
        fuzz::check(name == lowercased(name), "parameter names are lower-case", text);
    }
}

bool holdsBlankOrControl(std::string_view host) {
    for (const char c : host) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) {
            return true;
        }
    }
    return false;
}

void checkAuthorizationResponse(const URL& url, std::string_view text);

void checkURL(std::string_view text) {
    const auto url = URL::parse(text);
    if (!url) {
        return;
    }
    const OAuthURLValidator validator(true);
    auto acceptedEndpoint = [&](auto check) {
        try {
            check();
        } catch (const OAuthAuthorizationError&) {
            return;
        }
        const std::string scheme = lowercased(url->scheme().value_or(""));
        fuzz::check(url->host() && !url->host()->empty(), "an accepted endpoint has a host", text);
        fuzz::check(!holdsBlankOrControl(*url->host()),
                    "an accepted endpoint's host holds no blank or control character", text);
        fuzz::check(!url->fragment(), "an accepted endpoint has no fragment", text);
        fuzz::check(scheme == "https" ||
                        (scheme == "http" && OAuthURLValidator::isLoopbackHost(*url->host())),
                    "an accepted endpoint is https or loopback http", text);
    };
    acceptedEndpoint([&] { validator.validateAuthorizationServerEndpoint(*url, "Token endpoint"); });
    acceptedEndpoint([&] { validator.validateOAuthEndpoint(*url, "MCP endpoint"); });
    try {
        validator.validateRedirectURI(*url);
        fuzz::check(!url->fragment(), "an accepted redirect URI has no fragment", text);
    } catch (const OAuthAuthorizationError&) {
    }
    if (url->host()) {
        const std::string host = lowercased(*url->host());
        fuzz::check(validator.isPrivateOrReservedHost(host) ==
                        validator.isPrivateOrReservedHost("[" + host + "]"),
                    "brackets do not change the private-host verdict", host);
        fuzz::check(!holdsBlankOrControl(host) || validator.isPrivateOrReservedHost(host),
                    "a host with a blank or a control character counts as private", host);
    }
    checkAuthorizationResponse(*url, text);
}

void checkAuthorizationResponse(const URL& url, std::string_view text) {
    const URL redirectURI = *URL::parse("https://client.example/cb");
    try {
        (void)OAuthAuthorizationCodeFlow().authorizationCode(
            url, redirectURI, "expected-state", AuthorizationResponseIssuer{"https://as.example", true});
    } catch (const OAuthAuthorizationError& error) {
        const std::string_view what = error.what();
        fuzz::check(what.size() <= 1024, "an authorization response error text is short", text);
        // (A query that the address before it repeats may appear through the address.)
        const std::string& whole = url.absoluteString();
        const std::string_view head = std::string_view(whole).substr(0, whole.find_first_of("?#"));
        if (url.query() && url.query()->size() >= 16 && head.find(*url.query()) == std::string_view::npos) {
            fuzz::check(what.find(*url.query()) == std::string_view::npos,
                        "an authorization response error text does not repeat the query", text);
        }
    }
}

void checkServerText(std::string_view text) {
    const std::string fit = OAuthAuthorizationError::serverText(text);
    fuzz::check(fit.size() <= OAuthAuthorizationError::kMaxServerTextLength + 3,
                "server text is cut", text);
    fuzz::check(fit.find_first_of(std::string_view("\0\r\n\x7f", 4)) == std::string::npos,
                "server text holds no control character", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkChallenge(text);
    checkURL(text);
    checkServerText(text);
    return 0;
}
