#include "app/folders/FileAccessManager.h"

#include <fcntl.h>
#include <unistd.h>

#include <QThread>
#include <string>
#include <system_error>

#include "platform/Bookmark.h"
#include "platform/SecurityScopedAccess.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"

namespace fw {

namespace fs = std::filesystem;

namespace {

// Paths stand for the file URLs of the rest of the application: only an absolute path
// names a local file.
bool isFileURL(const fs::path& url) {
    const std::string& text = url.native();
    return !text.empty() && text.front() == '/' && text.find('\0') == std::string::npos;
}

// Lexically normal, without a trailing slash (except for the root itself).
fs::path standardized(const fs::path& url) {
    std::string text = url.lexically_normal().native();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return fs::path(text);
}

// Symbolic links resolved in the part that exists, then standardized.
fs::path resolvingSymlinks(const fs::path& url) {
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(url, ec);
    return standardized(ec ? url : resolved);
}

std::string lastPathComponent(const fs::path& url) {
    const fs::path path = standardized(url);
    const std::string name = path.filename().native();
    return name.empty() ? path.native() : name;
}

// `path` is `folder` or lies inside it (both standardized).
bool isWithin(const fs::path& path, const fs::path& folder, bool allowEqual) {
    const std::string& p = path.native();
    std::string prefix = folder.native();
    if (allowEqual && p == prefix) {
        return true;
    }
    if (prefix.empty() || prefix.back() != '/') {
        prefix += '/';
    }
    return p.size() > prefix.size() && p.compare(0, prefix.size(), prefix) == 0;
}

platform::BookmarkScope scopeFor(bool writable) {
    return writable ? platform::BookmarkScope::readWrite : platform::BookmarkScope::readOnly;
}

// O_TMPFILE includes the O_DIRECTORY bit, so it is tested whole.
bool writesOrCreates(int flags) {
    return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND)) != 0 ||
           (flags & O_TMPFILE) == O_TMPFILE;
}

// The components of a relative path, or invalidRelativePath.
std::optional<FileAccessError> checkRelativePath(std::string_view relativePath,
                                                 std::vector<std::string_view>& components) {
    if (relativePath.empty() || relativePath.front() == '/') {
        return FileAccessError::invalidRelativePath();
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = relativePath.find('/', start);
        const std::string_view component = relativePath.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (component.empty() || component == "." || component == ".." ||
            component.find('\\') != std::string_view::npos ||
            component.find('\0') != std::string_view::npos) {
            return FileAccessError::invalidRelativePath();
        }
        components.push_back(component);
        if (slash == std::string_view::npos) {
            return std::nullopt;
        }
        start = slash + 1;
    }
}

}  // namespace

// A folder entered by `enterFolder`: its root, with access started on it.
struct FileAccessManager::Root {
    fs::path url;
    std::string name;
};

FileAccessManager& FileAccessManager::shared() {
    static FileAccessManager* store = new FileAccessManager();  // lives as long as the process
    return *store;
}

FileAccessManager::FileAccessManager(Options options, QObject* parent)
    : QObject(parent),
      defaults_(options.defaults != nullptr ? *options.defaults
                                            : platform::UserDefaults::standard()),
      access_(options.access ? std::move(options.access)
                             : platform::SecurityScopedAccess::system()),
      log_(std::move(options.log)) {
    if (!log_) {
        log_ = [](std::string_view line) {
            platform::systemLog(platform::SystemLogLevel::kWarning, line);
        };
    }
    load();
}

FileAccessManager::FileAccessManager() : FileAccessManager(Options{}) {}

FileAccessManager::~FileAccessManager() = default;

void FileAccessManager::assertOwningThread() const {
    Q_ASSERT_X(QThread::currentThread() == thread(), "FileAccessManager",
               "used off the thread that owns it");
}

void FileAccessManager::load() {
    const auto value = defaults_.object(kStoredFoldersKey);
    if (!value) {
        return;
    }
    DecodedFolderRecords decoded;
    if (const auto* bytes = std::get_if<platform::DefaultsData>(&*value)) {
        decoded = decodeFolderRecords(*bytes);
    } else {
        decoded.unreadableList = true;
    }
    records_ = std::move(decoded.records);
    publish();  // nobody listens yet: it only fills the list of folders
    if (decoded.complete()) {
        return;
    }
    // Keep what could not be read beside the list rather than losing it at the next save.
    std::string asideKey = kUnreadableFoldersKey;
    for (int n = 2; n <= 100; ++n) {
        const auto existing = defaults_.object(asideKey);
        if (!existing || *existing == *value) {
            break;
        }
        asideKey = std::string(kUnreadableFoldersKey) + "." + std::to_string(n);
    }
    std::string where = "kept under “" + asideKey + "”";
    if (auto error = defaults_.set(asideKey, *value)) {
        where = "could not be kept aside (" + error->description + ")";
    }
    std::string what = decoded.unreadableList
                           ? std::string("The stored folder authorizations could not be read")
                           : std::to_string(decoded.unreadableRecords) +
                                 " stored folder authorization(s) could not be read";
    log_(what + "; " + std::to_string(records_.size()) +
         " authorization(s) were kept. The unreadable data is " + where + ".");
}

const FolderRecord* FileAccessManager::findRecord(const QUuid& folderID) const {
    for (const FolderRecord& record : records_) {
        if (record.folder.id == folderID) {
            return &record;
        }
    }
    return nullptr;
}

FileAccessResult<void> FileAccessManager::commit(std::vector<FolderRecord> next) {
    const auto bytes = encodeFolderRecords(next);
    if (!bytes) {
        return platform::Error(kFileAccessErrorDomain, 0,
                               "The folder authorizations could not be saved.");
    }
    if (auto error = defaults_.set(kStoredFoldersKey, *bytes)) {
        return *error;
    }
    records_ = std::move(next);
    publish();
    return {};
}

void FileAccessManager::publish() {
    std::vector<AuthorizedFolder> folders;
    folders.reserve(records_.size());
    for (const FolderRecord& record : records_) {
        folders.push_back(record.folder);
    }
    if (folders != folders_) {
        folders_ = std::move(folders);
        emit foldersChanged();
    }
}

FileAccessResult<AuthorizedFolder> FileAccessManager::authorize(const fs::path& url,
                                                                bool writable) {
    assertOwningThread();
    if (!isFileURL(url)) {
        return FileAccessError::invalidURL();
    }
    std::vector<std::uint8_t> bookmark;
    if (auto error = access_->createBookmark(url, scopeFor(writable), bookmark)) {
        return *error;
    }
    FolderRecord record;
    record.folder = AuthorizedFolder{QUuid::createUuid(), lastPathComponent(url), writable};
    record.bookmark = std::move(bookmark);
    record.pathHint = standardized(url).native();
    const AuthorizedFolder folder = record.folder;
    std::vector<FolderRecord> next = records_;
    next.push_back(std::move(record));
    if (auto saved = commit(std::move(next)); !saved) {
        return saved.error();
    }
    return folder;
}

FileAccessResult<void> FileAccessManager::reauthorize(const QUuid& folderID, const fs::path& url) {
    assertOwningThread();
    const FolderRecord* record = findRecord(folderID);
    if (record == nullptr) {
        return FileAccessError::missingFolder();
    }
    if (!isFileURL(url)) {
        return FileAccessError::invalidURL();
    }
    std::vector<std::uint8_t> bookmark;
    if (auto error = access_->createBookmark(url, scopeFor(record->folder.writable), bookmark)) {
        return *error;
    }
    std::vector<FolderRecord> next = records_;
    for (FolderRecord& candidate : next) {
        if (candidate.folder.id == folderID) {
            candidate.bookmark = std::move(bookmark);
            candidate.pathHint = standardized(url).native();
            candidate.folder.name = lastPathComponent(url);
            break;
        }
    }
    return commit(std::move(next));
}

FileAccessResult<void> FileAccessManager::remove(const QUuid& folderID) {
    assertOwningThread();
    std::vector<FolderRecord> next = records_;
    std::erase_if(next, [&](const FolderRecord& record) { return record.folder.id == folderID; });
    return commit(std::move(next));
}

std::optional<std::string> FileAccessManager::pathHint(const QUuid& folderID) const {
    assertOwningThread();
    if (const FolderRecord* record = findRecord(folderID)) {
        return record->pathHint;
    }
    return std::nullopt;
}

FileAccessResult<fs::path> FileAccessManager::resolveRecord(const FolderRecord& record) {
    // The record may be replaced while refreshing; work on copies.
    const QUuid id = record.folder.id;
    const std::string name = record.folder.name;
    const bool writable = record.folder.writable;
    platform::ResolvedBookmark resolved;
    if (access_->resolveBookmark(record.bookmark, resolved)) {
        return FileAccessError::unauthorized(name);
    }
    if (!resolved.stale) {
        return resolved.path;
    }
    if (!access_->startAccessing(resolved.path)) {
        return resolved.path;
    }
    std::vector<std::uint8_t> fresh;
    if (access_->createBookmark(resolved.path, scopeFor(writable), fresh)) {
        access_->stopAccessing(resolved.path);
        return resolved.path;
    }
    std::vector<FolderRecord> next = records_;
    bool found = false;
    for (FolderRecord& candidate : next) {
        if (candidate.folder.id == id) {
            candidate.bookmark = std::move(fresh);
            candidate.pathHint = resolved.path.native();
            found = true;
            break;
        }
    }
    if (found) {
        // A refresh that cannot be saved is tried again at the next use.
        (void)commit(std::move(next));
    }
    access_->stopAccessing(resolved.path);
    return resolved.path;
}

std::string FileAccessManager::status(const QUuid& folderID) {
    assertOwningThread();
    const FolderRecord* record = findRecord(folderID);
    if (record == nullptr) {
        return kStatusRemoved;
    }
    auto root = resolveRecord(*record);
    if (!root) {
        return kStatusReauthorizationNeeded;
    }
    if (!access_->startAccessing(root.value())) {
        return kStatusReauthorizationNeeded;
    }
    std::error_code ec;
    const bool exists = fs::exists(root.value(), ec);
    access_->stopAccessing(root.value());
    return exists ? kStatusAvailable : kStatusUnavailable;
}

FileAccessResult<FileAccessManager::Root> FileAccessManager::enterFolder(const QUuid& folderID,
                                                                         bool checkWritable) {
    const FolderRecord* record = findRecord(folderID);
    if (record == nullptr) {
        return FileAccessError::missingFolder();
    }
    if (checkWritable && !record->folder.writable) {
        return FileAccessError::readOnlyFolder();
    }
    const std::string name = record->folder.name;
    auto root = resolveRecord(*record);
    if (!root) {
        return root.error();
    }
    if (!access_->startAccessing(root.value())) {
        return FileAccessError::unauthorized(name);
    }
    return Root{std::move(root).value(), name};
}

FileAccessResult<fs::path> FileAccessManager::resolve(const QUuid& folderID,
                                                      std::string_view relativePath,
                                                      bool forWriting) {
    assertOwningThread();
    auto entered = enterFolder(folderID, forWriting);
    if (!entered) {
        return entered.error();
    }
    const Root& root = entered.value();
    std::error_code ec;
    if (!fs::exists(root.url, ec)) {
        access_->stopAccessing(root.url);
        return FileAccessError::unavailable(root.name);
    }
    auto result = resolve(relativePath, root.url);
    access_->stopAccessing(root.url);
    return result;
}

FileAccessResult<fs::path> FileAccessManager::folderURL(const QUuid& folderID) {
    assertOwningThread();
    auto entered = enterFolder(folderID, false);
    if (!entered) {
        return entered.error();
    }
    const Root& root = entered.value();
    std::error_code ec;
    const bool isDirectory = fs::is_directory(root.url, ec);
    access_->stopAccessing(root.url);
    if (!isDirectory) {
        return FileAccessError::unavailable(root.name);
    }
    return root.url;
}

FileAccessResult<fs::path> FileAccessManager::resolve(std::string_view relativePath,
                                                      const fs::path& folderURL) {
    if (!isFileURL(folderURL)) {
        return FileAccessError::invalidRelativePath();
    }
    std::vector<std::string_view> components;
    if (auto error = fw::checkRelativePath(relativePath, components)) {
        return *error;
    }
    const fs::path root = resolvingSymlinks(folderURL);
    fs::path candidate = folderURL;
    for (std::string_view component : components) {
        candidate /= fs::path(std::string(component));
    }
    fs::path result = resolvingSymlinks(candidate);
    // Equal to the root is refused too: a link back at the folder itself.
    if (!isWithin(result, root, false)) {
        return FileAccessError::escapedFolder();
    }
    return result;
}

std::optional<FileAccessError> FileAccessManager::checkRelativePath(std::string_view relativePath) {
    std::vector<std::string_view> components;
    return fw::checkRelativePath(relativePath, components);
}

FileAccessResult<platform::OwnedFd> FileAccessManager::openFolder(const QUuid& folderID,
                                                                  bool forWriting) {
    assertOwningThread();
    auto entered = enterFolder(folderID, forWriting);
    if (!entered) {
        return entered.error();
    }
    const Root& root = entered.value();
    platform::OwnedFd directory;
    auto error = platform::openDirectory(root.url, directory);
    access_->stopAccessing(root.url);
    if (error) {
        if (error->code == ENOENT || error->code == ENOTDIR || error->code == ELOOP) {
            return FileAccessError::unavailable(root.name);
        }
        return *error;
    }
    return directory;
}

FileAccessResult<platform::OwnedFd> FileAccessManager::open(const QUuid& folderID,
                                                            std::string_view relativePath,
                                                            int flags, mode_t mode) {
    assertOwningThread();
    auto folder = openFolder(folderID, writesOrCreates(flags));
    if (!folder) {
        return folder.error();
    }
    std::vector<std::string_view> components;
    if (auto error = fw::checkRelativePath(relativePath, components)) {
        return *error;
    }
    platform::OwnedFd file;
    if (auto error = platform::openBeneath(folder.value().get(), relativePath, flags, mode, file)) {
        if (error->code == EXDEV) {
            return FileAccessError::escapedFolder();
        }
        return *error;
    }
    // A link inside the folder that leads back at the folder itself is refused as well.
    const auto rootIdentity = platform::FileIdentity::of(folder.value().get());
    const auto fileIdentity = platform::FileIdentity::of(file.get());
    if (rootIdentity && fileIdentity && rootIdentity->sameFile(*fileIdentity)) {
        return FileAccessError::escapedFolder();
    }
    return file;
}

// What one lease learns of the authorized folders, so that many files cost one look at each
// folder: the records as the lease found them (a stale bookmark refreshed on the way replaces
// `records_`) and, once asked for, each folder's root.
struct FileAccessManager::LeaseFolders {
    struct Folder {
        bool resolved = false;
        std::optional<fs::path> root;  // absent when the bookmark does not resolve
        fs::path standardizedRoot;
        std::optional<fs::path> realRoot;  // with links resolved, once needed
    };

    explicit LeaseFolders(const std::vector<FolderRecord>& records)
        : records(records), folders(records.size()) {}

    const std::vector<FolderRecord> records;
    std::vector<Folder> folders;
};

std::optional<platform::Error> FileAccessManager::startAccess(const fs::path& url, bool writing,
                                                              LeaseOrigin origin,
                                                              LeaseFolders& known,
                                                              std::vector<fs::path>& started) {
    if (!isFileURL(url)) {
        return FileAccessError::invalidURL().toError();
    }
    if (access_->startAccessing(url)) {
        started.push_back(url);
        return std::nullopt;
    }
    std::optional<FileAccessError> remembered;
    const fs::path target = standardized(url);
    for (std::size_t i = 0; i < known.records.size(); ++i) {
        const FolderRecord& record = known.records[i];
        if (writing && !record.folder.writable) {
            continue;
        }
        LeaseFolders::Folder& folder = known.folders[i];
        if (!folder.resolved) {
            folder.resolved = true;
            if (auto root = resolveRecord(record)) {
                folder.root = root.value();
                folder.standardizedRoot = standardized(*folder.root);
            }
        }
        if (!folder.root || !isWithin(target, folder.standardizedRoot, true)) {
            continue;
        }
        if (!access_->startAccessing(*folder.root)) {
            remembered = FileAccessError::unauthorized(record.folder.name);
            continue;
        }
        if (!folder.realRoot) {
            folder.realRoot = resolvingSymlinks(*folder.root);
        }
        if (isWithin(resolvingSymlinks(url), *folder.realRoot, true)) {
            started.push_back(*folder.root);
            return std::nullopt;
        }
        access_->stopAccessing(*folder.root);
        remembered = FileAccessError::escapedFolder();
    }
    if (remembered) {
        return remembered->toError();
    }
    // No authorized folder encloses the file. Automation never gets past this point: it
    // reaches files only through its folders.
    if (origin == LeaseOrigin::userChoice) {
        const fs::path checked = writing ? standardized(url).parent_path() : url;
        if (::faccessat(AT_FDCWD, checked.c_str(), writing ? W_OK : R_OK, AT_EACCESS) == 0) {
            return std::nullopt;
        }
    }
    return FileAccessError::unauthorized(lastPathComponent(url)).toError();
}

FileAccessResult<FileAccessLeasePtr> FileAccessManager::lease(
    const std::vector<fs::path>& readingURLs, const std::vector<fs::path>& writingURLs,
    LeaseOrigin origin) {
    assertOwningThread();
    std::vector<fs::path> started;
    LeaseFolders folders(records_);
    auto undo = [&] {
        for (auto it = started.rbegin(); it != started.rend(); ++it) {
            access_->stopAccessing(*it);
        }
    };
    for (const fs::path& url : readingURLs) {
        if (auto error = startAccess(url, false, origin, folders, started)) {
            undo();
            return *error;
        }
    }
    for (const fs::path& url : writingURLs) {
        if (auto error = startAccess(url, true, origin, folders, started)) {
            undo();
            return *error;
        }
    }
    return FileAccessLeasePtr(std::make_shared<FileAccessLease>(std::move(started), access_));
}

namespace {

// The lease of `result`, or nullptr with the error in `error` (when asked for).
FileAccessLeasePtr leaseOrNull(FileAccessResult<FileAccessLeasePtr> result,
                               platform::Error* error) {
    if (!result) {
        if (error != nullptr) {
            *error = result.error();
        }
        return nullptr;
    }
    return std::move(result).value();
}

}  // namespace

FileAccessLeasePtr FileAccessManager::leaseForReadingURLs(const std::vector<fs::path>& urls,
                                                          platform::Error* error) {
    return leaseOrNull(lease(urls, {}, LeaseOrigin::userChoice), error);
}

FileAccessLeasePtr FileAccessManager::leaseForWritingURLs(const std::vector<fs::path>& urls,
                                                          platform::Error* error) {
    return leaseOrNull(lease({}, urls, LeaseOrigin::userChoice), error);
}

}  // namespace fw
