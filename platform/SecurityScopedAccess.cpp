#include "platform/SecurityScopedAccess.h"

#include "platform/AccessGrants.h"

namespace fw::platform {

SecurityScopedAccess::SecurityScopedAccess(AccessGrants* grants)
    : grants_(grants != nullptr ? *grants : AccessGrants::shared()) {}

std::shared_ptr<SecurityScopedAccess> SecurityScopedAccess::system() {
    static const std::shared_ptr<SecurityScopedAccess> access =
        std::make_shared<SecurityScopedAccess>();
    return access;
}

std::optional<Error> SecurityScopedAccess::createBookmark(const std::filesystem::path& path,
                                                          BookmarkScope scope,
                                                          std::vector<std::uint8_t>& bytes) {
    return platform::createBookmark(path, scope, bytes);
}

std::optional<Error> SecurityScopedAccess::resolveBookmark(std::span<const std::uint8_t> bytes,
                                                           ResolvedBookmark& resolved) {
    if (auto error = platform::resolveBookmark(bytes, resolved)) {
        return error;
    }
    grants_.grant(resolved.path);
    return std::nullopt;
}

bool SecurityScopedAccess::startAccessing(const std::filesystem::path& path) {
    return grants_.start(path);
}

void SecurityScopedAccess::stopAccessing(const std::filesystem::path& path) {
    grants_.stop(path);
}

}  // namespace fw::platform
