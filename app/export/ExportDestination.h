// The files of one export as the engine reaches them: the destination's folder, opened once
// so that everything after the check happens in that very folder, and the images of a
// confined export, each opened beneath its folder's descriptor (ExportConfinement.h).
//
// Failures carry the engine's own texts (domain FrameweaverErrorDomain, code 1). Plain
// functions, safe from any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "app/export/ExportConfinement.h"
#include "platform/Error.h"
#include "platform/OpenBeneath.h"

namespace fw {

// An error of the export engine: domain FrameweaverErrorDomain, code 1, `text`, and the cause
// underneath where there is one.
platform::Error exportEngineError(std::string text,
                                  std::optional<platform::Error> underlying = std::nullopt);

// The folder the movie goes into, open, and the movie's name in it.
struct ExportDestination {
    platform::OwnedFd folder;
    std::string name;
};

// Opens the destination's folder (beneath `movie`'s directory when given, else the folder of
// the path `destination` as it names it) and checks the destination without following a
// link there: something there is refused without `overwrite`, and with it anything but a
// regular file. Failures: "The destination could not be accessed." (the cause underneath;
// a path that leaves its folder gives the folder store's escapedFolder), "Temporary space
// could not be created on the destination volume." (the folder is missing), "A movie already
// exists at the destination. Enable overwrite to replace it." and "The destination must be a
// regular file, not a folder or symbolic link.".
std::optional<platform::Error> openDestination(const std::filesystem::path& destination,
                                               const std::optional<ConfinedFile>& movie,
                                               bool overwrite, ExportDestination& opened);

// Opens the regular file `image` for reading beneath its directory, without waiting on a
// pipe or device. Fails with "The image “<file name of path>” could not be completely
// decoded." and the cause underneath (escapedFolder for a path that leaves its folder).
std::optional<platform::Error> openConfinedImage(const ConfinedFile& image, const std::string& path,
                                                 platform::OwnedFd& file);

// A path that names the open file `fd` itself, for readers that take paths.
std::string descriptorPath(int fd);

// `error` of an image read through `shownPath`, told by the name of `path` instead.
platform::Error renamedImageError(platform::Error error, const std::string& shownPath,
                                  const std::string& path);

}  // namespace fw
