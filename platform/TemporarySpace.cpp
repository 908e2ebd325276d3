#include "platform/TemporarySpace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "platform/PosixError.h"
#include "platform/SystemLog.h"

namespace fw::platform {
namespace {

constexpr std::size_t kNameBytesKept = 64;
constexpr std::string_view kMarker = ".frameweaver-";
constexpr std::size_t kSuffixLength = 6;
constexpr std::string_view kSuffixCharacters =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr int kCreateAttempts = 100;

int removeTree(int parentFd, const char* name);

// Removes everything inside the open directory `directoryFd` (which stays open). 0, or the
// errno of the first failure.
int removeContents(int directoryFd) {
    const int fd = ::dup(directoryFd);
    if (fd < 0) {
        return errno;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    ::rewinddir(dir);
    // Names first, removal after, so the listing is not disturbed while it is read.
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    int result = errno;
    ::closedir(dir);
    for (const std::string& child : names) {
        const int error = removeTree(directoryFd, child.c_str());
        if (result == 0) {
            result = error;
        }
    }
    return result;
}

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
    OwnedFd directory(::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory.valid()) {
        if (errno == ENOENT) {
            return 0;
        }
        return errno == ENOTDIR || errno == ELOOP ? unlinkError : errno;
    }
    int result = removeContents(directory.get());
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT && result == 0) {
        result = errno;
    }
    return result;
}

// Already gone is what removal wants; anything else leaves litter worth knowing about.
bool reportRemoval(int result) {
    if (result == 0 || result == ENOENT) {
        return true;
    }
    systemLog(SystemLogLevel::kError, "Frameweaver could not remove temporary export space: " +
                                          posixError(result).description);
    return false;
}

std::string randomSuffix() {
    unsigned char bytes[kSuffixLength] = {};
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // Without the kernel's randomness, time and address still differ between attempts.
        const auto seed = static_cast<unsigned long long>(std::time(nullptr)) ^
                          reinterpret_cast<std::uintptr_t>(&bytes) ^
                          static_cast<unsigned long long>(::getpid());
        for (std::size_t i = 0; i < kSuffixLength; ++i) {
            bytes[i] = static_cast<unsigned char>(seed >> (i * 7));
        }
    }
    std::string suffix;
    for (unsigned char byte : bytes) {
        suffix += kSuffixCharacters[byte % kSuffixCharacters.size()];
    }
    return suffix;
}

// When the entry's contents last changed, in seconds. (Its status-change time cannot tell:
// a backup or indexing tool may touch it at any time.)
std::time_t lastChange(const struct stat& status) {
    return status.st_mtim.tv_sec;
}

// True when nothing in the open directory changed after `cutoff` (one level: temporary space
// holds files only).
bool unchangedSince(int directoryFd, std::time_t cutoff) {
    const int fd = ::dup(directoryFd);
    if (fd < 0) {
        return false;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return false;
    }
    bool unchanged = true;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        struct stat status {};
        if (::fstatat(directoryFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            lastChange(status) > cutoff) {
            unchanged = false;
            break;
        }
    }
    ::closedir(dir);
    return unchanged;
}

// Whether a live export holds the space open with its lock. Takes the lock on `spaceFd` when
// none does (kept until that descriptor closes).
enum class Holder { none, live, unknown };

Holder holderOf(int spaceFd) {
    if (::flock(spaceFd, LOCK_EX | LOCK_NB) == 0) {
        return Holder::none;
    }
    return errno == EWOULDBLOCK ? Holder::live : Holder::unknown;  // no locks here: ask the age
}

// True when `name` in `parentFd` still names the directory open as `directoryFd`.
bool namesDirectory(int parentFd, const std::string& name, int directoryFd) {
    struct stat named {};
    struct stat own {};
    return ::fstatat(parentFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(directoryFd, &own) == 0 && named.st_dev == own.st_dev &&
           named.st_ino == own.st_ino;
}

// Removes the open directory `directoryFd`: its contents through the descriptor, then its name
// while that name still names it, so whatever was renamed into its place is left alone.
int removeOpenDirectory(int parentFd, const std::string& name, int directoryFd) {
    int result = removeContents(directoryFd);
    if (namesDirectory(parentFd, name, directoryFd) &&
        ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0 && result == 0) {
        result = errno;
    }
    return result;
}

}  // namespace

bool isTemporarySpaceName(std::string_view name) {
    if (name.size() < 1 + kMarker.size() + kSuffixLength || name.front() != '.') {
        return false;
    }
    const std::string_view suffix = name.substr(name.size() - kSuffixLength);
    const std::string_view marker =
        name.substr(name.size() - kSuffixLength - kMarker.size(), kMarker.size());
    return marker == kMarker &&
           suffix.find_first_not_of(kSuffixCharacters) == std::string_view::npos;
}

bool removeTemporarySpace(const std::filesystem::path& directory) {
    std::filesystem::path parent = directory.parent_path();
    if (parent.empty()) {
        parent = ".";
    }
    int result = 0;
    OwnedFd parentFd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parentFd.valid()) {
        result = errno;
    } else {
        result = removeTree(parentFd.get(), directory.filename().c_str());
    }
    return reportRemoval(result);
}

int removeStaleTemporarySpaces(int directoryFd, std::chrono::seconds minimumAge) {
    const std::time_t cutoff = std::time(nullptr) - static_cast<std::time_t>(minimumAge.count());
    std::vector<std::string> candidates;
    {
        const int fd = ::dup(directoryFd);
        if (fd < 0) {
            return 0;
        }
        DIR* dir = ::fdopendir(fd);
        if (dir == nullptr) {
            ::close(fd);
            return 0;
        }
        ::rewinddir(dir);
        while (const dirent* entry = ::readdir(dir)) {
            if (isTemporarySpaceName(entry->d_name)) {
                candidates.emplace_back(entry->d_name);
            }
        }
        ::closedir(dir);
    }
    int removed = 0;
    for (const std::string& name : candidates) {
        OwnedFd space(
            ::openat(directoryFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat status {};
        if (!space.valid() || ::fstat(space.get(), &status) != 0 || status.st_uid != ::geteuid()) {
            continue;
        }
        switch (holderOf(space.get())) {
            case Holder::live:
                continue;
            case Holder::none:
                break;
            case Holder::unknown:
                if (lastChange(status) > cutoff || !unchangedSince(space.get(), cutoff)) {
                    continue;
                }
                break;
        }
        if (reportRemoval(removeOpenDirectory(directoryFd, name, space.get()))) {
            ++removed;
        }
    }
    return removed;
}

std::optional<TemporarySpace> TemporarySpace::create(int parentFd, std::string_view destinationName,
                                                     Error& error) {
    OwnedFd parent(::fcntl(parentFd, F_DUPFD_CLOEXEC, 0));
    if (!parent.valid()) {
        error = posixError(errno);
        return std::nullopt;
    }
    // The name only helps a person recognise the directory; it is cut short (at a character
    // boundary) so that a long destination name still leaves room for the rest.
    std::string kept(destinationName);
    if (kept.size() > kNameBytesKept) {
        std::size_t cut = kNameBytesKept;
        while (cut > 0 && (static_cast<unsigned char>(kept[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        kept.resize(cut);
    }
    for (int attempt = 0;; ++attempt) {
        std::string name = "." + kept + std::string(kMarker) + randomSuffix();
        if (::mkdirat(parent.get(), name.c_str(), 0700) != 0) {
            if (errno == EEXIST && attempt + 1 < kCreateAttempts) {
                continue;
            }
            error = posixError(errno);
            return std::nullopt;
        }
        OwnedFd directory(
            ::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!directory.valid()) {
            const int openError = errno;
            ::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR);
            error = posixError(openError);
            return std::nullopt;
        }
        // The lock tells a later export's clean-up that this space is in use, for as long as
        // the descriptor is open (a killed export's lock goes with its process). A clean-up
        // that took the new directory between its making and the lock removes it: then it no
        // longer has this name, and another name is tried.
        if (holderOf(directory.get()) == Holder::live ||
            !namesDirectory(parent.get(), name, directory.get())) {
            if (attempt + 1 < kCreateAttempts) {
                continue;
            }
            error = posixError(EEXIST);
            return std::nullopt;
        }
        return TemporarySpace(std::move(parent), std::move(directory), std::move(name));
    }
}

std::optional<TemporarySpace> TemporarySpace::create(const std::filesystem::path& destination,
                                                     Error& error) {
    std::filesystem::path parent = destination.parent_path();
    if (parent.empty()) {
        parent = ".";
    }
    OwnedFd parentFd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parentFd.valid()) {
        error = posixError(errno);
        return std::nullopt;
    }
    return create(parentFd.get(), destination.filename().native(), error);
}

TemporarySpace::TemporarySpace(OwnedFd parent, OwnedFd directory, std::string name)
    : parent_(std::move(parent)), directory_(std::move(directory)), name_(std::move(name)) {}

TemporarySpace& TemporarySpace::operator=(TemporarySpace&& other) noexcept {
    if (this != &other) {
        remove();
        parent_ = std::move(other.parent_);
        directory_ = std::move(other.directory_);
        name_ = std::exchange(other.name_, {});
    }
    return *this;
}

TemporarySpace::~TemporarySpace() {
    remove();
}

std::filesystem::path TemporarySpace::path() const {
    if (!directory_.valid()) {
        return {};
    }
    return "/proc/self/fd/" + std::to_string(directory_.get());
}

void TemporarySpace::remove() {
    if (!directory_.valid()) {
        return;
    }
    reportRemoval(removeOpenDirectory(parent_.get(), name_, directory_.get()));
    directory_.reset();
    parent_.reset();
    name_.clear();
}

}  // namespace fw::platform
