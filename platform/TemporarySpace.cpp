#include "platform/TemporarySpace.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/PosixError.h"
#include "platform/SystemLog.h"

namespace fw::platform {
namespace {

constexpr std::size_t kNameBytesKept = 64;

// Removes `name` inside the directory `parentFd`, descending into directories without
// following symbolic links. 0, or the errno of the first failure; entries that vanish on
// their own do not count as failures.
int removeTree(int parentFd, const char* name) {
    if (::unlinkat(parentFd, name, 0) == 0 || errno == ENOENT) {
        return 0;
    }
    // Linux answers EISDIR for a directory; POSIX allows EPERM, which is also what an
    // undeletable file gives, so the directory test below decides.
    const int unlinkError = errno;
    if (unlinkError != EISDIR && unlinkError != EPERM) {
        return unlinkError;
    }
    const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return 0;
        }
        return errno == ENOTDIR || errno == ELOOP ? unlinkError : errno;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    // Names first, removal after, so the listing is not disturbed while it is read.
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    int result = errno;
    for (const std::string& child : names) {
        const int error = removeTree(::dirfd(dir), child.c_str());
        if (result == 0) {
            result = error;
        }
    }
    ::closedir(dir);
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT && result == 0) {
        result = errno;
    }
    return result;
}

}  // namespace

bool removeTemporarySpace(const std::filesystem::path& directory) {
    std::filesystem::path parent = directory.parent_path();
    if (parent.empty()) {
        parent = ".";
    }
    int result = 0;
    const int parentFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0) {
        result = errno;
    } else {
        result = removeTree(parentFd, directory.filename().c_str());
        ::close(parentFd);
    }
    // Already gone is what removal wants; anything else leaves litter worth knowing about.
    if (result == 0 || result == ENOENT) {
        return true;
    }
    systemLog(SystemLogLevel::kError,
              "Frameweaver could not remove temporary export space: " + directory.string() + ": " +
                  posixError(result).description);
    return false;
}

std::optional<TemporarySpace> TemporarySpace::create(const std::filesystem::path& destination,
                                                     Error& error) {
    std::filesystem::path parent = destination.parent_path();
    if (parent.empty()) {
        parent = ".";
    }
    // The name only helps a person recognise the directory; it is cut short (at a character
    // boundary) so that a long destination name still leaves room for the rest.
    std::string name = destination.filename().string();
    if (name.size() > kNameBytesKept) {
        std::size_t cut = kNameBytesKept;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        name.resize(cut);
    }
    std::string pattern = (parent / ("." + name + ".frameweaver-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        error = posixError(errno);
        return std::nullopt;
    }
    return TemporarySpace(std::filesystem::path(pattern));
}

TemporarySpace::TemporarySpace(std::filesystem::path directory)
    : directory_(std::move(directory)) {}

TemporarySpace::TemporarySpace(TemporarySpace&& other) noexcept
    : directory_(std::exchange(other.directory_, {})) {}

TemporarySpace& TemporarySpace::operator=(TemporarySpace&& other) noexcept {
    if (this != &other) {
        remove();
        directory_ = std::exchange(other.directory_, {});
    }
    return *this;
}

TemporarySpace::~TemporarySpace() {
    remove();
}

void TemporarySpace::remove() {
    if (!directory_.empty()) {
        removeTemporarySpace(directory_);
        directory_.clear();
    }
}

}  // namespace fw::platform
