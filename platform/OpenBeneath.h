// OpenBeneath: opening a file by a relative path strictly inside a directory that is
// already open, so that nothing on the way (a symbolic link, "..", a link swapped in after
// any earlier check) can lead outside that directory.
//
// The kernel does the resolution where it can (`openat2` with RESOLVE_BENEATH and
// RESOLVE_NO_MAGICLINKS). Where it cannot (ENOSYS), the path is walked one component at a
// time with O_NOFOLLOW from the held directory: symbolic links are read and followed by
// hand, ".." steps back only to a directory already held, and an absolute link or a ".."
// above the start is refused, as the kernel would.
//
// Failures are in kPosixErrorDomain and carry the errno value as their code: EXDEV when the path
// would leave the directory, ELOOP for too many links (or a final link with O_NOFOLLOW), and the
// usual values otherwise. Plain functions, safe from any thread.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/Error.h"
#include "platform/PosixError.h"

namespace fw::platform {

// An open file descriptor, closed when the owner goes away. Move-only.
class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept;
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// How the path is resolved; `automatic` is the kernel's way with the walk as fallback. The
// other two exist so that tests exercise both.
enum class BeneathResolution { automatic, kernel, walk };

// Opens `relativePath` beneath `directoryFd` with `flags` (O_CLOEXEC is always added) and
// `mode` (used with O_CREAT or O_TMPFILE). An empty path or "." opens the directory itself.
[[nodiscard]] std::optional<Error> openBeneath(
    int directoryFd, std::string_view relativePath, int flags, mode_t mode, OwnedFd& file,
    BeneathResolution resolution = BeneathResolution::automatic);

// Opens `relativePath` beneath `directoryFd` with `flags` (O_CLOEXEC and O_NOFOLLOW always
// added; O_CREAT is refused) without following a symbolic link anywhere on the way, also one
// that stays inside the directory: each component is opened from the one before it. A link
// on the way fails with ELOOP (or ENOTDIR), a "." or ".." component with EXDEV.
[[nodiscard]] std::optional<Error> openBeneathWithoutLinks(int directoryFd,
                                                           std::string_view relativePath, int flags,
                                                           OwnedFd& file);

// Opens the directory at `path` for reading, refusing a symbolic link in its place.
[[nodiscard]] std::optional<Error> openDirectory(const std::filesystem::path& path,
                                                 OwnedFd& directory);

// Opens the regular file at `path` for reading without waiting on it: a pipe or a device is
// refused, never read. On failure `why` says what went wrong as "<path>: <reason>".
[[nodiscard]] bool openRegularFile(const std::string& path, OwnedFd& file, std::string& why);

}  // namespace fw::platform
