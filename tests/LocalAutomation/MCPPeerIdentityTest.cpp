#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "LocalAutomation/AppGroupContainer.h"
#include "LocalAutomation/MCPPeerIdentity.h"
#include "TestSigning.h"
#include "tests/support/TestDirectory.h"

namespace fw::automation {
namespace {

namespace identity = MCPPeerIdentity;
using fw::testing::TestDirectory;

template <class Body>
IdentityError thrownBy(Body body) {
    try {
        body();
    } catch (const IdentityError& error) {
        return error;
    }
    ADD_FAILURE() << "no IdentityError was thrown";
    return IdentityError::invalidPath("<nothing thrown>");
}

TEST(IdentityError, EachCaseHasItsFixedText) {
    const std::pair<IdentityError, const char*> cases[] = {
        {IdentityError::invalidPath("/no/such.app"), "Could not resolve path: /no/such.app"},
        {IdentityError::appGroupUnavailable(), "App Group container is unavailable"},
        {IdentityError::socketPathTooLong(), "App Group socket path exceeds the system limit"},
        {IdentityError::peerCredentials(), "The connected peer has invalid credentials"},
        {IdentityError::peerCode(), "The connected peer's signed code could not be read"},
        {IdentityError::peerSignature(), "The connected peer has an invalid code signature"},
        {IdentityError::peerInstallation(),
         "The connected peer belongs to another app installation"},
        {IdentityError::appCode(), "Could not read the Frameweaver app\u2019s code signature"},
        {IdentityError::appSignature(),
         "The Frameweaver app does not have a valid Quillbrook Studio signature"},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.description(), text);
        EXPECT_STREQ(error.what(), text);
    }
}

TEST(MCPPeerIdentity, BundleAndCompanionPathsAreFixedRelatives) {
    EXPECT_EQ(identity::appBundleURL("/opt/Frameweaver.app/Contents/MacOS/frameweaver-mcp"),
              "/opt/Frameweaver.app");
    EXPECT_EQ(identity::bridgeExecutableURL("/opt/Frameweaver.app"),
              "/opt/Frameweaver.app/Contents/MacOS/frameweaver-mcp");
    EXPECT_EQ(identity::appExecutableURL("/opt/Frameweaver.app"),
              "/opt/Frameweaver.app/Contents/MacOS/Frameweaver");
}

TEST(MCPPeerIdentity, CurrentExecutableIsTheCanonicalRunningProgram) {
    EXPECT_EQ(identity::currentExecutableURL(), std::filesystem::canonical("/proc/self/exe"));
}

TEST(MCPPeerIdentity, SocketNameOfTheWorkedExample) {
    EXPECT_EQ(identity::socketFileName("/Applications/Frameweaver.app"),
              "fwv-97ae6bf129978612e01b.sock");
}

class SocketLocationTest : public ::testing::Test {
protected:
    SocketLocationTest() {
        std::filesystem::create_directories(bundle);
        std::filesystem::create_directories(container);
    }
    TestDirectory directory;
    std::filesystem::path bundle = directory / "Apps/Frameweaver.app";
    std::filesystem::path container = directory / "container";
};

TEST_F(SocketLocationTest, NameFollowsTheCanonicalBundlePath) {
    const auto socket = identity::socketURL(bundle, container);
    EXPECT_EQ(socket.parent_path(), container);
    EXPECT_EQ(socket.filename(),
              identity::socketFileName(std::filesystem::canonical(bundle).string()));
    EXPECT_EQ(socket.filename().string().size(), 29u);
    EXPECT_EQ(identity::lockFileURL(socket).string(), socket.string() + ".lock");

    std::filesystem::create_directory_symlink(bundle, directory / "Linked.app");
    EXPECT_EQ(identity::socketURL(directory / "Linked.app", container), socket);
    EXPECT_EQ(identity::socketURL(directory / "Apps/./Frameweaver.app", container), socket);

    std::filesystem::create_directories(directory / "Moved");
    std::filesystem::rename(bundle, directory / "Moved/Frameweaver.app");
    EXPECT_NE(identity::socketURL(directory / "Moved/Frameweaver.app", container), socket);
}

TEST_F(SocketLocationTest, FailuresInTheirOrder) {
    const std::string missing = (directory / "Nowhere.app").string();
    EXPECT_EQ(thrownBy([&] { identity::socketURL(missing, std::nullopt); }),
              IdentityError::appGroupUnavailable());
    const IdentityError unresolved = thrownBy([&] { identity::socketURL(missing, container); });
    EXPECT_EQ(unresolved, IdentityError::invalidPath(missing));
    EXPECT_EQ(unresolved.description(), "Could not resolve path: " + missing);
}

TEST_F(SocketLocationTest, WholeSocketPathMustBeShorterThan104Bytes) {
    // The name is 29 bytes and a slash joins it: a container of 73 bytes gives 103.
    auto containerOfLength = [&](std::size_t length) {
        std::string path = directory.path().string() + "/";
        path.append(length - path.size(), 'c');
        return std::filesystem::path(path);
    };
    EXPECT_EQ(identity::socketURL(bundle, containerOfLength(73)).string().size(), 103u);
    EXPECT_EQ(thrownBy([&] { identity::socketURL(bundle, containerOfLength(74)); }),
              IdentityError::socketPathTooLong());
}

TEST(AppGroupContainer, LocationWithoutEnvironment) {
    EXPECT_EQ(appGroupContainerLocation(1000, true, "/home/u"), "/run/user/1000/QX7K2M4R9T.fwv");
    EXPECT_EQ(appGroupContainerLocation(1000, false, "/home/u"),
              "/home/u/.local/state/QX7K2M4R9T.fwv");
}

TEST(AppGroupContainer, PrivateDirectoryIsMadeAndChecked) {
    TestDirectory directory;
    const uid_t me = ::geteuid();
    const auto made = directory / "home/.local/state/QX7K2M4R9T.fwv";
    const mode_t previous = ::umask(0277);  // must not weaken or break the new directory
    EXPECT_TRUE(preparePrivateDirectory(made, me, true));
    ::umask(previous);
    EXPECT_EQ(std::filesystem::status(made).permissions(), std::filesystem::perms::owner_all);
    EXPECT_TRUE(preparePrivateDirectory(made, me));

    const auto open = directory / "open";
    std::filesystem::create_directory(open);
    std::filesystem::permissions(open, std::filesystem::perms(0755));
    EXPECT_FALSE(preparePrivateDirectory(open, me));

    std::filesystem::create_directory_symlink(made, directory / "link");
    EXPECT_FALSE(preparePrivateDirectory(directory / "link", me));

    std::ofstream(directory / "file") << "x";
    EXPECT_FALSE(preparePrivateDirectory(directory / "file", me));

    EXPECT_FALSE(preparePrivateDirectory(made, me + 1));
    EXPECT_FALSE(preparePrivateDirectory(directory / "missing-parent/container", me));
}

// --- The order of the peer checks, with the peer and the signatures injected -----------------

struct FakePeer final : PeerInspector {
    std::optional<PeerCredentials> peer;
    std::optional<std::string> executablePath;  // none: the code cannot be read
    mutable int codeReads = 0;

    std::optional<PeerCredentials> credentials(int) const override { return peer; }
    std::optional<PeerCode> code(int, const PeerCredentials&) const override {
        ++codeReads;
        if (!executablePath) {
            return std::nullopt;
        }
        return PeerCode(-1, *executablePath);
    }
};

struct FakeVerifier final : SignatureVerifier {
    SignatureCheck answer = SignatureCheck::valid;
    mutable std::vector<std::string> asked;
    using SignatureVerifier::verify;
    SignatureCheck verify(int, const std::filesystem::path& path,
                          std::string_view identifier) const override {
        asked.push_back(path.string() + " " + std::string(identifier));
        return answer;
    }
};

class ValidatePeerTest : public ::testing::Test {
protected:
    ValidatePeerTest() {
        std::filesystem::create_directories(macos);
        std::ofstream(companion) << "c";
        std::ofstream(application) << "a";
        peer.peer = PeerCredentials{4242, ::geteuid()};
        peer.executablePath = companion.string();
    }
    void validateCompanion() {
        identity::validatePeer(3, identity::bridgeBundleIdentifier, companion, peer, verifier);
    }

    TestDirectory directory;
    std::filesystem::path bundle = directory / "Frameweaver.app";
    std::filesystem::path macos = bundle / "Contents/MacOS";
    std::filesystem::path companion = macos / "frameweaver-mcp";
    std::filesystem::path application = macos / "Frameweaver";
    FakePeer peer;
    FakeVerifier verifier;
};

TEST_F(ValidatePeerTest, SignedCompanionOfThisInstallationIsAccepted) {
    EXPECT_NO_THROW(validateCompanion());
    ASSERT_EQ(verifier.asked.size(), 1u);
    EXPECT_EQ(verifier.asked[0],
              companion.string() + " " + std::string(identity::bridgeBundleIdentifier));
}

TEST_F(ValidatePeerTest, ApplicationIsCheckedAgainstTheExecutableInsideItsBundle) {
    peer.executablePath = application.string();
    EXPECT_NO_THROW(
        identity::validatePeer(3, identity::appBundleIdentifier, bundle, peer, verifier));
    peer.executablePath = companion.string();
    EXPECT_EQ(thrownBy([&] {
                  identity::validatePeer(3, identity::appBundleIdentifier, bundle, peer, verifier);
              }),
              IdentityError::peerInstallation());
}

TEST_F(ValidatePeerTest, OtherUserIsRefusedBeforeItsCodeIsRead) {
    peer.peer->uid = ::geteuid() + 1;
    EXPECT_EQ(thrownBy([&] { validateCompanion(); }), IdentityError::peerCredentials());
    EXPECT_EQ(peer.codeReads, 0);
    EXPECT_TRUE(verifier.asked.empty());

    peer.peer.reset();
    EXPECT_EQ(thrownBy([&] { validateCompanion(); }), IdentityError::peerCredentials());
}

TEST_F(ValidatePeerTest, EachLaterStepHasItsOwnFailure) {
    struct Case {
        const char* name;
        std::optional<std::string> peerPath;
        SignatureCheck signature;
        std::filesystem::path expected;
        IdentityError error;
    };
    TestDirectory other;
    std::filesystem::create_directories(other / "Frameweaver.app/Contents/MacOS");
    const auto otherCompanion = other / "Frameweaver.app/Contents/MacOS/frameweaver-mcp";
    std::ofstream(otherCompanion) << "c";
    const std::string gone = (directory / "gone").string();
    const Case cases[] = {
        {"code unreadable", std::nullopt, SignatureCheck::valid, companion,
         IdentityError::peerCode()},
        {"invalid signature", companion.string(), SignatureCheck::invalid, companion,
         IdentityError::peerSignature()},
        {"unsigned code", companion.string(), SignatureCheck::unreadableCode, companion,
         IdentityError::peerSignature()},
        {"peer path gone", gone, SignatureCheck::valid, companion,
         IdentityError::invalidPath(gone)},
        {"expected path missing", companion.string(), SignatureCheck::valid, directory / "missing",
         IdentityError::invalidPath((directory / "missing").string())},
        {"another installation", otherCompanion.string(), SignatureCheck::valid, companion,
         IdentityError::peerInstallation()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        peer.executablePath = c.peerPath;
        verifier.answer = c.signature;
        EXPECT_EQ(thrownBy([&] {
                      identity::validatePeer(3, identity::bridgeBundleIdentifier, c.expected, peer,
                                             verifier);
                  }),
                  c.error);
    }
}

TEST(ValidateAppSignature, CodeAndSignatureFailuresDiffer) {
    TestDirectory directory;
    const auto bundle = directory / "Frameweaver.app";
    std::filesystem::create_directories(bundle / "Contents/MacOS");
    testing::TestKey key;
    PublicKeySignatureVerifier verifier(key.publicKey());
    EXPECT_EQ(thrownBy([&] { identity::validateAppSignature(bundle, verifier); }),
              IdentityError::appCode());
    const auto executable = identity::appExecutableURL(bundle);
    std::ofstream(executable) << "application";
    EXPECT_EQ(thrownBy([&] { identity::validateAppSignature(bundle, verifier); }),
              IdentityError::appSignature());
    key.writeRecord(executable, std::string(identity::bridgeBundleIdentifier));
    EXPECT_EQ(thrownBy([&] { identity::validateAppSignature(bundle, verifier); }),
              IdentityError::appSignature());
    key.writeRecord(executable, std::string(identity::appBundleIdentifier));
    EXPECT_NO_THROW(identity::validateAppSignature(bundle, verifier));
}

}  // namespace
}  // namespace fw::automation
