#include "platform/http/Tls.h"

#include <openssl/x509_vfy.h>

#include <boost/asio/buffer.hpp>
#include <stdexcept>

namespace fw::http {

namespace asio = boost::asio;

asio::ssl::context makeClientTlsContext(const std::optional<std::string>& certificateAuthoritiesPEM,
                                        const std::string& who) {
    asio::ssl::context tls(asio::ssl::context::tls_client);
    tls.set_verify_mode(asio::ssl::verify_peer);
    SSL_CTX_set_min_proto_version(tls.native_handle(), TLS1_2_VERSION);
    if (certificateAuthoritiesPEM) {
        boost::system::error_code code;
        tls.add_certificate_authority(asio::buffer(*certificateAuthoritiesPEM), code);
        if (code) {
            throw std::runtime_error(
                who + " could not load its certificate authorities: " + code.message() + ".");
        }
    } else {
        tls.set_default_verify_paths();
    }
    return tls;
}

void prepareClientHandshake(SSL* ssl, const std::string& host, bool hostIsAddress) {
    if (hostIsAddress) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        SSL_set1_host(ssl, host.c_str());
    }
}

}  // namespace fw::http
