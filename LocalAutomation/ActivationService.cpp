#include "LocalAutomation/ActivationService.h"

#include <openssl/sha.h>

#include "LocalAutomation/CodeSignature.h"
#include "LocalAutomation/MCPLaunchRequest.h"
#include "LocalAutomation/MCPPeerIdentity.h"

namespace fw::automation::activation {

namespace {

// The command line as the bus reads it: the service file is a key file, in which a backslash
// starts an escape, and its Exec value is then split like a shell command line without
// backslash escapes. Single quotes keep every other byte as it is; a single quote is closed
// over, given in double quotes, and reopened.
std::string quotedForServiceFile(std::string_view text) {
    std::string result = "'";
    for (const char c : text) {
        if (c == '\'') {
            result += "'\"'\"'";
        } else if (c == '\\') {
            result += "\\\\";
        } else {
            result += c;
        }
    }
    result += '\'';
    return result;
}

}  // namespace

std::string busName(std::string_view canonicalBundlePath) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(canonicalBundlePath.data()),
           canonicalBundlePath.size(), digest);
    return std::string(busNamePrefix) + toHex(digest, 16);
}

std::string serviceFileName(std::string_view canonicalBundlePath) {
    return busName(canonicalBundlePath) + ".service";
}

std::optional<std::string> serviceFileText(const std::filesystem::path& canonicalBundle) {
    const std::string executable = MCPPeerIdentity::appExecutableURL(canonicalBundle).string();
    if (executable.find_first_of("\r\n") != std::string::npos) {
        return std::nullopt;
    }
    return "[D-BUS Service]\nName=" + busName(canonicalBundle.string()) + "\nExec=" +
           quotedForServiceFile(executable) + " " + std::string(launch_request::kArgument) + "\n";
}

}  // namespace fw::automation::activation
