#include "app/actions/MovieCopyFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QUuid>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

#include "platform/PosixError.h"

namespace fw::actions {

namespace fs = std::filesystem;

fs::path MovieCopyFolder::defaultLocation() {
    fs::path cache;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
        cache = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        cache = fs::path(home) / ".cache";
    } else {
        cache = fs::temp_directory_path() / ("frameweaver-" + std::to_string(::getuid()));
    }
    return cache / "Frameweaver" / "Movie Copies";
}

std::optional<platform::Error> MovieCopyFolder::prepare() const {
    std::error_code ignored;
    fs::create_directories(location_.parent_path(), ignored);
    if (::mkdir(location_.c_str(), 0700) != 0 && errno != EEXIST) {
        return platform::posixError(errno);
    }
    struct stat info {};
    if (::lstat(location_.c_str(), &info) != 0) {
        return platform::posixError(errno);
    }
    // Someone else's folder, or a link put in its place, is not ours to write copies into.
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
        return platform::posixError(EPERM);
    }
    if ((info.st_mode & 07777) != 0700 && ::chmod(location_.c_str(), 0700) != 0) {
        return platform::posixError(errno);
    }
    return std::nullopt;
}

fs::path MovieCopyFolder::copyPath(std::string_view extension) const {
    const std::string id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    return location_ / ("Frameweaver-" + id + "." + std::string(extension));
}

void MovieCopyFolder::removeStaleCopies(std::chrono::system_clock::time_point now) const {
    std::error_code error;
    fs::directory_iterator entries(location_, error);
    if (error) {
        return;
    }
    for (const fs::directory_entry& entry : entries) {
        struct stat info {};
        if (::lstat(entry.path().c_str(), &info) != 0) {
            continue;
        }
        const auto modified = std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
        if (now - modified > kStaleAge) {
            std::error_code ignored;
            fs::remove_all(entry.path(), ignored);
        }
    }
}

void MovieCopyFolder::removeAll() const {
    std::error_code ignored;
    fs::remove_all(location_, ignored);
}

}  // namespace fw::actions
