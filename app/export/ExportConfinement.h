// ExportConfinement: where an export engine reaches its files when they lie inside folders
// that are already open, so that nothing changed after the export was accepted (a symbolic
// link swapped in for a file or a folder on the way) can lead it outside those folders.
//
// - The user's own export (the main window): no confinement; the engine works on the paths the
//   user chose.
// - A scripted action: the images are files its caller handed over and are read by their
//   paths, as the window reads them; the movie and its temporary space stay beneath the
//   output folder's descriptor.
// - Local automation: the images too are read beneath their folders' descriptors.
//
// Plain values; the descriptors are shared and closed when the last holder lets go. Safe to
// read from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/OpenBeneath.h"

namespace fw {

// An open directory (O_RDONLY | O_DIRECTORY), shared by everything reached beneath it.
using SharedDirectory = std::shared_ptr<const platform::OwnedFd>;

// A file named by a relative path beneath an open directory; the path may not leave it.
struct ConfinedFile {
    SharedDirectory directory;
    std::string relativePath;
};

struct ExportConfinement {
    // One per image, in movie order; empty: the images are read by their paths.
    std::vector<ConfinedFile> images;
    // The movie beneath its output folder; absent: the destination path as given.
    std::optional<ConfinedFile> movie;

    bool confinesNothing() const { return images.empty() && !movie; }
};

}  // namespace fw
