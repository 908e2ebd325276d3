#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "LocalAutomation/CodeSignature.h"
#include "LocalAutomation/MCPPeerIdentity.h"
#include "TestSigning.h"
#include "tests/support/TestDirectory.h"

namespace fw::automation {
namespace {

using fw::testing::TestDirectory;
using testing::TestKey;

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

constexpr const char* kIdentifier = "com.Quillbrookstudio.Frameweaver.MCPBridge";

class CodeSignatureTest : public ::testing::Test {
protected:
    CodeSignatureTest() : verifier(key.publicKey()) {
        writeFile(executable,
                  "\x7f"
                  "ELF pretend executable");
        key.writeRecord(executable, kIdentifier);
    }

    TestDirectory directory;
    TestKey key;
    PublicKeySignatureVerifier verifier;
    std::filesystem::path executable = directory / "frameweaver-mcp";
};

TEST_F(CodeSignatureTest, SignedExecutableIsValidForItsIdentifierOnly) {
    EXPECT_EQ(verifier.verify(executable, kIdentifier), SignatureCheck::valid);
    EXPECT_EQ(verifier.verify(executable, "com.Quillbrookstudio.Frameweaver"),
              SignatureCheck::invalid);
}

TEST_F(CodeSignatureTest, EveryChangeToTheFileOrRecordIsRefused) {
    const std::string record = readFile(signatureRecordPath(executable));
    const std::string original = readFile(executable);
    struct Case {
        const char* name;
        std::string executableBytes;
        std::string recordText;
    };
    std::string flipped = original;
    flipped[5] ^= 0x01;
    std::string badSignature = record;
    badSignature[badSignature.size() - 3] =
        badSignature[badSignature.size() - 3] == '0' ? '1' : '0';
    const Case cases[] = {
        {"one byte of the executable changed", flipped, record},
        {"a byte appended", original + "x", record},
        {"signature altered", original, badSignature},
        {"no record", original, ""},
        {"extra line", original, record + "extra\n"},
        {"upper-case digest", original,
         std::string(record).replace(record.find("sha256 ") + 7, 64,
                                     [&] {
                                         std::string digest =
                                             record.substr(record.find("sha256 ") + 7, 64);
                                         for (char& c : digest) {
                                             c = static_cast<char>(std::toupper(c));
                                         }
                                         return digest;
                                     }())},
        {"other header", original, "FWV-SIGNATURE/2" + record.substr(15)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(executable, c.executableBytes);
        if (c.recordText.empty()) {
            std::filesystem::remove(signatureRecordPath(executable));
        } else {
            writeFile(signatureRecordPath(executable), c.recordText);
        }
        EXPECT_EQ(verifier.verify(executable, kIdentifier), SignatureCheck::invalid);
    }
}

TEST_F(CodeSignatureTest, RecordOfAnotherKeyIsRefused) {
    TestKey other;
    other.writeRecord(executable, kIdentifier);
    EXPECT_EQ(verifier.verify(executable, kIdentifier), SignatureCheck::invalid);
    EXPECT_EQ(PublicKeySignatureVerifier(other.publicKey()).verify(executable, kIdentifier),
              SignatureCheck::valid);
}

TEST_F(CodeSignatureTest, UnreadableExecutableIsNotAnInvalidSignature) {
    EXPECT_EQ(verifier.verify(directory / "missing", kIdentifier), SignatureCheck::unreadableCode);
    EXPECT_EQ(verifier.verify(directory.path(), kIdentifier), SignatureCheck::unreadableCode);
}

// The build signs its own programs with the key it compiled in.
TEST(CodeSignature, BuildSignsBothProgramsForTheirRoles) {
    const std::filesystem::path bundleDirectory = FW_BUNDLE_DIR;
    const auto& verifier = SignatureVerifier::system();
    EXPECT_EQ(verifier.verify(bundleDirectory / "frameweaver-mcp",
                              MCPPeerIdentity::bridgeBundleIdentifier),
              SignatureCheck::valid);
    EXPECT_EQ(
        verifier.verify(bundleDirectory / "frameweaver-mcp", MCPPeerIdentity::appBundleIdentifier),
        SignatureCheck::invalid);
    EXPECT_EQ(
        verifier.verify(bundleDirectory / "Frameweaver", MCPPeerIdentity::appBundleIdentifier),
        SignatureCheck::valid);
    EXPECT_NO_THROW(MCPPeerIdentity::validateAppSignature(
        MCPPeerIdentity::appBundleURL(bundleDirectory / "Frameweaver")));
}

}  // namespace
}  // namespace fw::automation
