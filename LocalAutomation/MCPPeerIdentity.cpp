#include "LocalAutomation/MCPPeerIdentity.h"

#include <openssl/sha.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "LocalAutomation/AppGroupContainer.h"
#include "LocalAutomation/MCPUnixSocket.h"

namespace fw::automation::MCPPeerIdentity {

namespace {

// realpath(3) of `path`; none when it does not resolve.
std::optional<std::string> canonicalPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    if (!resolved) {
        return std::nullopt;
    }
    return std::string(resolved.get());
}

}  // namespace

std::filesystem::path appBundleURL(const std::filesystem::path& executableURL) {
    return executableURL.parent_path().parent_path().parent_path();
}

std::filesystem::path bridgeExecutableURL(const std::filesystem::path& appBundleURL) {
    return appBundleURL / executableDirectory / bridgeExecutableName;
}

std::filesystem::path appExecutableURL(const std::filesystem::path& appBundleURL) {
    return appBundleURL / executableDirectory / appExecutableName;
}

std::filesystem::path currentExecutableURL() {
    std::string target(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
        throw IdentityError::peerCode();
    }
    target.resize(static_cast<std::size_t>(length));
    return resolvedURL(target);
}

std::filesystem::path resolvedURL(const std::filesystem::path& url) {
    auto canonical = canonicalPath(url.string());
    if (!canonical) {
        throw IdentityError::invalidPath(url.string());
    }
    return std::filesystem::path(*canonical);
}

std::string socketFileName(std::string_view canonicalBundlePath) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(canonicalBundlePath.data()),
           canonicalBundlePath.size(), digest);
    return "fwv-" + toHex(digest, 10) + ".sock";
}

std::filesystem::path socketURL(const std::filesystem::path& appBundleURL) {
    return socketURL(appBundleURL, appGroupContainerURL());
}

std::filesystem::path socketURL(const std::filesystem::path& appBundleURL,
                                const std::optional<std::filesystem::path>& container) {
    if (!container) {
        throw IdentityError::appGroupUnavailable();
    }
    const std::filesystem::path bundle = resolvedURL(appBundleURL);
    const std::filesystem::path socket = *container / socketFileName(bundle.string());
    if (socket.string().size() >= MCPUnixSocket::kSocketPathFieldSize) {
        throw IdentityError::socketPathTooLong();
    }
    return socket;
}

std::filesystem::path lockFileURL(const std::filesystem::path& socketURL) {
    std::filesystem::path lock = socketURL;
    lock += ".lock";
    return lock;
}

void validateAppSignature(const std::filesystem::path& appBundleURL,
                          const SignatureVerifier& verifier) {
    switch (verifier.verify(appExecutableURL(appBundleURL), appBundleIdentifier)) {
        case SignatureCheck::valid:
            return;
        case SignatureCheck::unreadableCode:
            throw IdentityError::appCode();
        case SignatureCheck::invalid:
            throw IdentityError::appSignature();
    }
}

void validatePeer(int descriptor, std::string_view bundleIdentifier,
                  const std::filesystem::path& executableURL, const PeerInspector& inspector,
                  const SignatureVerifier& verifier) {
    // Same user first: a process of another user is refused before its code is looked at.
    const auto credentials = inspector.credentials(descriptor);
    if (!credentials || credentials->uid != ::geteuid()) {
        throw IdentityError::peerCredentials();
    }
    const auto code = inspector.code(descriptor, *credentials);
    if (!code) {
        throw IdentityError::peerCode();
    }
    if (bundleIdentifier.empty()) {
        throw IdentityError::peerCode();
    }
    if (verifier.verify(code->executable(), code->path(), bundleIdentifier) !=
        SignatureCheck::valid) {
        throw IdentityError::peerSignature();
    }
    if (code->path().empty()) {
        throw IdentityError::peerInstallation();
    }
    const auto peerPath = canonicalPath(code->path());
    if (!peerPath) {
        throw IdentityError::invalidPath(code->path());
    }
    // The application is named by its bundle; the process runs the executable inside it.
    const std::filesystem::path expected =
        bundleIdentifier == appBundleIdentifier ? appExecutableURL(executableURL) : executableURL;
    const auto expectedPath = canonicalPath(expected.string());
    if (!expectedPath) {
        throw IdentityError::invalidPath(expected.string());
    }
    if (*peerPath != *expectedPath) {
        throw IdentityError::peerInstallation();
    }
}

}  // namespace fw::automation::MCPPeerIdentity
