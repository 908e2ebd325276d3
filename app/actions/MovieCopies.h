// MovieCopies: makes the copies of finished movies that "Export Movie" hands back, on worker
// threads of its own, in the copy folder; and at quit stops them before the folder goes.
//
// A movie is read from beneath its output folder's descriptor, opened component by component
// without following any symbolic link, and must be a regular file: a link or a folder
// swapped in for the movie, or for a folder on its way, after the export ended is refused,
// and nothing it leads to is read. The copy is a new file of mode 0600.
//
// Thread-safety: `start` and `shutDown` on one thread (the main thread); the copies run on
// the worker threads and report back to the thread of the receiver they were started with.
#pragma once

#include <QPointer>
#include <QThreadPool>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/actions/MovieCopyFolder.h"
#include "app/export/ExportConfinement.h"
#include "platform/Error.h"

namespace fw::actions {

class MovieCopies {
public:
    // One copy's cancel switch: once set, a copy that has not ended stops, removes what it
    // wrote and ends with the user-cancelled error.
    using CancelSwitch = std::shared_ptr<std::atomic<bool>>;
    // The copy's end: nothing on success, else why it failed.
    using Done = std::function<void(std::optional<platform::Error>)>;

    explicit MovieCopies(MovieCopyFolder folder);
    // As `shutDown`.
    ~MovieCopies();
    MovieCopies(const MovieCopies&) = delete;
    MovieCopies& operator=(const MovieCopies&) = delete;

    const MovieCopyFolder& folder() const { return folder_; }

    // Queues a copy of the movie `relativePath` beneath `directory` to `copy` (a path from
    // `folder().copyPath`). `done` is called on `receiver`'s thread when the copy has ended,
    // unless `receiver` is gone by then or the copies were shut down; the copy is then
    // removed again. After `shutDown` nothing is queued and `done` is never called.
    void start(SharedDirectory directory, std::string relativePath, std::filesystem::path copy,
               CancelSwitch cancelled, QObject* receiver, Done done);

    // Drops the queued copies, cancels the running ones and waits for them to end, then
    // removes the copy folder with everything in it. Later calls do nothing more than the
    // removal.
    void shutDown();

    // Called on the worker right before the movie is opened; lets a test change the files.
    void TEST_setBeforeOpen(std::function<void()> hook);

private:
    MovieCopyFolder folder_;
    std::shared_ptr<std::atomic<bool>> stopping_;
    std::mutex hookMutex_;
    std::function<void()> beforeOpen_;  // GUARDED_BY(hookMutex_)
    QThreadPool threads_;
};

}  // namespace fw::actions
