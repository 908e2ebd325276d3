// The TLS set-up of our clients: a context that checks peers against the system's certificate
// store (or given certificate authorities) with TLS 1.2 at least, and the per-connection steps
// before a handshake (SNI and the host-name or address check). Shared by the HTTP client and the
// network connections of platform/net.
#pragma once

#include <openssl/ssl.h>

#include <boost/asio/ssl/context.hpp>
#include <optional>
#include <string>

namespace fw::http {

// A client context verifying peers. Throws std::runtime_error "<who> could not load its
// certificate authorities: ..." when `certificateAuthoritiesPEM` cannot be read.
boost::asio::ssl::context makeClientTlsContext(
    const std::optional<std::string>& certificateAuthoritiesPEM, const std::string& who);

// Names the peer on `ssl` before the client handshake: the SNI host name and the name its
// certificate must carry, or the address it must carry when `host` is an IP address.
void prepareClientHandshake(SSL* ssl, const std::string& host, bool hostIsAddress);

}  // namespace fw::http
