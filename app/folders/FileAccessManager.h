// FileAccessManager: the store of the folders the user authorized for automation, and the
// one place where the application starts and stops access to files.
//
// It keeps the folder records (identifier, name, writability, bookmark, last known path) in
// the user defaults under "authorizedAutomationFoldersV1", publishes the folder list with a
// change signal, resolves a folder identifier plus a relative path to a file inside that
// folder, and hands out leases that keep access open while a caller uses files.
//
// Automation reaches files only through a folder: `resolve` checks the path rule and
// `open` / `openFolder` open files beneath the folder's directory descriptor, so a symbolic
// link, or one swapped in after a check, cannot lead outside the folder. The plain
// file-permission fallback of `lease` (no authorized folder encloses the file) serves only
// the user's own choices (`LeaseOrigin::userChoice`: the window's image table and settings).
//
// Changes are saved before they take effect: when the save fails, the call that changed the
// list fails with the save's error and the list stays as it was.
//
// Thread-safety: everything runs on the thread that created the store (the main thread for
// `shared()`). Leases it returns may be released on any thread.
#pragma once

#include <QObject>
#include <QUuid>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/folders/AuthorizedFolder.h"
#include "app/folders/FileAccessError.h"
#include "app/folders/FileAccessLease.h"
#include "app/folders/FolderRecord.h"
#include "platform/OpenBeneath.h"

namespace fw::platform {
class SecurityScopedAccess;
class UserDefaults;
}  // namespace fw::platform

namespace fw {

class FileAccessManager : public QObject {
    Q_OBJECT

public:
    // The user-defaults key of the stored record list.
    static constexpr const char* kStoredFoldersKey = "authorizedAutomationFoldersV1";
    // Where a stored list that could not be read in full is kept (suffixed ".2", ".3", ...
    // when an earlier one is already kept), so that no authorization is silently lost.
    static constexpr const char* kUnreadableFoldersKey = "authorizedAutomationFoldersV1.unreadable";

    static constexpr const char* kStatusAvailable = "Available";
    static constexpr const char* kStatusUnavailable = "Folder unavailable";
    static constexpr const char* kStatusReauthorizationNeeded = "Reauthorization needed";
    static constexpr const char* kStatusRemoved = "Removed";

    // Who a lease is for. Only the user's own choices may fall back to plain file
    // permissions when no authorized folder encloses a file.
    enum class LeaseOrigin { userChoice, automation };

    struct Options {
        // The settings holding the record list; the standard user defaults when null. Must
        // outlive the store.
        platform::UserDefaults* defaults = nullptr;
        // Bookmarks and access; the system's when null.
        std::shared_ptr<platform::SecurityScopedAccess> access;
        // Where the store reports what it cannot show a user (an unreadable stored list); the
        // system log when empty.
        std::function<void(std::string_view)> log;
    };

    // The process-wide store over the standard user defaults, created on first use. Call it
    // first on the main thread.
    static FileAccessManager& shared();

    // Loads the stored records. Records that cannot be read are left out, the stored bytes
    // are kept under kUnreadableFoldersKey, and one line is logged.
    explicit FileAccessManager(Options options, QObject* parent = nullptr);
    // Over the standard user defaults and the system's access.
    FileAccessManager();
    ~FileAccessManager() override;

    // The folders in authorization order, one per record.
    const std::vector<AuthorizedFolder>& folders() const { return folders_; }

    // Bookmarks `url` (an absolute path to a folder) and appends a new record with a fresh
    // identifier. Fails with invalidURL for a path that is not absolute, with the bookmark's
    // own error, or with the save's error.
    FileAccessResult<AuthorizedFolder> authorize(const std::filesystem::path& url, bool writable);
    // Points an existing record at a newly chosen folder, keeping its identifier and
    // writability. Fails with missingFolder, invalidURL, the bookmark's or the save's error.
    FileAccessResult<void> reauthorize(const QUuid& folderID, const std::filesystem::path& url);
    FileAccessResult<void> reauthorize(const AuthorizedFolder& folder,
                                       const std::filesystem::path& url) {
        return reauthorize(folder.id, url);
    }
    // Removes every record with the identifier (none is no error) and saves. Fails only when
    // the save fails.
    FileAccessResult<void> remove(const QUuid& folderID);
    FileAccessResult<void> remove(const AuthorizedFolder& folder) { return remove(folder.id); }

    // The path the folder had when last bookmarked; nothing for an unknown identifier.
    std::optional<std::string> pathHint(const QUuid& folderID) const;
    // kStatusAvailable, kStatusUnavailable, kStatusReauthorizationNeeded or kStatusRemoved.
    std::string status(const QUuid& folderID);
    std::string status(const AuthorizedFolder& folder) { return status(folder.id); }

    // The path of `relativePath` inside the folder. Fails, checking in this order, with
    // missingFolder, readOnlyFolder (writing into an input folder), unauthorized, unavailable,
    // invalidRelativePath, escapedFolder. The file need not exist.
    FileAccessResult<std::filesystem::path> resolve(const QUuid& folderID,
                                                    std::string_view relativePath, bool forWriting);
    // The folder's root. Fails with missingFolder, unauthorized, or unavailable when it is
    // not there as a directory.
    FileAccessResult<std::filesystem::path> folderURL(const QUuid& folderID);
    // The relative-path rule: `relativePath` split at every "/" must have no empty, "." or
    // ".." component, no backslash and no NUL (invalidRelativePath), and must stay inside
    // `folderURL` once symbolic links are resolved (escapedFolder).
    static FileAccessResult<std::filesystem::path> resolve(std::string_view relativePath,
                                                           const std::filesystem::path& folderURL);

    // The path rule alone: invalidRelativePath for a path that is empty, begins with "/", or
    // has an empty, "." or ".." component, a backslash or a NUL; nothing otherwise.
    static std::optional<FileAccessError> checkRelativePath(std::string_view relativePath);

    // Opens the folder's root directory (O_RDONLY | O_DIRECTORY) for automation. Fails like
    // `resolve` (without the path checks).
    FileAccessResult<platform::OwnedFd> openFolder(const QUuid& folderID, bool forWriting);
    // Opens `relativePath` beneath the folder's root with `flags` and `mode`. Flags that
    // write or create need a writable folder. Fails like `resolve`; a path that leaves the
    // folder through a symbolic link, whenever it appeared, fails with escapedFolder; other
    // open failures are passed on as the system's error.
    FileAccessResult<platform::OwnedFd> open(const QUuid& folderID, std::string_view relativePath,
                                             int flags, mode_t mode = 0666);

    // Starts access for every reading URL, then every writing URL, and returns a lease that
    // keeps it until released. On the first failure (invalidURL, unauthorized, escapedFolder)
    // what was started is stopped again, last to first, and no lease is made.
    FileAccessResult<FileAccessLeasePtr> lease(
        const std::vector<std::filesystem::path>& readingURLs,
        const std::vector<std::filesystem::path>& writingURLs,
        LeaseOrigin origin = LeaseOrigin::automation);
    FileAccessResult<FileAccessLeasePtr> leaseForReading(
        const std::vector<std::filesystem::path>& urls,
        LeaseOrigin origin = LeaseOrigin::automation) {
        return lease(urls, {}, origin);
    }
    FileAccessResult<FileAccessLeasePtr> leaseForWriting(
        const std::vector<std::filesystem::path>& urls,
        LeaseOrigin origin = LeaseOrigin::automation) {
        return lease({}, urls, origin);
    }
    // The window's entry points (the user's own choices): a lease, or null with `error`
    // (which may be null) filled in.
    FileAccessLeasePtr leaseForReadingURLs(const std::vector<std::filesystem::path>& urls,
                                           platform::Error* error);
    FileAccessLeasePtr leaseForWritingURLs(const std::vector<std::filesystem::path>& urls,
                                           platform::Error* error);

signals:
    // The folder list changed (emitted after the change, only when it differs).
    void foldersChanged();

private:
    struct Root;

    const FolderRecord* findRecord(const QUuid& folderID) const;
    FileAccessResult<void> commit(std::vector<FolderRecord> next);
    void publish();
    void load();
    // The folder's root, refreshing a stale bookmark; unauthorized when it cannot resolve.
    FileAccessResult<std::filesystem::path> resolveRecord(const FolderRecord& record);
    // Steps shared by resolve, folderURL and openFolder: the record, the writability check,
    // the bookmark, and starting access (which the caller must stop).
    FileAccessResult<Root> enterFolder(const QUuid& folderID, bool checkWritable);
    struct LeaseFolders;
    std::optional<platform::Error> startAccess(const std::filesystem::path& url, bool writing,
                                               LeaseOrigin origin, LeaseFolders& folders,
                                               std::vector<std::filesystem::path>& started);
    void assertOwningThread() const;

    platform::UserDefaults& defaults_;
    std::shared_ptr<platform::SecurityScopedAccess> access_;
    std::function<void(std::string_view)> log_;
    std::vector<FolderRecord> records_;
    std::vector<AuthorizedFolder> folders_;
};

}  // namespace fw
