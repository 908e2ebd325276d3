// SecurityScopedAccess: the seam between the authorized-folder store and the platform:
// making and resolving folder bookmarks, and starting and stopping access to what they name.
//
// `system()` is the real one: bookmarks as in Bookmark.h, access through the process's
// AccessGrants register, where resolving a bookmark registers the path it resolved to (as a
// bookmark with a scope hands out a path that carries the scope). Tests derive from it and
// override single calls to count them or make them fail.
//
// Thread-safety: the real implementation may be used from any thread; `stopAccessing` in
// particular runs wherever a lease is released.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/Bookmark.h"
#include "platform/Error.h"

namespace fw::platform {

class AccessGrants;

class SecurityScopedAccess {
public:
    // Uses `grants` for starting and stopping access (the process's register by default).
    explicit SecurityScopedAccess(AccessGrants* grants = nullptr);
    virtual ~SecurityScopedAccess() = default;
    SecurityScopedAccess(const SecurityScopedAccess&) = delete;
    SecurityScopedAccess& operator=(const SecurityScopedAccess&) = delete;

    // The process-wide real implementation.
    static std::shared_ptr<SecurityScopedAccess> system();

    [[nodiscard]] virtual std::optional<Error> createBookmark(const std::filesystem::path& path,
                                                              BookmarkScope scope,
                                                              std::vector<std::uint8_t>& bytes);
    // Resolves, and registers the resolved path as accessible.
    [[nodiscard]] virtual std::optional<Error> resolveBookmark(std::span<const std::uint8_t> bytes,
                                                               ResolvedBookmark& resolved);
    // True when access to `path` started; balance each true with one `stopAccessing`.
    virtual bool startAccessing(const std::filesystem::path& path);
    virtual void stopAccessing(const std::filesystem::path& path);

private:
    AccessGrants& grants_;
};

}  // namespace fw::platform
