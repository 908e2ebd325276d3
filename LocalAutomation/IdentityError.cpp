#include "LocalAutomation/IdentityError.h"

namespace fw::automation {

namespace {

std::string textOf(IdentityError::Kind kind, const std::string& path) {
    using Kind = IdentityError::Kind;
    switch (kind) {
        case Kind::invalidPath:
            return "Could not resolve path: " + path;
        case Kind::appGroupUnavailable:
            return "App Group container is unavailable";
        case Kind::socketPathTooLong:
            return "App Group socket path exceeds the system limit";
        case Kind::peerCredentials:
            return "The connected peer has invalid credentials";
        case Kind::peerCode:
            return "The connected peer's signed code could not be read";
        case Kind::peerSignature:
            return "The connected peer has an invalid code signature";
        case Kind::peerInstallation:
            return "The connected peer belongs to another app installation";
        case Kind::appCode:
            return "Could not read the Frameweaver app\u2019s code signature";
        case Kind::appSignature:
            return "The Frameweaver app does not have a valid Quillbrook Studio signature";
    }
    return {};
}

}  // namespace

IdentityError::IdentityError(Kind kind, std::string path)
    : kind_(kind), path_(std::move(path)), text_(textOf(kind_, path_)) {}

}  // namespace fw::automation
