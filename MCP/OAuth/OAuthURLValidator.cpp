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

// A blank or a control character: what no host name holds, and what a percent-encoded host
// ("10.0.0.1%00", "167772161%20") decodes to when it hopes that the resolver reads only as far as
// the address before it while the checks here see no address at all.
bool holdsBlankOrControl(std::string_view host) {
    for (const char c : host) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f) {
            return true;
        }
    }
    return false;
}

// Scheme and host present, host not empty and free of blanks and control characters, no
// fragment; else invalidResourceURI.
Parts structuralCheck(const URL& url, std::string_view context) {
    if (!url.scheme() || !url.host() || url.host()->empty() || holdsBlankOrControl(*url.host()) ||
        url.fragment()) {
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
    if (holdsBlankOrControl(host)) {
        return true;  // no host name; whatever address a resolver made of it is not judged here
    }
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
    // Forms that carry an IPv4 address and reach it: judged by that address.
    auto zeroes = [&v6](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            if (v6[i] != 0) {
                return false;
            }
        }
        return true;
    };
    const std::array<std::uint8_t, 4> last{v6[12], v6[13], v6[14], v6[15]};
    if (zeroes(0, 10) && v6[10] == 0xff && v6[11] == 0xff) {
        return isPrivateIPv4(last);  // ::ffff:a.b.c.d, IPv4-mapped
    }
    if (zeroes(0, 12)) {
        // ::a.b.c.d, IPv4-compatible; "::" is the unspecified address (0.0.0.0), "::1" loopback.
        return !(zeroes(12, 15) && v6[15] == 1) && isPrivateIPv4(last);
    }
    if (v6[0] == 0x00 && v6[1] == 0x64 && v6[2] == 0xff && v6[3] == 0x9b && zeroes(4, 12)) {
        return isPrivateIPv4(last);  // 64:ff9b::/96, NAT64
    }
    if (v6[0] == 0x20 && v6[1] == 0x02) {
        return isPrivateIPv4({v6[2], v6[3], v6[4], v6[5]});  // 2002::/16, 6to4
    }
    return false;
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
