// A private certificate authority and one server certificate signed by it, made with OpenSSL
// when a test runs: P-256 keys, valid from an hour ago for a day.
#pragma once

#include <string>
#include <vector>

namespace fw::http::testing {

struct TestCertificates {
    std::string authorityPEM;    // the authority's certificate, for the client to trust
    std::string certificatePEM;  // the server's certificate
    std::string keyPEM;          // the server's private key
};

// The server certificate names `dnsNames` and `ipAddresses` as its subject alternative names.
TestCertificates makeTestCertificates(const std::vector<std::string>& dnsNames,
                                      const std::vector<std::string>& ipAddresses);

}  // namespace fw::http::testing
