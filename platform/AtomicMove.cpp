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

// Flushes the file or directory at `path` to disk; 0 or the errno of the failing step.
int flushToDisk(const char* path, int flags, const FileSystemCalls& calls) {
    const int fd = calls.open(path, flags | O_RDONLY | O_CLOEXEC);
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

bool isUnsupported(int errorNumber) {
    return errorNumber == EINVAL || errorNumber == ENOSYS || errorNumber == EOPNOTSUPP ||
           errorNumber == ENOTSUP;
}

// The exclusive move where the filesystem cannot rename exclusively.
int moveWithoutReplacingByLink(const char* from, const char* to, const FileSystemCalls& calls) {
    if (calls.link(from, to) == 0) {
        // The movie is in place; a name left behind in temporary space goes with it.
        calls.unlink(from);
        return 0;
    }
    const int linkError = errno;
    if (linkError != EPERM && !isUnsupported(linkError)) {
        return linkError;
    }
    // No hard links either (FAT and similar): nothing atomic is left, so look first. Only a
    // file created in the instant between the look and the rename could be replaced.
    struct stat status {};
    if (::lstat(to, &status) == 0) {
        return EEXIST;
    }
    if (errno != ENOENT) {
        return errno;
    }
    return calls.rename(from, to) == 0 ? 0 : errno;
}

}  // namespace

const FileSystemCalls& FileSystemCalls::system() {
    static const FileSystemCalls calls{
        [](const char* path, int flags) { return ::open(path, flags); },
        [](int fd) { return ::fsync(fd); },
        [](int fd) { return ::close(fd); },
        [](const char* from, const char* to) {
            return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
        },
        [](const char* from, const char* to) { return ::rename(from, to); },
        [](const char* from, const char* to) { return ::link(from, to); },
        [](const char* path) { return ::unlink(path); },
    };
    return calls;
}

int moveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to,
                  bool overwrite, const FileSystemCalls& calls) {
    // The data must be on disk before the name points at it, or a power loss could leave an
    // empty or partial movie where the earlier one stood.
    if (const int result = flushToDisk(from.c_str(), 0, calls); result != 0) {
        return result;
    }

    if (overwrite) {
        if (calls.rename(from.c_str(), to.c_str()) != 0) {
            return errno;
        }
    } else if (calls.renameNoReplace(from.c_str(), to.c_str()) != 0) {
        const int renameError = errno;
        if (!isUnsupported(renameError)) {
            return renameError;
        }
        if (const int result = moveWithoutReplacingByLink(from.c_str(), to.c_str(), calls);
            result != 0) {
            return result;
        }
    }

    // Make the new name itself durable.
    std::filesystem::path directory = to.parent_path();
    if (directory.empty()) {
        directory = ".";
    }
    if (const int result = flushToDisk(directory.c_str(), O_DIRECTORY, calls); result != 0) {
        systemLog(SystemLogLevel::kWarning, "Frameweaver could not flush the folder “" +
                                                directory.string() +
                                                "” to disk: " + posixError(result).description);
    }
    return 0;
}

}  // namespace fw::platform
