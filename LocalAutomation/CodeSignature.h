// CodeSignature: the detached signature record that the build writes beside each executable, and
// the check of an executable against it.
//
// The record "<executable>.sig" is four lines of text:
//
//   FWV-SIGNATURE/1
//   identifier <signing identifier>
//   sha256 <SHA-256 of the executable, 64 lower-case hex digits>
//   signature <ECDSA P-256 / SHA-256 signature (ES256, DER) of the first three lines, hex>
//
// An executable is genuine for an identifier when its record names that identifier, the digest
// matches the bytes of the executable, and the signature verifies with the team's public key,
// which is compiled into both programs (the build makes the key pair when it is configured and
// signs its own outputs; the private key never leaves the build tree). This establishes "an
// unmodified file signed for this role by this build's key", not the integrity of a running
// process. Nothing turns the check off.
//
// Tests give the peer check their own verifier. Implementations must be safe from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fw::automation {

enum class SignatureCheck {
    valid,
    unreadableCode,  // the executable itself cannot be read
    invalid,         // no record, a malformed record, another identifier, digest or key
};

class SignatureVerifier {
public:
    virtual ~SignatureVerifier() = default;
    // Checks the executable open as `executable` (read from its start; the descriptor is not
    // closed), whose record lies beside `path`.
    virtual SignatureCheck verify(int executable, const std::filesystem::path& path,
                                  std::string_view identifier) const = 0;
    // As above, opening `path` itself.
    SignatureCheck verify(const std::filesystem::path& path, std::string_view identifier) const;

    // The verifier with the team key compiled into this program.
    static const SignatureVerifier& system();
};

// A verifier for the given public key (DER SubjectPublicKeyInfo of a P-256 key).
class PublicKeySignatureVerifier final : public SignatureVerifier {
public:
    explicit PublicKeySignatureVerifier(std::vector<unsigned char> publicKey)
        : publicKey_(std::move(publicKey)) {}
    using SignatureVerifier::verify;
    SignatureCheck verify(int executable, const std::filesystem::path& path,
                          std::string_view identifier) const override;

private:
    std::vector<unsigned char> publicKey_;
};

// The record's file for an executable: its path with ".sig" appended.
std::filesystem::path signatureRecordPath(const std::filesystem::path& executable);

// The signed part of a record: its first three lines, each ended by a line feed.
std::string signaturePayload(std::string_view identifier, std::string_view sha256Hex);

// The SHA-256 digest of everything readable from `descriptor`, in lower-case hex; none on a read
// failure.
std::optional<std::string> sha256HexOfFile(int descriptor);

// Lower-case hex of bytes.
std::string toHex(const unsigned char* bytes, std::size_t size);

}  // namespace fw::automation
