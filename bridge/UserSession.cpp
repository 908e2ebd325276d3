#include "bridge/UserSession.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fw::bridge {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> absolute(const char* value) {
    if (value == nullptr || value[0] != '/') {
        return std::nullopt;
    }
    return fs::path(value);
}

bool isDirectory(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool isSocket(const fs::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

fs::path standardRuntimeDirectory() {
    return fs::path("/run/user") / std::to_string(::getuid());
}

std::optional<fs::path> databaseHome() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return std::nullopt;
    }
    return absolute(found->pw_dir);
}

}  // namespace

std::string unixBusAddress(const std::string& path) {
    std::string address = "unix:path=";
    for (const char c : path) {
        const unsigned char byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= 'A' && byte <= 'Z') || c == '-' || c == '_' || c == '/' ||
                           c == '.' || c == '\\' || c == '*';
        if (plain) {
            address += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02x", byte);
            address += escaped;
        }
    }
    return address;
}

UserSession UserSession::find() {
    return find([](const char* variable) { return std::getenv(variable); });
}

UserSession UserSession::find(const Environment& environment) {
    UserSession session;
    std::vector<fs::path> runtimeDirectories;
    if (auto given = absolute(environment("XDG_RUNTIME_DIR")); given && isDirectory(*given)) {
        runtimeDirectories.push_back(*given);
    }
    if (isDirectory(standardRuntimeDirectory())) {
        runtimeDirectories.push_back(standardRuntimeDirectory());
    }

    const char* address = environment("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && address[0] != '\0') {
        session.busAddress = address;
    } else {
        for (const fs::path& runtime : runtimeDirectories) {
            if (isSocket(runtime / "bus")) {
                session.busAddress = unixBusAddress((runtime / "bus").string());
                break;
            }
        }
    }
    for (const fs::path& runtime : runtimeDirectories) {
        if (isSocket(runtime / "systemd" / "private")) {
            session.serviceManagerRuntime = runtime;
            break;
        }
    }

    if (auto data = absolute(environment("XDG_DATA_HOME"))) {
        session.servicesFolder = *data / "dbus-1" / "services";
    } else if (auto home = absolute(environment("HOME"))) {
        session.servicesFolder = *home / ".local" / "share" / "dbus-1" / "services";
    } else if (auto home = databaseHome()) {
        session.servicesFolder = *home / ".local" / "share" / "dbus-1" / "services";
    }
    return session;
}

}  // namespace fw::bridge
