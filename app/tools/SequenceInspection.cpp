#include "app/tools/SequenceInspection.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QMimeDatabase>
#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/folders/FileAccessManager.h"
#include "app/render/SupportedImageTypes.h"
#include "app/tools/FileNameText.h"
#include "app/tools/NaturalOrder.h"
#include "app/tools/ToolArguments.h"
#include "app/tools/ToolError.h"
#include "platform/OpenBeneath.h"
#include "platform/PosixError.h"

namespace fw {
namespace {

using mcp::Value;

// Closes the directory stream (and with it its descriptor).
struct DirectoryStream {
    DIR* stream = nullptr;
    ~DirectoryStream() {
        if (stream != nullptr) {
            ::closedir(stream);
        }
    }
};

std::vector<std::string> listNames(const platform::OwnedFd& directory) {
    // The stream takes a descriptor of its own; `directory` stays open for the entries.
    platform::OwnedFd own(::fcntl(directory.get(), F_DUPFD_CLOEXEC, 0));
    DirectoryStream listing;
    if (own.valid()) {
        listing.stream = ::fdopendir(own.get());
    }
    if (listing.stream == nullptr) {
        throw ToolError("unreadable_directory", tool_errors::kUnreadableDirectory);
    }
    own.release();
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing.stream);
        if (entry == nullptr) {
            if (errno != 0) {
                throw ToolError("unreadable_directory", tool_errors::kUnreadableDirectory);
            }
            break;
        }
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") {
            continue;
        }
        if (names.size() == kInspectionEntryLimit) {
            throw ToolError("too_many_entries", tool_errors::kTooManyEntries);
        }
        names.emplace_back(name);
    }
    return names;
}

// The directory to list, opened beneath the folder's root.
platform::OwnedFd openListedDirectory(const platform::OwnedFd& root,
                                      const std::string& relativePath) {
    platform::OwnedFd directory;
    const std::string_view path = relativePath.empty() ? std::string_view(".") : relativePath;
    const auto failure = platform::openBeneath(root.get(), path, O_RDONLY | O_DIRECTORY, 0,
                                               directory);
    if (!failure) {
        return directory;
    }
    switch (failure->code) {
        case ENOENT:
        case ENOTDIR:
            throw ToolError("not_directory", tool_errors::kNotDirectory);
        case EXDEV:
        case ELOOP:
            throw ToolError::from(FileAccessError::escapedFolder().toError());
        default:
            throw ToolError("unreadable_directory", tool_errors::kUnreadableDirectory);
    }
}

std::string sentence(const platform::Error& error) {
    std::string text = error.description;
    if (!text.empty() && text.back() != '.') {
        text += '.';
    }
    return text;
}

// The content type of a regular file: by its name when that is unambiguous, else by its
// first bytes, read beneath the directory.
QMimeType contentType(const QMimeDatabase& database, int directory, const std::string& name) {
    const QString fileName = QString::fromStdString(name);
    const QList<QMimeType> byName = database.mimeTypesForFileName(fileName);
    if (byName.size() == 1) {
        return byName.front();
    }
    platform::OwnedFd file;
    if (platform::openBeneath(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, file)) {
        return database.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    }
    QFile device;
    if (!device.open(file.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
        return database.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    }
    return database.mimeTypeForFileNameAndData(fileName, &device);
}

// Why the entry cannot be an image of the sequence, or nothing when it can.
std::optional<std::string> rejection(const QMimeDatabase& database, int root, int directory,
                                     const std::string& name, const std::string& relativePath) {
    if (auto invalid = FileAccessManager::checkRelativePath(relativePath)) {
        return invalid->description();
    }
    struct stat status {};
    if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return sentence(platform::posixError(errno));
    }
    if (S_ISLNK(status.st_mode)) {
        // A link is no regular file; one that leads out of the folder says so first.
        platform::OwnedFd target;
        const auto failure = platform::openBeneath(root, relativePath, O_PATH, 0, target);
        if (failure && (failure->code == EXDEV || failure->code == ELOOP)) {
            return FileAccessError::escapedFolder().description();
        }
        return std::string(tool_errors::kNotFile);
    }
    if (!S_ISREG(status.st_mode)) {
        return std::string(tool_errors::kNotFile);
    }
    if (!isSupportedImageContentType(contentType(database, directory, name))) {
        return std::string(tool_errors::kUnsupportedFormat);
    }
    return std::nullopt;
}

}  // namespace

Value inspectSequence(const ToolArguments& arguments, FileAccessManager& files) {
    const QUuid folderID = arguments.uuid("folder_id");
    const std::string relativePath = arguments.optionalString("relative_path").value_or("");
    const std::int64_t offset = arguments.integer("offset", 0);
    const std::int64_t limit = arguments.integer("limit", 100);
    if (offset < 0 || limit < 1 || limit > 500) {
        throw ToolError("invalid_page", tool_errors::kInvalidPage);
    }

    auto root = files.folderURL(folderID);
    if (!root) {
        throw ToolError::from(root.error());
    }
    if (!relativePath.empty()) {
        if (auto inside = FileAccessManager::resolve(relativePath, root.value()); !inside) {
            throw ToolError::from(inside.error());
        }
    }
    // Held until the listing is done: access to the folder's root, for reading only.
    auto lease = files.leaseForReading({root.value()});
    if (!lease) {
        throw ToolError::from(lease.error());
    }
    auto rootDirectory = files.openFolder(folderID, false);
    if (!rootDirectory) {
        throw ToolError::from(rootDirectory.error());
    }
    const platform::OwnedFd directory = openListedDirectory(rootDirectory.value(), relativePath);

    std::vector<std::string> names = listNames(directory);
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) {
                         return areInSequenceOrder(a, b);
                     });

    const std::size_t total = names.size();
    const std::size_t first = std::min(total, static_cast<std::size_t>(offset));
    const std::size_t end = std::min(total, first + static_cast<std::size_t>(limit));

    const std::string folderText = uuidText(folderID);
    const QMimeDatabase database;
    mcp::Array accepted;
    mcp::Array rejected;
    for (std::size_t index = first; index < end; ++index) {
        const std::string& name = names[index];
        if (!isValidUTF8(name)) {
            // A result is UTF-8 text: this one entry is rejected, the page stands.
            rejected.push_back(Value::object(
                {{"name", escapedFileName(name)}, {"reason", tool_errors::kNameNotUTF8}}));
            continue;
        }
        std::string entryPath = relativePath.empty() ? name : relativePath + "/" + name;
        if (auto reason = rejection(database, rootDirectory.value().get(), directory.get(), name,
                                    entryPath)) {
            rejected.push_back(Value::object({{"name", name}, {"reason", std::move(*reason)}}));
        } else {
            accepted.push_back(Value::object(
                {{"folder_id", folderText}, {"relative_path", std::move(entryPath)}}));
        }
    }

    const std::int64_t count = static_cast<std::int64_t>(accepted.size());
    Value nextOffset;
    if (end < total) {
        nextOffset = static_cast<std::int64_t>(end);
    }
    return Value::object({{"accepted", std::move(accepted)},
                          {"rejected", std::move(rejected)},
                          {"count", count},
                          {"total_entries", static_cast<std::int64_t>(total)},
                          {"next_offset", std::move(nextOffset)}});
}

}  // namespace fw
