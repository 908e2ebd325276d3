// ExportCoordinator: the one export service of the application. Every way into an export
// ends here: the main window's "Save Movie" (`exportDraft`), the Shortcuts actions and the
// automation tools (`startExport`, `job`, `cancelExport`, `wait`), and the application
// delegate (`hasActiveExport`, `prepareForTermination`).
//
// It runs at most one export at a time in the whole process, refuses a new one while the main
// window is in the middle of an edit, takes file-access leases for the export's files,
// validates the request, drives a fresh `ImagesToMovie` engine for each export (the main
// window's own instance is only its model and never exports), publishes the running job and
// the 20 most recent finished jobs (newest first), mirrors the running job's progress into the
// main window's model, and wakes everybody who waits for a job when it ends.
//
// Thread-safety: a QObject of the Qt main thread. Every member function must be called on
// that thread; callers on other threads hop there first (MainThreadBridge.h, and
// ExportCoordinatorAwait.h for coroutines). The exception is `ExportWaitCancellation::cancel`,
// which may be called from any thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QUuid>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "app/export/ExportConfinement.h"
#include "app/export/ExportError.h"
#include "app/export/ExportModel.h"
#include "app/folders/FileAccessLease.h"
#include "platform/Error.h"

namespace fw {

class ExportCoordinator;
class FileAccessManager;
class ImagesToMovie;

// The domain and code of the error a wait gives when its caller was already cancelled on
// entry (the caller's cancellation has then already asked for the export to be cancelled).
inline constexpr const char* kTaskCancellationErrorDomain = "TaskCancellationErrorDomain";
inline constexpr int kTaskCancelledCode = 1;
platform::Error taskCancelledError();

// Why a call of the export service failed: the service's own `ExportError`, or an error from
// elsewhere passed on unchanged (the folder store's lease failure, the engine's own failure,
// the task-cancellation error). Plain value.
class ExportFailure {
public:
    ExportFailure(ExportError error) : failure_(std::move(error)) {}
    ExportFailure(platform::Error error) : failure_(std::move(error)) {}

    // The service's own error, or null when the failure came from elsewhere.
    const ExportError* exportError() const { return std::get_if<ExportError>(&failure_); }
    // The passed-on error, or null for the service's own.
    const platform::Error* error() const { return std::get_if<platform::Error>(&failure_); }
    // The text shown to the user.
    std::string description() const;
    // As an error object: the service's own errors in kExportErrorDomain with the kind's
    // number as code (invalid 1, busy 2, unknownJob 3, cancelled 4); others unchanged.
    platform::Error toError() const;

private:
    std::variant<ExportError, platform::Error> failure_;
};

inline constexpr const char* kExportErrorDomain = "ExportErrorDomain";

// A value, or the failure that stopped the call. Plain value.
template <class T>
class [[nodiscard]] ExportResult {
public:
    // A failure ("The movie export failed."): only for frameworks that need a default value,
    // such as Asio's co_spawn, which passes one beside an exception.
    ExportResult() : ExportResult(ExportError::invalid("The movie export failed.")) {}
    ExportResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    ExportResult(ExportFailure failure) : state_(std::in_place_index<1>, std::move(failure)) {}
    ExportResult(ExportError error) : ExportResult(ExportFailure(std::move(error))) {}
    ExportResult(platform::Error error) : ExportResult(ExportFailure(std::move(error))) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    // REQUIRES: ok().
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    // REQUIRES: !ok().
    const ExportFailure& failure() const { return std::get<1>(state_); }

private:
    std::variant<T, ExportFailure> state_;
};

template <>
class [[nodiscard]] ExportResult<void> {
public:
    ExportResult() = default;
    ExportResult(ExportFailure failure) : failure_(std::move(failure)) {}
    ExportResult(ExportError error) : failure_(std::move(error)) {}
    ExportResult(platform::Error error) : failure_(std::move(error)) {}

    bool ok() const { return !failure_.has_value(); }
    explicit operator bool() const { return ok(); }
    // REQUIRES: !ok().
    const ExportFailure& failure() const { return *failure_; }

private:
    std::optional<ExportFailure> failure_;
};

// What the busy rule asks of the main window. The main window implements it beside its
// QObject base; a window attached without it never counts as busy.
class DraftWindow {
public:
    // A modal dialog (a sheet such as the save panel) is open over the window.
    virtual bool hasAttachedSheet() const = 0;
    // A text field of the window has the focus with an edit not yet committed.
    virtual bool isEditingText() const = 0;

protected:
    ~DraftWindow() = default;
};

// Asks for a waited-for export to be cancelled, as cancelling the waiting task would. The
// wait itself goes on and ends when the job ends (for a cancelled export, with the
// user-cancelled error). Copy freely; `cancel` may be called from any thread, any number
// of times.
class ExportWaitCancellation {
public:
    ExportWaitCancellation() = default;
    ExportWaitCancellation(QPointer<ExportCoordinator> coordinator, QUuid jobID)
        : coordinator_(std::move(coordinator)), jobID_(jobID) {}
    void cancel() const;

private:
    QPointer<ExportCoordinator> coordinator_;
    QUuid jobID_;
};

class ExportCoordinator : public QObject {
    Q_OBJECT

public:
    // The most finished jobs kept in `recentJobs`.
    static constexpr std::size_t kRecentJobLimit = 20;

    // The outcome of a wait: the movie's file URL, or the failure.
    using WaitCompletion = std::function<void(ExportResult<QUrl>)>;
    // The outcome of the main window's export: nothing, or the error object.
    using DraftCompletion = std::function<void(std::optional<platform::Error>)>;

    struct Options {
        // The folder store the leases come from; `FileAccessManager::shared()` when null.
        // Must outlive the coordinator.
        FileAccessManager* files = nullptr;
    };

    // The process-wide coordinator over the shared folder store, created on first use and
    // never released. Call it on the main thread.
    static ExportCoordinator& shared();

    explicit ExportCoordinator(Options options, QObject* parent = nullptr);
    // Over the shared folder store.
    ExportCoordinator();
    // Cancels a running export; its waiters are not resumed.
    ~ExportCoordinator() override;

    ExportCoordinator(const ExportCoordinator&) = delete;
    ExportCoordinator& operator=(const ExportCoordinator&) = delete;

    // The running job (state running), or nothing.
    const std::optional<ExportJob>& activeJob() const { return activeJob_; }
    // Finished jobs, newest first, at most kRecentJobLimit.
    const std::deque<ExportJob>& recentJobs() const { return recentJobs_; }
    bool hasActiveExport() const { return activeJob_.has_value(); }

    // Remembers the main window's model and the window (both weakly; null clears). A model
    // given while an export runs shows that export at once. The window takes part in the
    // busy rule through `DraftWindow`, which it should implement.
    void attachDraftModel(ImagesToMovie* model, QObject* window);

    // Starts an export and returns the new job's identifier; the job is then `activeJob` and
    // still running. Fails with ExportError busy (checked first), the lease's FileAccessError
    // as an error object, or ExportError invalid with the validation message. A request whose
    // `fileSource` names folders then has them opened (FileAccessError when that fails, and
    // invalidURL for references that do not fit the URLs); the export reaches its files
    // beneath them from then on.
    ExportResult<QUuid> startExport(const ExportRequest& request);

    // Without an identifier: the running job, else the newest finished one, else nothing.
    // With one: the running or recent job of that identifier, else nothing.
    std::optional<ExportJob> job(const std::optional<QUuid>& jobID = std::nullopt) const;

    // Asks the running export to stop (when `jobID` is given, only if it is that job's). The
    // job stays running until the engine reports its end. Fails with unknownJob.
    ExportResult<void> cancelExport(const std::optional<QUuid>& jobID = std::nullopt);
    // cancelExport without an identifier, its failure dropped.
    void cancelActiveExport();

    // Waits for a job's end. For a job that ended earlier, or an unknown one, `completion` is
    // called before `wait` returns: the outputURL of a completed job, ExportError cancelled,
    // ExportError invalid with the job's error text ("The movie export failed." without one),
    // or unknownJob. For the running job it is called when the job ends, after the waiters
    // that came before it: the outputURL, or the engine's own error (a cancelled export gives
    // `platform::Error::userCancelled()`). A wait has no time limit.
    ExportWaitCancellation wait(const QUuid& jobID, WaitCompletion completion);

    // For quitting: with no export, calls `completion` before returning; otherwise cancels
    // the running export and calls `completion` once it has ended.
    void prepareForTermination(std::function<void()> completion);

    // The main window's "Save Movie": exports the attached model's images and settings to
    // `destination` (always overwriting; the window's open sheet or field editor does not
    // count as busy), keeps `leases` until the export ends, and reports every outcome to
    // `completion` (a refusal at once, before returning).
    void exportDraft(const QUrl& destination, std::vector<FileAccessLeasePtr> leases,
                     DraftCompletion completion);

    // Validation alone, as `startExport` applies it: nothing, or the invalid request's error.
    static std::optional<ExportError> validate(const ExportRequest& request);

    // Test hook: the engine of the running export, or null.
    ImagesToMovie* TEST_activeEngine() const;
    // Test hook: ends the running job now as its engine's completion would, with `error`.
    void TEST_endActiveJob(std::optional<platform::Error> error);

signals:
    // `activeJob` changed (started, progressed or ended).
    void activeJobChanged();
    // `recentJobs` changed (a job ended).
    void recentJobsChanged();

private:
    ExportResult<QUuid> start(const ExportRequest& request, bool fromDraftWindow);
    bool draftWindowBlocks(bool fromDraftWindow) const;
    ExportResult<ExportConfinement> openConfinement(const ExportRequest& request);
    void applyProgress(const QUuid& jobID, qulonglong value);
    void finish(const QUuid& jobID, std::optional<platform::Error> error);
    FileAccessManager& files() const;
    void assertMainThread() const;

    FileAccessManager* files_ = nullptr;
    std::optional<ExportJob> activeJob_;
    std::deque<ExportJob> recentJobs_;
    QPointer<ImagesToMovie> draftModel_;
    QPointer<QObject> draftWindow_;
    // The running export's engine, lease and the window's leases (window exports only).
    ImagesToMovie* encoder_ = nullptr;  // a child of the coordinator
    FileAccessLeasePtr accessLease_;
    std::vector<FileAccessLeasePtr> draftAccessLeases_;
    QMetaObject::Connection progressObservation_;
    // Callers waiting for a job, in the order they began waiting.
    std::map<QUuid, std::vector<WaitCompletion>> waiters_;
};

}  // namespace fw
