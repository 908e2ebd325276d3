// IdentityError: the failures of the socket location and of the peer and signature checks, each
// with a fixed text that reaches the companion's messages:
//
//   invalidPath          "Could not resolve path: <path>"
//   appGroupUnavailable  "App Group container is unavailable"
//   socketPathTooLong    "App Group socket path exceeds the system limit"
//   peerCredentials      "The connected peer has invalid credentials"
//   peerCode             "The connected peer's signed code could not be read"
//   peerSignature        "The connected peer has an invalid code signature"
//   peerInstallation     "The connected peer belongs to another app installation"
//   appCode              "Could not read the Frameweaver app’s code signature"
//   appSignature         "The Frameweaver app does not have a valid Quillbrook Studio signature"
//
// Thrown as an exception; a plain value otherwise.
#pragma once

#include <exception>
#include <string>

namespace fw::automation {

class IdentityError : public std::exception {
public:
    enum class Kind {
        invalidPath,
        appGroupUnavailable,
        socketPathTooLong,
        peerCredentials,
        peerCode,
        peerSignature,
        peerInstallation,
        appCode,
        appSignature,
    };

    static IdentityError invalidPath(std::string path) {
        return IdentityError(Kind::invalidPath, std::move(path));
    }
    static IdentityError appGroupUnavailable() { return IdentityError(Kind::appGroupUnavailable); }
    static IdentityError socketPathTooLong() { return IdentityError(Kind::socketPathTooLong); }
    static IdentityError peerCredentials() { return IdentityError(Kind::peerCredentials); }
    static IdentityError peerCode() { return IdentityError(Kind::peerCode); }
    static IdentityError peerSignature() { return IdentityError(Kind::peerSignature); }
    static IdentityError peerInstallation() { return IdentityError(Kind::peerInstallation); }
    static IdentityError appCode() { return IdentityError(Kind::appCode); }
    static IdentityError appSignature() { return IdentityError(Kind::appSignature); }

    Kind kind() const noexcept { return kind_; }
    // The path of an `invalidPath` failure; empty otherwise.
    const std::string& path() const noexcept { return path_; }
    const std::string& description() const noexcept { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }

    bool operator==(const IdentityError& other) const noexcept {
        return kind_ == other.kind_ && path_ == other.path_;
    }

private:
    explicit IdentityError(Kind kind, std::string path = {});

    Kind kind_;
    std::string path_;
    std::string text_;
};

}  // namespace fw::automation
