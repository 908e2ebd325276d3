#include "LocalAutomation/CodeSignature.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "LocalAutomation/SigningKey.h"

namespace fw::automation {

namespace {

constexpr std::string_view kRecordHeader = "FWV-SIGNATURE/1";
constexpr std::size_t kRecordMaximum = 4096;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::optional<std::vector<unsigned char>> fromHex(std::string_view text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    std::vector<unsigned char> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]);
        const int low = digit(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return bytes;
}

struct Record {
    std::string identifier;
    std::string sha256;
    std::vector<unsigned char> signature;
};

// Reads the record beside `path`; none when it is missing, too large or malformed.
std::optional<Record> readRecord(const std::filesystem::path& path) {
    std::ifstream file(signatureRecordPath(path), std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::string text(kRecordMaximum + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (text.size() > kRecordMaximum) {
        return std::nullopt;
    }
    std::istringstream lines(text);
    std::string header, identifierLine, digestLine, signatureLine, extra;
    if (!std::getline(lines, header) || !std::getline(lines, identifierLine) ||
        !std::getline(lines, digestLine) || !std::getline(lines, signatureLine) ||
        std::getline(lines, extra) || header != kRecordHeader) {
        return std::nullopt;
    }
    auto field = [](const std::string& line, std::string_view name) -> std::optional<std::string> {
        if (line.size() <= name.size() + 1 || line.compare(0, name.size(), name) != 0 ||
            line[name.size()] != ' ') {
            return std::nullopt;
        }
        return line.substr(name.size() + 1);
    };
    auto identifier = field(identifierLine, "identifier");
    auto digest = field(digestLine, "sha256");
    auto signatureHex = field(signatureLine, "signature");
    if (!identifier || !digest || !signatureHex || digest->size() != 64 || !fromHex(*digest)) {
        return std::nullopt;
    }
    auto signature = fromHex(*signatureHex);
    if (!signature || signature->empty()) {
        return std::nullopt;
    }
    return Record{std::move(*identifier), std::move(*digest), std::move(*signature)};
}

bool verifySignature(const std::vector<unsigned char>& publicKey, std::string_view payload,
                     const std::vector<unsigned char>& signature) {
    const unsigned char* cursor = publicKey.data();
    std::unique_ptr<EVP_PKEY, KeyFree> key(
        d2i_PUBKEY(nullptr, &cursor, static_cast<long>(publicKey.size())));
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC ||
        EVP_PKEY_get_bits(key.get()) != 256) {
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    if (!context ||
        EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(payload.data()),
                            payload.size()) == 1;
}

}  // namespace

std::filesystem::path signatureRecordPath(const std::filesystem::path& executable) {
    std::filesystem::path record = executable;
    record += ".sig";
    return record;
}

std::string signaturePayload(std::string_view identifier, std::string_view sha256Hex) {
    std::string payload(kRecordHeader);
    payload += "\nidentifier ";
    payload += identifier;
    payload += "\nsha256 ";
    payload += sha256Hex;
    payload += '\n';
    return payload;
}

std::string toHex(const unsigned char* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

std::optional<std::string> sha256HexOfFile(int descriptor) {
    std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return std::nullopt;
    }
    std::vector<unsigned char> buffer(1 << 16);
    off_t offset = 0;
    while (true) {
        const ssize_t count = ::pread(descriptor, buffer.data(), buffer.size(), offset);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (count == 0) {
            break;
        }
        offset += count;
        if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(count)) != 1) {
            return std::nullopt;
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1) {
        return std::nullopt;
    }
    return toHex(digest, size);
}

SignatureCheck SignatureVerifier::verify(const std::filesystem::path& path,
                                         std::string_view identifier) const {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return SignatureCheck::unreadableCode;
    }
    const SignatureCheck result = verify(fd, path, identifier);
    ::close(fd);
    return result;
}

SignatureCheck PublicKeySignatureVerifier::verify(int executable, const std::filesystem::path& path,
                                                  std::string_view identifier) const {
    const auto digest = sha256HexOfFile(executable);
    if (!digest) {
        return SignatureCheck::unreadableCode;
    }
    const auto record = readRecord(path);
    if (!record || record->identifier != identifier || record->sha256 != *digest ||
        !verifySignature(publicKey_, signaturePayload(record->identifier, record->sha256),
                         record->signature)) {
        return SignatureCheck::invalid;
    }
    return SignatureCheck::valid;
}

const SignatureVerifier& SignatureVerifier::system() {
    static const PublicKeySignatureVerifier verifier(
        std::vector<unsigned char>(kTeamPublicKey, kTeamPublicKey + kTeamPublicKeySize));
    return verifier;
}

}  // namespace fw::automation
