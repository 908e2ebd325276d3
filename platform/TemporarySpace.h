// TemporarySpace: a private, uniquely named hidden directory beside a destination file, on the
// same filesystem, so that a movie written there can be renamed onto the destination.
//
// The directory is removed with everything in it by `remove()` or, at the latest, by the
// destructor. Removal ignores only a directory that is already gone; any other failure is
// written to the system log as "Frameweaver could not remove temporary export space: %@"
// and otherwise ignored.
//
// Thread-safety: one object is used by one thread at a time.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "platform/Error.h"

namespace fw::platform {

class TemporarySpace {
public:
    // Creates the directory (mode 0700) beside `destination`, named after it (the name cut to
    // its first 64 bytes):
    // ".<destination file name>.frameweaver-XXXXXX". Returns nothing with `error` set to
    // the system's error (`posixError`) when it cannot be made.
    static std::optional<TemporarySpace> create(const std::filesystem::path& destination,
                                                Error& error);

    TemporarySpace(TemporarySpace&& other) noexcept;
    TemporarySpace& operator=(TemporarySpace&& other) noexcept;
    TemporarySpace(const TemporarySpace&) = delete;
    TemporarySpace& operator=(const TemporarySpace&) = delete;
    ~TemporarySpace();

    // The directory; empty after `remove()`.
    const std::filesystem::path& directory() const { return directory_; }

    // Removes the directory and its contents now (see above for failures). Idempotent.
    void remove();

private:
    explicit TemporarySpace(std::filesystem::path directory);
    std::filesystem::path directory_;
};

// Removes `directory` and everything in it with the rules above. Returns true when it is
// gone (or was not there).
bool removeTemporarySpace(const std::filesystem::path& directory);

}  // namespace fw::platform
