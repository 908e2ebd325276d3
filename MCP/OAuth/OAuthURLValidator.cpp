#include "MCP/OAuth/OAuthURLValidator.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <cstring>
#include <cstdint>
#include <string>

#include "MCP/OAuth/OAuthError.h"
#include "MCP/OAuth/detail/ASCIIText.h"

namespace mcp {

namespace {

struct Parts {
    std::string scheme;  // lower-cased
    std::string host;    // lower-cased
};

// Scheme and host present, host not empty, no fragment; else invalidResourceURI.
Parts structuralCheck(const URL& url, std::string_view context) {
    if (!url.scheme() || !url.host() || url.host()->empty() || url.fragment()) {
        throw OAuthAuthorizationError::invalidResourceURI("Invalid " + std::string(context) + ": " +
                                                          url.absoluteString());
    }
    return Parts{asciiLowercased(*url.scheme()), asciiLowercased(*url.host())};
}

bool isPrivateIPv4(const std::array<std::uint8_t, 4>& octets) {
    const unsigned a = octets[0];
    const unsigned b = octets[1];
    return a == 0 || a == 10 || (a == 100 && b >= 64 && b <= 127) || (a == 169 && b == 254) ||
           (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168);
}

}  // namespace

bool OAuthURLValidator::isLoopbackHost(std::string_view host) {
    const std::string lower = asciiLowercased(host);
    return lower == "localhost" || lower == "127.0.0.1" || lower == "::1";
}

void OAuthURLValidator::validateAuthorizationServerEndpoint(const URL& url,
                                                            std::string_view context) const {
    const Parts parts = structuralCheck(url, context);
    if (allowLoopbackHTTPForAuthorizationServer && parts.scheme == "http" &&
        isLoopbackHost(parts.host)) {
        return;
    }
    if (parts.scheme == "https") {
        return;
    }
    throw OAuthAuthorizationError::insecureAuthorizationServerEndpoint(std::string(context),
                                                                       url.absoluteString());
}

void OAuthURLValidator::validateOAuthEndpoint(const URL& url, std::string_view context) const {
    const Parts parts = structuralCheck(url, context);
    if (parts.scheme == "https" || (parts.scheme == "http" && isLoopbackHost(parts.host))) {
        return;
    }
    throw OAuthAuthorizationError::insecureOAuthEndpoint(std::string(context),
                                                         url.absoluteString());
}

bool OAuthURLValidator::isPrivateOrReservedHost(std::string_view host) const {
    std::string text(host);
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    // A zone identifier ("fe80::1%eth0") names an interface, not another address.
    if (auto zone = text.find('%'); zone != std::string::npos && text.find(':') != std::string::npos) {
        text.erase(zone);
    }
    std::array<std::uint8_t, 4> v4{};
    if (::inet_pton(AF_INET, text.c_str(), v4.data()) == 1) {
        return isPrivateIPv4(v4);
    }
    // The legacy numeric forms ("167772161", "0x0a.0.0.1", "10.1", "012.0.0.1") are no host
    // names either: the system's resolver reads them as IPv4 addresses without a look-up, so
    // they are judged as the address they name.
    const bool numeric = !text.empty() && text.find_first_not_of("0123456789abcdefABCDEFxX.") ==
                                              std::string::npos;
    if (in_addr legacy{}; numeric && ::inet_aton(text.c_str(), &legacy) == 1) {
        std::memcpy(v4.data(), &legacy.s_addr, 4);  // network byte order
        return isPrivateIPv4(v4);
    }
    std::array<std::uint8_t, 16> v6{};
    if (::inet_pton(AF_INET6, text.c_str(), v6.data()) != 1) {
        return false;  // a host name: never looked up here
    }
    if ((v6[0] & 0xfe) == 0xfc) {
        return true;  // fc00::/7, unique local
    }
    if (v6[0] == 0xfe && (v6[1] & 0xc0) == 0x80) {
        return true;  // fe80::/10, link-local
    }
    bool mapped = v6[10] == 0xff && v6[11] == 0xff;
    for (int i = 0; i < 10; ++i) {
        mapped = mapped && v6[i] == 0;
    }
    return mapped && isPrivateIPv4({v6[12], v6[13], v6[14], v6[15]});
}

void OAuthURLValidator::validateRedirectURI(const URL& url) const {
    auto refuse = [&] { return OAuthAuthorizationError::invalidRedirectURI(url.absoluteString()); };
    if (!url.scheme() || url.fragment()) {
        throw refuse();
    }
    const std::string scheme = asciiLowercased(*url.scheme());
    if (scheme == "https") {
        return;
    }
    if (scheme == "http" && url.host() && isLoopbackHost(*url.host())) {
        return;
    }
    throw refuse();
}

}  // namespace mcp
