#include "platform/AtomicMove.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/PosixError.h"
#include "platform/SystemLog.h"

namespace fw::platform {
namespace {

bool isUnsupported(int errorNumber) {
    return errorNumber == EINVAL || errorNumber == ENOSYS || errorNumber == EOPNOTSUPP ||
           errorNumber == ENOTSUP;
}

// The exclusive move where the filesystem cannot rename exclusively.
int moveWithoutReplacingByLink(int fromFd, const char* from, int toFd, const char* to,
                               const FileSystemCalls& calls) {
    if (calls.link(fromFd, from, toFd, to) == 0) {
        // The file is in place; a name left behind in temporary space goes with it.
        calls.unlink(fromFd, from);
        return 0;
    }
    const int linkError = errno;
    if (linkError != EPERM && !isUnsupported(linkError)) {
        return linkError;
    }
    // No hard links either (FAT and similar): nothing atomic is left, so look first. Only a
    // file created in the instant between the look and the rename could be replaced.
    struct stat status {};
    if (::fstatat(toFd, to, &status, AT_SYMLINK_NOFOLLOW) == 0) {
        return EEXIST;
    }
    if (errno != ENOENT) {
        return errno;
    }
    return calls.rename(fromFd, from, toFd, to) == 0 ? 0 : errno;
}

}  // namespace

const FileSystemCalls& FileSystemCalls::system() {
    static const FileSystemCalls calls{
        [](int directoryFd, const char* name, int flags) {
            return ::openat(directoryFd, name, flags);
        },
        [](int fd) { return ::fsync(fd); },
        [](int fd) { return ::close(fd); },
        [](int fromFd, const char* from, int toFd, const char* to) {
            return ::renameat2(fromFd, from, toFd, to, RENAME_NOREPLACE);
        },
        [](int fromFd, const char* from, int toFd, const char* to) {
            return ::renameat(fromFd, from, toFd, to);
        },
        [](int fromFd, const char* from, int toFd, const char* to) {
            return ::linkat(fromFd, from, toFd, to, 0);
        },
        [](int directoryFd, const char* name) { return ::unlinkat(directoryFd, name, 0); },
    };
    return calls;
}

int flushFileToDisk(int directoryFd, const char* name, const FileSystemCalls& calls) {
    const int fd = calls.openAt(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int result = 0;
    if (calls.fsync(fd) != 0) {
        result = errno;
    }
    calls.close(fd);
    return result;
}

int renameIntoPlace(int fromFd, const char* from, int toFd, const char* to, bool overwrite,
                    const FileSystemCalls& calls) {
    if (overwrite) {
        return calls.rename(fromFd, from, toFd, to) == 0 ? 0 : errno;
    }
    if (calls.renameNoReplace(fromFd, from, toFd, to) == 0) {
        return 0;
    }
    const int renameError = errno;
    if (!isUnsupported(renameError)) {
        return renameError;
    }
    return moveWithoutReplacingByLink(fromFd, from, toFd, to, calls);
}

void flushDirectoryToDisk(int directoryFd, std::string_view shownName,
                          const FileSystemCalls& calls) {
    if (calls.fsync(directoryFd) != 0) {
        const int error = errno;
        systemLog(SystemLogLevel::kWarning, "Frameweaver could not flush the folder “" +
                                                std::string(shownName) +
                                                "” to disk: " + posixError(error).description);
    }
}

int moveIntoPlace(int fromFd, const char* from, int toFd, const char* to, bool overwrite,
                  std::string_view shownName, const FileSystemCalls& calls) {
    // The data must be on disk before the name points at it, or a power loss could leave an
    // empty or partial file where the earlier one stood.
    if (const int result = flushFileToDisk(fromFd, from, calls); result != 0) {
        return result;
    }
    if (const int result = renameIntoPlace(fromFd, from, toFd, to, overwrite, calls); result != 0) {
        return result;
    }
    flushDirectoryToDisk(toFd, shownName, calls);
    return 0;
}

}  // namespace fw::platform
