// OAuthURLValidator: the checks that every URL the OAuth client contacts, or hands to a browser
// as a redirect target, must pass: https (plain http only to the local machine), no fragment,
// and a scheme and host present. Each check returns normally or throws one
// OAuthAuthorizationError; nothing is cached.
//
// A host holding a blank or a control character (a percent-encoded NUL or line end decodes to
// one) is no host: the endpoint checks refuse it, and isPrivateOrReservedHost counts it as
// private.
//
// isPrivateOrReservedHost judges a host from its address literal: a strict IPv4 dotted quad or
// IPv6 literal in 0.0.0.0/8, 10/8, 100.64/10, 169.254/16, 172.16/12, 192.168/16, fc00::/7 or
// fe80::/10, or an IPv6 form that carries one of the IPv4 ranges (IPv4-mapped ::ffff:a.b.c.d,
// IPv4-compatible ::a.b.c.d with "::" itself, NAT64 64:ff9b::/96, 6to4 2002::/16). The legacy
// numeric IPv4 forms that the system's resolver takes as addresses ("167772161", "0x0a.0.0.1",
// "10.1") are judged as the address they name. Host names are never resolved and count as
// public; loopback addresses are not private here (the endpoint checks decide where loopback is
// allowed).
//
// An immutable value: safe from any thread.
#pragma once

#include <string_view>

#include "MCP/OAuth/URL.h"

namespace mcp {

class OAuthURLValidating {
public:
    virtual ~OAuthURLValidating() = default;

    // An authorization-server endpoint ("Token endpoint", "Authorization endpoint", ...): https,
    // or http to a loopback host when the validator allows it. Throws invalidResourceURI or
    // insecureAuthorizationServerEndpoint.
    virtual void validateAuthorizationServerEndpoint(const URL& url,
                                                     std::string_view context) const = 0;
    // Any other OAuth endpoint ("MCP endpoint", "Protected resource metadata URL", ...): https, or
    // http to a loopback host. Throws invalidResourceURI or insecureOAuthEndpoint.
    virtual void validateOAuthEndpoint(const URL& url, std::string_view context) const = 0;
    virtual bool isPrivateOrReservedHost(std::string_view host) const = 0;
    // https (with or without a host), or http to a loopback host; no fragment. Throws
    // invalidRedirectURI.
    virtual void validateRedirectURI(const URL& url) const = 0;
};

class OAuthURLValidator : public OAuthURLValidating {
public:
    explicit OAuthURLValidator(bool allowLoopbackHTTPForAuthorizationServer = false)
        : allowLoopbackHTTPForAuthorizationServer(allowLoopbackHTTPForAuthorizationServer) {}

    // When true, authorization-server endpoints may be http to a loopback host.
    bool allowLoopbackHTTPForAuthorizationServer;

    void validateAuthorizationServerEndpoint(const URL& url,
                                             std::string_view context) const override;
    void validateOAuthEndpoint(const URL& url, std::string_view context) const override;
    bool isPrivateOrReservedHost(std::string_view host) const override;
    void validateRedirectURI(const URL& url) const override;

    // "localhost", "127.0.0.1" and "::1", letter case ignored; nothing else.
    static bool isLoopbackHost(std::string_view host);
};

}  // namespace mcp
