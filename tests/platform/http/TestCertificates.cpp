#include "tests/platform/http/TestCertificates.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace fw::http::testing {

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("Making a test certificate failed at ") + what + ".");
    }
}

Key newKey() {
    Key key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key generation");
    return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    check(extension != nullptr, "an extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

Certificate newCertificate(EVP_PKEY* key, const std::string& commonName, long serial) {
    Certificate certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 24 * 3600);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    return certificate;
}

std::string pem(X509* certificate) {
    Bio bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_X509(bio.get(), certificate) == 1, "writing a certificate");
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string pem(EVP_PKEY* key) {
    Bio bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "writing a key");
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

TestCertificates makeTestCertificates(const std::vector<std::string>& dnsNames,
                                      const std::vector<std::string>& ipAddresses) {
    Key authorityKey = newKey();
    Certificate authority = newCertificate(authorityKey.get(), "Frameweaver Test Authority", 1);
    X509_set_issuer_name(authority.get(), X509_get_subject_name(authority.get()));
    addExtension(authority.get(), authority.get(), NID_basic_constraints, "critical,CA:TRUE");
    addExtension(authority.get(), authority.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(authority.get(), authority.get(), NID_subject_key_identifier, "hash");
    check(X509_sign(authority.get(), authorityKey.get(), EVP_sha256()) > 0, "signing the authority");

    Key serverKey = newKey();
    std::string commonName = dnsNames.empty() ? "test server" : dnsNames.front();
    Certificate server = newCertificate(serverKey.get(), commonName, 2);
    X509_set_issuer_name(server.get(), X509_get_subject_name(authority.get()));
    std::string names;
    for (const auto& name : dnsNames) {
        names += (names.empty() ? "DNS:" : ",DNS:") + name;
    }
    for (const auto& address : ipAddresses) {
        names += (names.empty() ? "IP:" : ",IP:") + address;
    }
    addExtension(server.get(), authority.get(), NID_subject_alt_name, names);
    addExtension(server.get(), authority.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(server.get(), authority.get(), NID_ext_key_usage, "serverAuth");
    addExtension(server.get(), authority.get(), NID_authority_key_identifier, "keyid");
    check(X509_sign(server.get(), authorityKey.get(), EVP_sha256()) > 0, "signing the server");

    return {pem(authority.get()), pem(server.get()), pem(serverKey.get())};
}

}  // namespace fw::http::testing
