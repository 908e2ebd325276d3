#include "app/folders/FileAccessLease.h"

#include "platform/SecurityScopedAccess.h"

namespace fw {

FileAccessLease::FileAccessLease(std::vector<std::filesystem::path> startedURLs,
                                 std::shared_ptr<platform::SecurityScopedAccess> access)
    : startedURLs_(std::move(startedURLs)), access_(std::move(access)) {}

FileAccessLease::~FileAccessLease() {
    for (auto it = startedURLs_.rbegin(); it != startedURLs_.rend(); ++it) {
        access_->stopAccessing(*it);
    }
}

}  // namespace fw
