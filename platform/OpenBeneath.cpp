#include "platform/OpenBeneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace fw::platform {

namespace {

// The kernel's own limit on links followed in one look-up.
constexpr int kMaxLinks = 40;

Error openError(int error, std::string_view path) {
    const std::string shown = path.empty() ? std::string(".") : std::string(path);
    return Error(kPosixErrorDomain, error,
                 "Could not open “" + shown + "”: " + std::strerror(error) + ".");
}

// O_TMPFILE includes the O_DIRECTORY bit, so it is tested whole.
bool takesMode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// Known absent: the kernel answered ENOSYS once, so the walk is used from then on.
std::atomic<bool> kernelLacksOpenat2{false};

int openat2Beneath(int directoryFd, const char* path, int flags, mode_t mode) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.mode = takesMode(flags) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0;; ++attempt) {
        const long fd = ::syscall(SYS_openat2, directoryFd, path, &how, sizeof how);
        if (fd >= 0) {
            return static_cast<int>(fd);
        }
        // EAGAIN: a rename raced the look-up; the kernel asks to try again.
        if ((errno == EAGAIN && attempt < 16) || errno == EINTR) {
            continue;
        }
        return -1;
    }
}

void splitInto(std::string_view path, std::deque<std::string>& out, bool front) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = path.find('/', start);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        if (end > start) {
            parts.emplace_back(path.substr(start, end - start));
        }
        if (slash == std::string_view::npos) {
            break;
        }
        start = slash + 1;
    }
    if (front) {
        out.insert(out.begin(), parts.begin(), parts.end());
    } else {
        out.insert(out.end(), parts.begin(), parts.end());
    }
}

bool isSymlinkAt(int directoryFd, const std::string& name) {
    struct stat st {};
    return ::fstatat(directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(st.st_mode);
}

// Reads the link `name` in `directoryFd` and queues its target in front of what remains.
// Returns 0, or the errno value that ends the look-up.
int followLink(int directoryFd, const std::string& name, int& linksFollowed,
               std::deque<std::string>& pending) {
    if (++linksFollowed > kMaxLinks) {
        return ELOOP;
    }
    std::string target(4096, '\0');
    const ssize_t n = ::readlinkat(directoryFd, name.c_str(), target.data(), target.size());
    if (n < 0) {
        return errno;
    }
    target.resize(static_cast<std::size_t>(n));
    if (target.empty()) {
        return ENOENT;
    }
    if (target.front() == '/') {
        return EXDEV;
    }
    splitInto(target, pending, true);
    if (pending.empty()) {
        pending.emplace_back(".");
    }
    return 0;
}

int walkBeneath(int directoryFd, std::string_view relativePath, int flags, mode_t mode,
                OwnedFd& file) {
    std::deque<std::string> pending;
    splitInto(relativePath, pending, false);
    std::vector<OwnedFd> held;  // directories entered, innermost last
    int linksFollowed = 0;
    auto current = [&] { return held.empty() ? directoryFd : held.back().get(); };
    if (pending.empty()) {
        pending.emplace_back(".");
    }
    while (!pending.empty()) {
        std::string name = std::move(pending.front());
        pending.pop_front();
        const bool last = pending.empty();
        if (name == "." || name == "..") {
            if (name == "..") {
                if (held.empty()) {
                    return EXDEV;
                }
                held.pop_back();
            }
            if (!last) {
                continue;
            }
            const int fd = ::openat(current(), ".", flags | O_CLOEXEC, mode);
            if (fd < 0) {
                return errno;
            }
            file.reset(fd);
            return 0;
        }
        if (!last) {
            const int fd =
                ::openat(current(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) {
                held.emplace_back(fd);
                continue;
            }
            const int error = errno;
            if ((error == ELOOP || error == ENOTDIR) && isSymlinkAt(current(), name)) {
                if (const int linkError = followLink(current(), name, linksFollowed, pending)) {
                    return linkError;
                }
                continue;
            }
            return error;
        }
        const int fd = ::openat(current(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            file.reset(fd);
            return 0;
        }
        const int error = errno;
        if ((error == ELOOP || error == ENOTDIR) && (flags & O_NOFOLLOW) == 0 &&
            isSymlinkAt(current(), name)) {
            if (const int linkError = followLink(current(), name, linksFollowed, pending)) {
                return linkError;
            }
            continue;
        }
        return error;
    }
    return ENOENT;  // not reached: the loop always opens or fails on its last component
}

}  // namespace

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

void OwnedFd::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

std::optional<Error> openBeneath(int directoryFd, std::string_view relativePath, int flags,
                                 mode_t mode, OwnedFd& file, BeneathResolution resolution) {
    if (relativePath.find('\0') != std::string_view::npos) {
        return openError(EINVAL, "");
    }
    if (!relativePath.empty() && relativePath.front() == '/') {
        return openError(EXDEV, relativePath);
    }
    const std::string path = relativePath.empty() ? std::string(".") : std::string(relativePath);
    if (resolution != BeneathResolution::walk && !kernelLacksOpenat2.load()) {
        const int fd = openat2Beneath(directoryFd, path.c_str(), flags, mode);
        if (fd >= 0) {
            file.reset(fd);
            return std::nullopt;
        }
        if (errno != ENOSYS) {
            return openError(errno, relativePath);
        }
        kernelLacksOpenat2 = true;
    }
    if (resolution == BeneathResolution::kernel) {
        return openError(ENOSYS, relativePath);
    }
    if (const int error = walkBeneath(directoryFd, path, flags, mode, file)) {
        return openError(error, relativePath);
    }
    return std::nullopt;
}

std::optional<Error> openBeneathWithoutLinks(int directoryFd, std::string_view relativePath,
                                             int flags, OwnedFd& file) {
    if (relativePath.find('\0') != std::string_view::npos || (flags & O_CREAT) != 0) {
        return openError(EINVAL, relativePath);
    }
    std::deque<std::string> names;
    splitInto(relativePath, names, false);
    if (names.empty() || relativePath.front() == '/') {
        return openError(EXDEV, relativePath);
    }
    OwnedFd held;  // the directory reached so far; the caller's at first
    while (!names.empty()) {
        const std::string name = std::move(names.front());
        names.pop_front();
        if (name == "." || name == "..") {
            return openError(EXDEV, relativePath);
        }
        const int from = held.valid() ? held.get() : directoryFd;
        const int wanted =
            names.empty() ? flags : O_PATH | O_DIRECTORY;  // every step before the last a folder
        const int fd = ::openat(from, name.c_str(), wanted | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            return openError(errno, relativePath);
        }
        held.reset(fd);
    }
    file = std::move(held);
    return std::nullopt;
}

std::optional<Error> openDirectory(const std::filesystem::path& path, OwnedFd& directory) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return Error(
            kPosixErrorDomain, error,
            "Could not open the folder “" + path.string() + "”: " + std::strerror(error) + ".");
    }
    directory.reset(fd);
    return std::nullopt;
}

bool openRegularFile(const std::string& path, OwnedFd& file, std::string& why) {
    file.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file.valid()) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        file.reset();
        why = path + ": not a regular file";
        return false;
    }
    return true;
}

}  // namespace fw::platform
