// MCPPeerIdentity: where the local automation socket of one installed copy of the application
// lives, who may be on the other end of it, and whether a bundle on disk is the genuine
// application. The application and its companion `frameweaver-mcp` both compile this in and must
// answer each question identically.
//
// The socket path is tied to one installation: its name is "fwv-" followed by the first 10 bytes
// of SHA-256 of the bundle's canonical path, in lower-case hex, and ".sock", in the App Group
// container (LocalAutomation/AppGroupContainer.h); the lock file is that path with ".lock"
// appended. For /Applications/Frameweaver.app the name is fwv-97ae6bf129978612e01b.sock.
//
// The peer check, in this order, the first failure thrown: the peer's credentials (same effective
// user, before any of its code is looked at), its running executable, that executable's signature
// for the expected identifier (LocalAutomation/CodeSignature.h), and the executable's canonical
// path against the expected one. The application expects the companion at the executable path it
// gives; the companion gives the application's bundle, and the application's executable
// "Contents/MacOS/Frameweaver" inside it is what the peer must run.
//
// All operations are synchronous, keep no state and may run on any thread. Failures are thrown as
// IdentityError. File locations are absolute paths.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "LocalAutomation/CodeSignature.h"
#include "LocalAutomation/IdentityError.h"
#include "LocalAutomation/PeerInspector.h"

namespace fw::automation::MCPPeerIdentity {

inline constexpr std::string_view appBundleIdentifier = "com.Quillbrookstudio.Frameweaver";
inline constexpr std::string_view bridgeBundleIdentifier =
    "com.Quillbrookstudio.Frameweaver.MCPBridge";
inline constexpr std::string_view teamIdentifier = "QX7K2M4R9T";
inline constexpr std::string_view appGroupIdentifier = "QX7K2M4R9T.fwv";
inline constexpr std::string_view bridgeExecutableName = "frameweaver-mcp";
inline constexpr std::string_view appExecutableName = "Frameweaver";
// Both executables lie here inside the application bundle.
inline constexpr std::string_view executableDirectory = "Contents/MacOS";

// The executable's path with its last component removed three times (executable, "MacOS",
// "Contents"). No file-system access.
std::filesystem::path appBundleURL(const std::filesystem::path& executableURL);
// The bundle's "Contents/MacOS/frameweaver-mcp". No file-system access.
std::filesystem::path bridgeExecutableURL(const std::filesystem::path& appBundleURL);
// The bundle's "Contents/MacOS/Frameweaver". No file-system access.
std::filesystem::path appExecutableURL(const std::filesystem::path& appBundleURL);

// The canonical path of the running program's executable. Throws peerCode when it cannot be
// read, invalidPath when it does not resolve.
std::filesystem::path currentExecutableURL();
// The canonical path of `url` (every link, "." and ".." resolved); throws invalidPath with the
// path as given.
std::filesystem::path resolvedURL(const std::filesystem::path& url);

// The socket of the installation whose bundle is given, in the App Group container. Throws
// appGroupUnavailable, invalidPath (the bundle does not resolve) or socketPathTooLong (104 bytes
// or more), in that order.
std::filesystem::path socketURL(const std::filesystem::path& appBundleURL);
// As above with the container given (none: unavailable).
std::filesystem::path socketURL(const std::filesystem::path& appBundleURL,
                                const std::optional<std::filesystem::path>& container);
// The socket's file name for a canonical bundle path.
std::string socketFileName(std::string_view canonicalBundlePath);
// The lock file beside a socket: its path with ".lock" appended.
std::filesystem::path lockFileURL(const std::filesystem::path& socketURL);

// Checks that the bundle on disk holds the genuine application: its executable signed for
// `appBundleIdentifier`. Throws appCode when the executable cannot be read, appSignature when
// its signature does not hold.
void validateAppSignature(const std::filesystem::path& appBundleURL,
                          const SignatureVerifier& verifier = SignatureVerifier::system());

// Checks the process on the other end of the connected socket `descriptor`: same effective user
// (peerCredentials), executable readable (peerCode), signed for `bundleIdentifier`
// (peerSignature), and running the expected executable (invalidPath when a path does not
// resolve, peerInstallation when they differ). `executableURL` is the companion's executable when
// `bundleIdentifier` is the companion's, and the application's bundle when it is the
// application's.
void validatePeer(int descriptor, std::string_view bundleIdentifier,
                  const std::filesystem::path& executableURL,
                  const PeerInspector& inspector = PeerInspector::system(),
                  const SignatureVerifier& verifier = SignatureVerifier::system());

}  // namespace fw::automation::MCPPeerIdentity
