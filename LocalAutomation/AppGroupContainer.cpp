#include "LocalAutomation/AppGroupContainer.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "LocalAutomation/MCPPeerIdentity.h"

namespace fw::automation {

namespace {

bool isDirectory(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// mkdir with mode 0700 regardless of the umask; true when the directory exists afterwards
// (checked by the caller).
bool makeDirectory(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0700) == 0) {
        // The umask may have taken owner bits away; the directory is ours, just made.
        return ::chmod(path.c_str(), 0700) == 0;
    }
    return errno == EEXIST;
}

std::optional<std::filesystem::path> homeDirectory(uid_t euid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwuid_r(euid, &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return std::nullopt;
    }
    return std::filesystem::path(found->pw_dir);
}

}  // namespace

std::filesystem::path appGroupContainerLocation(uid_t euid, bool runtimeDirectoryExists,
                                                const std::filesystem::path& home) {
    const std::string group(MCPPeerIdentity::appGroupIdentifier);
    if (runtimeDirectoryExists) {
        return std::filesystem::path("/run/user") / std::to_string(euid) / group;
    }
    return home / ".local" / "state" / group;
}

bool preparePrivateDirectory(const std::filesystem::path& directory, uid_t owner,
                             bool createParents) {
    if (createParents) {
        std::filesystem::path partial;
        for (const auto& component : directory.parent_path()) {
            partial /= component;
            if (!isDirectory(partial) && !makeDirectory(partial)) {
                return false;
            }
        }
    }
    if (!makeDirectory(directory)) {
        return false;
    }
    struct stat status {};
    if (::lstat(directory.c_str(), &status) != 0) {
        return false;
    }
    return S_ISDIR(status.st_mode) && status.st_uid == owner && (status.st_mode & 07777) == 0700;
}

std::optional<std::filesystem::path> appGroupContainerURL() {
    const uid_t euid = ::geteuid();
    const bool runtime = isDirectory(std::filesystem::path("/run/user") / std::to_string(euid));
    std::filesystem::path home;
    if (!runtime) {
        auto found = homeDirectory(euid);
        if (!found) {
            return std::nullopt;
        }
        home = *found;
    }
    const auto container = appGroupContainerLocation(euid, runtime, home);
    if (!preparePrivateDirectory(container, euid, !runtime)) {
        return std::nullopt;
    }
    return container;
}

}  // namespace fw::automation
