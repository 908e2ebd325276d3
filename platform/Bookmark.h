// Bookmark: a durable reference to a folder (or file) that the user chose, kept as bytes
// in the settings. It records the item's canonical path and its identity (device, inode,
// and birth time and inode generation where the file system keeps them), plus the access
// scope it was made for.
//
// Resolving a bookmark finds the item again:
// - at its recorded path with the same identity: that path, not stale;
// - renamed within its parent folder (found there by identity): the new path, stale;
// - a different folder now at the recorded path (deleted and made again): that path, stale;
// - nothing at the recorded path: that path, not stale; opening it then says it is missing.
// A stale bookmark should be made again from the path it resolved to.
//
// Plain functions, safe from any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "platform/Error.h"

namespace fw::platform {

inline constexpr const char* kBookmarkErrorDomain = "BookmarkErrorDomain";

// The access a bookmark carries: read and write, or read only.
enum class BookmarkScope { readWrite, readOnly };

// What identifies a file independently of its name.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    // Birth time, when the file system records one; tells a reused inode from the original.
    std::optional<std::int64_t> birthSeconds;
    std::uint32_t birthNanoseconds = 0;
    // The inode's generation number, where the file system keeps one (FS_IOC_GETVERSION).
    std::optional<std::uint64_t> generation;

    // Same device and inode, and the same birth time and generation when both sides know
    // them.
    bool sameFile(const FileIdentity& other) const;

    // The identity of what `path` names, not following a final symbolic link; nothing when
    // there is nothing there.
    static std::optional<FileIdentity> of(const std::filesystem::path& path);
    // The identity of an open descriptor.
    static std::optional<FileIdentity> of(int fd);
};

struct ResolvedBookmark {
    std::filesystem::path path;
    bool stale = false;
    BookmarkScope scope = BookmarkScope::readWrite;
};

// Makes a bookmark of `path`, which must exist. Fails with the system's reason (the
// error's code is the errno value) when it cannot be reached.
[[nodiscard]] std::optional<Error> createBookmark(const std::filesystem::path& path,
                                                  BookmarkScope scope,
                                                  std::vector<std::uint8_t>& bytes);

// Finds the bookmarked item again (see above). Fails only when `bytes` are not a bookmark.
[[nodiscard]] std::optional<Error> resolveBookmark(std::span<const std::uint8_t> bytes,
                                                   ResolvedBookmark& resolved);

}  // namespace fw::platform
