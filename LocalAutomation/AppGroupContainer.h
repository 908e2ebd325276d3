// AppGroupContainer: the private directory, shared by the application and its companion, that
// holds the local automation socket and its lock file.
//
// It is /run/user/<euid>/QX7K2M4R9T.fwv when that runtime directory exists, else
// ~/.local/state/QX7K2M4R9T.fwv with the home directory taken from the user database. No
// environment variable is read: the companion starts with whatever environment its client gives
// it, and both programs must arrive at the same place. The directory is created (mode 0700) when
// missing and used only when it is a real directory (not a symbolic link), owned by the effective
// user, with mode exactly 0700: anything else means another user could reach the socket.
//
// Plain functions; safe from any thread.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>

namespace fw::automation {

// The container directory of the effective user, created and checked; none when it cannot be
// made or fails a check.
std::optional<std::filesystem::path> appGroupContainerURL();

// Where the container of user `euid` lies, given whether /run/user/<euid> exists and the user's
// home directory. No file-system access.
std::filesystem::path appGroupContainerLocation(uid_t euid, bool runtimeDirectoryExists,
                                                const std::filesystem::path& home);

// Creates `directory` (mode 0700) when it is missing, then checks that it is a directory and not
// a link, owned by `owner`, with mode 0700. Missing parents are created with mode 0700 when
// `createParents` is set.
bool preparePrivateDirectory(const std::filesystem::path& directory, uid_t owner,
                             bool createParents = false);

}  // namespace fw::automation
