// Signing with a key of the test's own, to make records the team key does not vouch for.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "LocalAutomation/CodeSignature.h"

namespace fw::automation::testing {

class TestKey {
public:
    TestKey() : key_(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")) {}
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;
    ~TestKey() { EVP_PKEY_free(key_); }

    // DER SubjectPublicKeyInfo.
    std::vector<unsigned char> publicKey() const {
        unsigned char* der = nullptr;
        const int size = i2d_PUBKEY(key_, &der);
        std::vector<unsigned char> bytes(der, der + (size > 0 ? size : 0));
        OPENSSL_free(der);
        return bytes;
    }

    std::vector<unsigned char> sign(const std::string& payload) const {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        std::size_t size = 0;
        std::vector<unsigned char> signature;
        if (EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key_) == 1 &&
            EVP_DigestSign(context, nullptr, &size,
                           reinterpret_cast<const unsigned char*>(payload.data()),
                           payload.size()) == 1) {
            signature.resize(size);
            EVP_DigestSign(context, signature.data(), &size,
                           reinterpret_cast<const unsigned char*>(payload.data()), payload.size());
            signature.resize(size);
        }
        EVP_MD_CTX_free(context);
        return signature;
    }

    // Writes the record of `executable` for `identifier`, signed with this key.
    void writeRecord(const std::filesystem::path& executable, const std::string& identifier) const {
        std::ifstream file(executable, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
        unsigned char digest[32];
        unsigned int digestSize = 0;
        EVP_Digest(bytes.data(), bytes.size(), digest, &digestSize, EVP_sha256(), nullptr);
        const std::string payload = signaturePayload(identifier, toHex(digest, digestSize));
        const auto signature = sign(payload);
        std::ofstream record(signatureRecordPath(executable), std::ios::binary | std::ios::trunc);
        record << payload << "signature " << toHex(signature.data(), signature.size()) << "\n";
    }

private:
    EVP_PKEY* key_;
};

}  // namespace fw::automation::testing
