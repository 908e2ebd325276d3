// Moving a finished file into place so that the destination holds either its earlier content
// or the complete new file, also across a power loss.
//
// The move is three steps, each relative to directories that are already open, so that a
// symbolic link swapped in on the way cannot redirect it:
//   1. `flushFileToDisk`: the file's data reaches the disk before any name points at it;
//   2. `renameIntoPlace`: the rename onto the destination (exclusively when replacing is not
//      allowed); without overwrite a file that appears at the destination at any moment
//      before the rename is never replaced: the move fails with EEXIST and leaves it alone;
//   3. `flushDirectoryToDisk`: the new name itself is made durable.
// They are separate so that a caller can hold a lock over the rename alone: the two flushes
// may take long on a slow disk. `moveIntoPlace` runs all three in order.
//
// Thread-safety: the functions keep no state; `FileSystemCalls` are used as given.
#pragma once

#include <string_view>

namespace fw::platform {

// The system calls the move is made of, replaceable so that tests can inject failures or
// delays. Each returns what the system call returns and sets errno the same way.
struct FileSystemCalls {
    int (*openAt)(int directoryFd, const char* name, int flags) = nullptr;
    int (*fsync)(int fd) = nullptr;
    int (*close)(int fd) = nullptr;
    // renameat2 with RENAME_NOREPLACE.
    int (*renameNoReplace)(int fromFd, const char* from, int toFd, const char* to) = nullptr;
    int (*rename)(int fromFd, const char* from, int toFd, const char* to) = nullptr;
    int (*link)(int fromFd, const char* from, int toFd, const char* to) = nullptr;
    int (*unlink)(int directoryFd, const char* name) = nullptr;

    // The real system calls.
    static const FileSystemCalls& system();
};

// Flushes the regular file `name` in the directory `directoryFd` (a symbolic link there is
// refused). 0, or the errno of the failing step.
int flushFileToDisk(int directoryFd, const char* name,
                    const FileSystemCalls& calls = FileSystemCalls::system());

// Renames `from` in `fromFd` to `to` in `toFd`; both must be on the same filesystem. 0, or:
//   - EEXIST: overwrite is off and something exists at `to` (nothing was changed);
//   - any other value: the file could not be moved (nothing was changed).
// With `overwrite` a regular file at `to` is replaced atomically. Where the filesystem cannot
// rename exclusively, the exclusive move is a hard link followed by removing `from`; where it
// has no hard links either, the last resort is a check for an existing file followed by a
// plain rename.
int renameIntoPlace(int fromFd, const char* from, int toFd, const char* to, bool overwrite,
                    const FileSystemCalls& calls = FileSystemCalls::system());

// Flushes the directory `directoryFd`. A failure is written to the system log, naming the
// folder as `shownName`, and not reported: the file is in place by then.
void flushDirectoryToDisk(int directoryFd, std::string_view shownName,
                          const FileSystemCalls& calls = FileSystemCalls::system());

// The three steps in order: 0, or the errno of the flush or the rename.
int moveIntoPlace(int fromFd, const char* from, int toFd, const char* to, bool overwrite,
                  std::string_view shownName,
                  const FileSystemCalls& calls = FileSystemCalls::system());

}  // namespace fw::platform
