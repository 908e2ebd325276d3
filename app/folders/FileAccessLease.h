// FileAccessLease: an open grant of access to files, from the moment the folder store made
// it until the last reference to it goes away. It then stops access once for every entry of
// `startedURLs`, from the last entry to the first. There is no other way to end it early.
//
// Held by `std::shared_ptr` (`FileAccessLeasePtr`): the image table, the settings panel, the
// export coordinator and the actions each keep one as long as they use its files.
// Thread-safety: immutable; the last reference may be dropped on any thread.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

namespace fw::platform {
class SecurityScopedAccess;
}

namespace fw {

class FileAccessLease {
public:
    // `startedURLs`: the paths whose access was started for this lease, in the order
    // started: a path that carried its own grant, or the root of the authorized folder
    // through which access was had (the same root once per access). `access` stops them.
    FileAccessLease(std::vector<std::filesystem::path> startedURLs,
                    std::shared_ptr<platform::SecurityScopedAccess> access);
    ~FileAccessLease();
    FileAccessLease(const FileAccessLease&) = delete;
    FileAccessLease& operator=(const FileAccessLease&) = delete;

    const std::vector<std::filesystem::path>& startedURLs() const { return startedURLs_; }

private:
    const std::vector<std::filesystem::path> startedURLs_;
    const std::shared_ptr<platform::SecurityScopedAccess> access_;
};

using FileAccessLeasePtr = std::shared_ptr<const FileAccessLease>;

}  // namespace fw
