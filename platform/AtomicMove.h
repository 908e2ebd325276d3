// Moving a finished file into place so that the destination holds either its earlier content
// or the complete new file, also across a power loss.
//
// `moveIntoPlace` flushes the file to disk, renames it onto the destination (exclusively when
// replacing is not allowed) and flushes the destination's directory. Without overwrite a file
// that appears at the destination at any moment before the rename is never replaced: the
// move fails with EEXIST and leaves that file as it is.
//
// Thread-safety: the functions keep no state; `FileSystemCalls` are used as given.
#pragma once

#include <filesystem>

namespace fw::platform {

// The system calls the move is made of, replaceable so that tests can inject failures.
// Each returns what the system call returns and sets errno the same way.
struct FileSystemCalls {
    int (*open)(const char* path, int flags) = nullptr;
    int (*fsync)(int fd) = nullptr;
    int (*close)(int fd) = nullptr;
    int (*renameNoReplace)(const char* from, const char* to) = nullptr;  // renameat2 NOREPLACE
    int (*rename)(const char* from, const char* to) = nullptr;
    int (*link)(const char* from, const char* to) = nullptr;
    int (*unlink)(const char* path) = nullptr;

    // The real system calls.
    static const FileSystemCalls& system();
};

// Moves the file at `from` to `to`; both must be on the same filesystem. Returns 0 on
// success, else the errno of the failing step:
//   - EEXIST: overwrite is off and something exists at `to` (nothing was changed);
//   - any other value: the file could not be flushed or moved (nothing was changed).
// With `overwrite` a regular file at `to` is replaced atomically. Where the filesystem
// cannot rename exclusively, the exclusive move is a hard link followed by removing `from`;
// where it has no hard links either, the last resort is a check for an existing file
// followed by a plain rename. A failure to flush the directory after the rename is logged
// to the system log and not reported: the movie is in place by then.
int moveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to,
                  bool overwrite, const FileSystemCalls& calls = FileSystemCalls::system());

}  // namespace fw::platform
