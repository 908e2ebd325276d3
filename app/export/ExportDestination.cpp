#include "app/export/ExportDestination.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string_view>

#include "app/folders/FileAccessError.h"
#include "app/render/MovieSource.h"
#include "platform/PosixError.h"

namespace fw {

using platform::Error;

namespace {

constexpr const char* kDestinationInaccessible = "The destination could not be accessed.";
constexpr const char* kDestinationExists =
    "A movie already exists at the destination. Enable overwrite to replace it.";
constexpr const char* kDestinationNotRegular =
    "The destination must be a regular file, not a folder or symbolic link.";
constexpr const char* kNoTemporarySpace =
    "Temporary space could not be created on the destination volume.";

// The cause of a failed open beneath a folder, as a user reads it.
Error beneathCause(const Error& error) {
    if (error.domain == platform::kPosixErrorDomain && error.code == EXDEV) {
        return FileAccessError::escapedFolder().toError();
    }
    return error;
}

// The folder's failure to open, told the way the destination check tells it.
Error folderError(const Error& cause) {
    if (cause.domain == platform::kPosixErrorDomain && cause.code == ENOENT) {
        return exportEngineError(kNoTemporarySpace, cause);
    }
    return exportEngineError(kDestinationInaccessible, beneathCause(cause));
}

}  // namespace

Error exportEngineError(std::string text, std::optional<Error> underlying) {
    return Error(platform::kFrameweaverErrorDomain, 1, std::move(text),
                 underlying ? std::make_shared<const Error>(std::move(*underlying)) : nullptr);
}

std::optional<Error> openDestination(const std::filesystem::path& destination,
                                     const std::optional<ConfinedFile>& movie, bool overwrite,
                                     ExportDestination& opened) {
    std::string folder;
    std::string name;
    if (movie) {
        const std::string& relative = movie->relativePath;
        const std::size_t slash = relative.rfind('/');
        folder = slash == std::string::npos ? std::string() : relative.substr(0, slash);
        name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    } else {
        folder = destination.parent_path().native();
        name = destination.filename().native();
    }
    // A name that can only be a folder.
    if (name.empty() || name == "." || name == "..") {
        return exportEngineError(overwrite ? kDestinationNotRegular : kDestinationExists);
    }

    if (movie) {
        if (!movie->directory || !movie->directory->valid()) {
            return exportEngineError(kDestinationInaccessible, platform::posixError(EBADF));
        }
        if (auto error = platform::openBeneath(movie->directory->get(), folder,
                                               O_RDONLY | O_DIRECTORY, 0, opened.folder)) {
            return folderError(*error);
        }
    } else {
        // The user's own choice: the folder as the path names it, links and all.
        opened.folder.reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!opened.folder.valid()) {
            return folderError(platform::posixError(errno));
        }
    }
    opened.name = name;

    struct stat status {};
    if (::fstatat(opened.folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        if (error == ENOENT) {
            return std::nullopt;
        }
        return exportEngineError(kDestinationInaccessible, platform::posixError(error));
    }
    if (!overwrite) {
        return exportEngineError(kDestinationExists);
    }
    if (!S_ISREG(status.st_mode)) {
        return exportEngineError(kDestinationNotRegular);
    }
    return std::nullopt;
}

std::optional<Error> openConfinedImage(const ConfinedFile& image, const std::string& path,
                                       platform::OwnedFd& file) {
    std::optional<Error> cause;
    if (!image.directory || !image.directory->valid()) {
        cause = platform::posixError(EBADF);
    } else if (auto error = platform::openBeneath(image.directory->get(), image.relativePath,
                                                  O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, file)) {
        cause = beneathCause(*error);
    } else {
        struct stat status {};
        if (::fstat(file.get(), &status) != 0) {
            cause = platform::posixError(errno);
        } else if (!S_ISREG(status.st_mode)) {
            cause = platform::posixError(S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
        }
    }
    if (cause) {
        file.reset();
        return imageError(path, image_error::kNotDecoded,
                          std::make_shared<const Error>(std::move(*cause)));
    }
    return std::nullopt;
}

std::string descriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

Error renamedImageError(Error error, const std::string& shownPath, const std::string& path) {
    const std::string shown = "The image \u201c" + lastPathComponent(shownPath) + "\u201d";
    if (error.description.compare(0, shown.size(), shown) == 0) {
        error.description.replace(0, shown.size(),
                                  "The image \u201c" + lastPathComponent(path) + "\u201d");
    }
    return error;
}

}  // namespace fw
