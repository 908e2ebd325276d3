// The files of the local automation socket server: the lock file that keeps a second instance
// from listening, the socket file itself, and the clearing of a socket file that an earlier run
// left behind. Plain blocking functions over the file system; any thread. Every descriptor they
// make is close-on-exec. Failures are thrown as SocketError.
#pragma once

#include <sys/types.h>

#include <filesystem>

namespace fw::automation::SocketFiles {

// Opens the lock file (read-write, created with mode 0600 when missing) and takes an exclusive,
// non-blocking advisory lock on it. Returns the open descriptor, which holds the lock until it
// is closed. Throws `io` with the errno of the open or of the lock (EWOULDBLOCK: another
// instance holds it); the file is never removed.
int lockInstance(const std::filesystem::path& lockPath);
// Releases the lock and closes the descriptor; the file stays.
void unlockInstance(int descriptor);

// A socket listening on a path, and the identity of the file it bound there.
struct ListeningSocket {
    int descriptor = -1;
    dev_t device = 0;
    ino_t inode = 0;
};

// Clears a socket file left behind, binds a new socket to `path`, gives the file mode 0600,
// listens with `backlog` and makes the socket non-blocking. On failure nothing stays open and
// a file this call bound is removed again. Throws as removeStaleSocket(), pathTooLong, or `io`
// with the errno of the failed call.
ListeningSocket listen(const std::filesystem::path& path, int backlog);

// Clears the way for binding `path`: nothing when no file is there; `io` EEXIST when the file is
// not a socket; `io` EADDRINUSE when a process listens on it (the probe connects without
// blocking, so a listener whose backlog is full, answering EAGAIN, counts as listening too);
// the stale file is removed when the probe is refused. Any other failure throws `io` with its
// errno.
void removeStaleSocket(const std::filesystem::path& path);

// Removes `path` only when it is a socket with the given device and inode, i.e. still the file
// this process bound. Never fails.
void unlinkIfSame(const std::filesystem::path& path, dev_t device, ino_t inode);

}  // namespace fw::automation::SocketFiles
