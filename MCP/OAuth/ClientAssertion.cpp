// The ES256 client assertion of private_key_jwt: a compact JWS (RFC 7515) over JWT claims
// (RFC 7519, 7523), signed with ECDSA on P-256 and SHA-256 through OpenSSL.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>

#include <array>
#include <cmath>
#include <memory>
#include <stdexcept>

#include "MCP/JSON/JsonWriter.h"
#include "MCP/OAuth/OAuthConfiguration.h"

namespace mcp {

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* pointer) const { Free(pointer); }
};
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Signature = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Key readP256PrivateKey(std::string_view pem) {
    auto refuse = [] {
        return std::invalid_argument("The private key is not a P-256 private key in PEM form.");
    };
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio || pem.size() > static_cast<std::size_t>(INT32_MAX)) {
        throw refuse();
    }
    Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC) {
        throw refuse();
    }
    char group[64] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_group_name(key.get(), group, sizeof group, &length) != 1 ||
        std::string_view(group, length) != SN_X9_62_prime256v1) {
        throw refuse();
    }
    return key;
}

// The raw 64-byte form of an ES256 signature: r then s, 32 bytes each, big-endian.
std::array<std::uint8_t, 64> signES256(EVP_PKEY* key, std::string_view input) {
    auto fail = [] { return std::runtime_error("The client assertion could not be signed."); };
    DigestContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1) {
        throw fail();
    }
    std::size_t length = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(input.data());
    if (EVP_DigestSign(context.get(), nullptr, &length, data, input.size()) != 1) {
        throw fail();
    }
    std::vector<unsigned char> der(length);
    if (EVP_DigestSign(context.get(), der.data(), &length, data, input.size()) != 1) {
        throw fail();
    }
    const unsigned char* cursor = der.data();
    Signature signature(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length)));
    if (!signature) {
        throw fail();
    }
    std::array<std::uint8_t, 64> raw{};
    if (BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), raw.data(), 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), raw.data() + 32, 32) != 32) {
        throw fail();
    }
    return raw;
}

}  // namespace

std::string TokenEndpointAuthentication::makePrivateKeyJWTAssertion(
    const std::string& clientID, const URL& tokenEndpoint, std::string_view privateKeyPEM,
    const std::optional<std::string>& audience, Instant issuedAt, double lifetime,
    const RandomByteSource& random) {
    // Counts beyond 2^62 seconds cannot be added to an issue time without overflow.
    constexpr double kLargest = 0x1p62;
    if (!(lifetime > 0) || !(lifetime < kLargest)) {
        throw PrivateKeyJWTAssertionError::invalidLifetime(lifetime);
    }
    const double issuedSeconds = std::trunc(issuedAt.unixSeconds());
    if (!(std::fabs(issuedSeconds) < kLargest)) {
        throw std::out_of_range("The client assertion's issue time does not fit 64-bit seconds.");
    }
    const auto iat = static_cast<std::int64_t>(issuedSeconds);
    const auto wholeLifetime = std::max<std::int64_t>(1, static_cast<std::int64_t>(lifetime));
    const std::int64_t exp = iat + wholeLifetime;

    const std::string header = toJson(Value::object({{"alg", "ES256"}, {"typ", "JWT"}}));
    const std::string claims = toJson(Value::object({
        {"iss", clientID},
        {"sub", clientID},
        {"aud", audience ? *audience : tokenEndpoint.absoluteString()},
        {"iat", iat},
        {"exp", exp},
        {"jti", randomUUIDText(random)},
    }));
    std::string signingInput = base64URLEncode(bytesOf(header)) + "." +
                               base64URLEncode(bytesOf(claims));

    Key key = readP256PrivateKey(privateKeyPEM);
    const auto signature = signES256(key.get(), signingInput);
    return signingInput + "." + base64URLEncode(signature);
}

}  // namespace mcp
