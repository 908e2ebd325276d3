// MovieCopyFolder: the application's own folder for the copies of finished movies that
// "Export Movie" hands back to its caller, named "Frameweaver-<UUID>.<extension>".
//
// The folder is private (mode 0700, owned by this user, never a symbolic link). The
// application removes it with its contents when it quits; at start it removes the copies a
// crashed run left behind once they are older than a day. The movie in the authorized folder
// is never touched by any of this.
//
// Thread-safety: `copyPath` may be called from any thread; the rest on one thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>

#include "platform/Error.h"

namespace fw::actions {

class MovieCopyFolder {
public:
    static constexpr std::chrono::hours kStaleAge{24};

    // $XDG_CACHE_HOME/Frameweaver/Movie Copies (~/.cache when the variable is unset or not
    // absolute).
    static std::filesystem::path defaultLocation();

    explicit MovieCopyFolder(std::filesystem::path location) : location_(std::move(location)) {}

    const std::filesystem::path& location() const { return location_; }

    // Makes the folder (and its parents) when missing and ensures it is a directory of ours
    // with mode 0700. The system's error when it cannot.
    std::optional<platform::Error> prepare() const;
    // A fresh copy's path in the folder: "Frameweaver-" + new UUID + "." + `extension`.
    std::filesystem::path copyPath(std::string_view extension) const;
    // Removes the folder's entries last modified before `now - kStaleAge`.
    void removeStaleCopies(std::chrono::system_clock::time_point now =
                               std::chrono::system_clock::now()) const;
    // Removes the folder with everything in it (a missing folder is no error).
    void removeAll() const;

private:
    std::filesystem::path location_;
};

}  // namespace fw::actions
