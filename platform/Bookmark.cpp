#include "platform/Bookmark.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <plist/plist.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "platform/Plist.h"

namespace fw::platform {

namespace {

// Marks our bytes, and their layout's version.
constexpr const char* kFormatKey = "FrameweaverBookmark";
constexpr std::uint64_t kFormatVersion = 1;

std::optional<std::uint64_t> generationOf(int fd) {
    long generation = 0;
    if (::ioctl(fd, FS_IOC_GETVERSION, &generation) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(static_cast<unsigned long>(generation));
}

std::optional<FileIdentity> identityFrom(int dirFd, const char* path, int flags) {
    struct statx sx {};
    if (::statx(dirFd, path, flags, STATX_TYPE | STATX_INO | STATX_BTIME, &sx) != 0) {
        return std::nullopt;
    }
    FileIdentity identity;
    identity.device = (static_cast<std::uint64_t>(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
    identity.inode = sx.stx_ino;
    if ((sx.stx_mask & STATX_BTIME) != 0) {
        identity.birthSeconds = sx.stx_btime.tv_sec;
        identity.birthNanoseconds = sx.stx_btime.tv_nsec;
    }
    // Birth times are coarse on some file systems (a few milliseconds on ext4), so an inode
    // freed and reused at once can share one; its generation number tells them apart.
    if ((flags & AT_EMPTY_PATH) != 0 && *path == '\0') {
        identity.generation = generationOf(dirFd);
    } else if (S_ISDIR(sx.stx_mode) || S_ISREG(sx.stx_mode)) {
        const int fd = ::openat(dirFd, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            identity.generation = generationOf(fd);
            ::close(fd);
        }
    }
    return identity;
}

bool isDirectoryNoFollow(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Error damaged() {
    return Error(kBookmarkErrorDomain, EINVAL, "The bookmark data is damaged.");
}

std::optional<std::uint64_t> uintItem(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

// Looks in the parent folder of the recorded path for an entry with the recorded
// identity: the folder renamed in place.
std::optional<std::filesystem::path> findRenamed(const std::filesystem::path& recorded,
                                                 const FileIdentity& identity) {
    const std::filesystem::path parent = recorded.parent_path();
    DIR* dir = ::opendir(parent.c_str());
    if (dir == nullptr) {
        return std::nullopt;
    }
    std::optional<std::filesystem::path> found;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_ino != identity.inode || std::strcmp(entry->d_name, ".") == 0 ||
            std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        auto candidate = identityFrom(::dirfd(dir), entry->d_name, AT_SYMLINK_NOFOLLOW);
        if (candidate && candidate->sameFile(identity)) {
            found = parent / entry->d_name;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

}  // namespace

bool FileIdentity::sameFile(const FileIdentity& other) const {
    if (device != other.device || inode != other.inode) {
        return false;
    }
    if (generation && other.generation && *generation != *other.generation) {
        return false;
    }
    if (birthSeconds && other.birthSeconds) {
        return *birthSeconds == *other.birthSeconds && birthNanoseconds == other.birthNanoseconds;
    }
    return true;
}

std::optional<FileIdentity> FileIdentity::of(const std::filesystem::path& path) {
    return identityFrom(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW);
}

std::optional<FileIdentity> FileIdentity::of(int fd) {
    return identityFrom(fd, "", AT_EMPTY_PATH);
}

std::optional<Error> createBookmark(const std::filesystem::path& path, BookmarkScope scope,
                                    std::vector<std::uint8_t>& bytes) {
    std::error_code ec;
    const std::filesystem::path canonical = std::filesystem::canonical(path, ec);
    std::optional<FileIdentity> identity;
    if (!ec) {
        identity = FileIdentity::of(canonical);
    }
    if (ec || !identity) {
        const int error = ec ? ec.value() : errno;
        return Error(kBookmarkErrorDomain, error,
                     "“" + path.filename().string() +
                         "” could not be bookmarked: " + std::strerror(error) + ".");
    }
    PlistPtr dict(plist_new_dict());
    const std::string pathBytes = canonical.string();
    plist_dict_set_item(dict.get(), kFormatKey, plist_new_uint(kFormatVersion));
    // The path as raw bytes: file names need not be valid UTF-8.
    plist_dict_set_item(dict.get(), "path", plist_new_data(pathBytes.data(), pathBytes.size()));
    plist_dict_set_item(dict.get(), "device", plist_new_uint(identity->device));
    plist_dict_set_item(dict.get(), "inode", plist_new_uint(identity->inode));
    if (identity->birthSeconds) {
        plist_dict_set_item(dict.get(), "birthSeconds",
                            plist_new_uint(static_cast<std::uint64_t>(*identity->birthSeconds)));
        plist_dict_set_item(dict.get(), "birthNanoseconds",
                            plist_new_uint(identity->birthNanoseconds));
    }
    if (identity->generation) {
        plist_dict_set_item(dict.get(), "generation", plist_new_uint(*identity->generation));
    }
    plist_dict_set_item(dict.get(), "readOnly",
                        plist_new_bool(scope == BookmarkScope::readOnly ? 1 : 0));
    auto encoded = toBinaryPlist(dict.get());
    if (!encoded) {
        return Error(kBookmarkErrorDomain, ENOMEM, "The bookmark could not be encoded.");
    }
    bytes = std::move(*encoded);
    return std::nullopt;
}

std::optional<Error> resolveBookmark(std::span<const std::uint8_t> bytes,
                                     ResolvedBookmark& resolved) {
    if (bytes.size() < 8 || bytes.size() > std::numeric_limits<std::uint32_t>::max() ||
        std::memcmp(bytes.data(), "bplist00", 8) != 0) {
        return damaged();
    }
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::uint32_t>(bytes.size()), &root);
    PlistPtr dict(root);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT ||
        uintItem(root, kFormatKey) != kFormatVersion) {
        return damaged();
    }
    plist_t pathNode = plist_dict_get_item(root, "path");
    plist_t readOnlyNode = plist_dict_get_item(root, "readOnly");
    const auto device = uintItem(root, "device");
    const auto inode = uintItem(root, "inode");
    if (pathNode == nullptr || plist_get_node_type(pathNode) != PLIST_DATA || !device || !inode ||
        readOnlyNode == nullptr || plist_get_node_type(readOnlyNode) != PLIST_BOOLEAN) {
        return damaged();
    }
    std::uint64_t pathLength = 0;
    const char* pathBytes = plist_get_data_ptr(pathNode, &pathLength);
    const std::string pathText(pathBytes != nullptr ? pathBytes : "", pathLength);
    if (pathText.empty() || pathText.front() != '/' || pathText.find('\0') != std::string::npos) {
        return damaged();
    }
    FileIdentity identity;
    identity.device = *device;
    identity.inode = *inode;
    if (const auto seconds = uintItem(root, "birthSeconds")) {
        identity.birthSeconds = static_cast<std::int64_t>(*seconds);
        identity.birthNanoseconds =
            static_cast<std::uint32_t>(uintItem(root, "birthNanoseconds").value_or(0));
    }
    identity.generation = uintItem(root, "generation");

    const std::filesystem::path recorded(pathText);
    resolved.scope =
        plist_bool_val_is_true(readOnlyNode) ? BookmarkScope::readOnly : BookmarkScope::readWrite;
    const auto current = FileIdentity::of(recorded);
    if (current && current->sameFile(identity)) {
        resolved.path = recorded;
        resolved.stale = false;
        return std::nullopt;
    }
    if (auto renamed = findRenamed(recorded, identity)) {
        resolved.path = std::move(*renamed);
        resolved.stale = true;
        return std::nullopt;
    }
    resolved.path = recorded;
    // A real folder made again at the same place is taken as the user's folder; a symbolic
    // link there is not followed, and nothing there stays as recorded.
    resolved.stale = current.has_value() && isDirectoryNoFollow(recorded);
    return std::nullopt;
}

}  // namespace fw::platform
