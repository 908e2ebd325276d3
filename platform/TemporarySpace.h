// TemporarySpace: a private, uniquely named hidden directory beside a destination file, on the
// same filesystem, so that a movie written there can be renamed onto the destination.
//
// The directory is made inside a directory that is already open and is used through a
// descriptor of its own, so a symbolic link swapped in later, in its place or on the path
// to it, cannot lead the files written there anywhere else.
//
// The directory is removed with everything in it by `remove()` or, at the latest, by the
// destructor. Removal ignores only a directory that is already gone; any other failure is
// written to the system log as "Frameweaver could not remove temporary export space: %@"
// with the error's description, and otherwise ignored.
//
// While the object lives it holds an exclusive lock (flock) on the directory, which the system
// lets go when the process ends however it ends. A crash or kill leaves the directory behind;
// `removeStaleTemporarySpaces` clears those out of a destination folder, recognising them by
// their name and by no live export holding their lock.
//
// Thread-safety: one object is used by one thread at a time; the free functions keep no state.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/OpenBeneath.h"

namespace fw::platform {

class TemporarySpace {
public:
    // Creates the directory (mode 0700) inside the open directory `parentFd`, named after the
    // destination (the name cut to its first 64 bytes):
    // ".<destination file name>.frameweaver-XXXXXX". Returns nothing with `error` set to the
    // system's error (`posixError`) when it cannot be made.
    static std::optional<TemporarySpace> create(int parentFd, std::string_view destinationName,
                                                Error& error);
    // The same beside the destination path `destination` (its folder opened as the path
    // names it).
    static std::optional<TemporarySpace> create(const std::filesystem::path& destination,
                                                Error& error);

    TemporarySpace(TemporarySpace&& other) noexcept = default;
    TemporarySpace& operator=(TemporarySpace&& other) noexcept;
    TemporarySpace(const TemporarySpace&) = delete;
    TemporarySpace& operator=(const TemporarySpace&) = delete;
    ~TemporarySpace();

    // The directory's descriptor; -1 after `remove()`.
    int directoryFd() const { return directory_.get(); }
    // Its name inside the parent; empty after `remove()`.
    const std::string& name() const { return name_; }
    // A path that names the directory itself, whatever happens to the names leading to it,
    // for libraries that take paths; empty after `remove()`.
    std::filesystem::path path() const;

    // Removes the directory and its contents now (see above for failures). Idempotent.
    void remove();

private:
    TemporarySpace(OwnedFd parent, OwnedFd directory, std::string name);

    OwnedFd parent_;
    OwnedFd directory_;
    std::string name_;
};

// Removes `directory` and everything in it with the rules above, without following symbolic
// links. Returns true when it is gone (or was not there).
bool removeTemporarySpace(const std::filesystem::path& directory);

// How old temporary space left in a folder must be before it counts as abandoned, on a file
// system that cannot lock it.
inline constexpr std::chrono::hours kStaleTemporarySpaceAge{3};

// Removes from the open directory `directoryFd` every directory named as temporary space
// (".<name>.frameweaver-XXXXXX"), owned by this user, whose lock no live export holds: what an
// export that crashed or was killed left behind. On a file system without such locks, only
// space that neither itself nor anything in it has changed for `minimumAge` is taken for
// abandoned. Symbolic links and anything named otherwise are left alone; failures are logged as
// for `remove()`. Returns the number removed.
int removeStaleTemporarySpaces(int directoryFd,
                               std::chrono::seconds minimumAge = kStaleTemporarySpaceAge);

// True for a name of the form ".<name>.frameweaver-XXXXXX" (six letters or digits).
bool isTemporarySpaceName(std::string_view name);

}  // namespace fw::platform
