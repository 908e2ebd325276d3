#include "app/coordinator/ExportCoordinator.h"

#include <QSizeF>
#include <QString>
#include <QStringList>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <system_error>

#include "app/coordinator/MainThreadBridge.h"
#include "app/export/ImagesToMovie.h"
#include "app/folders/FileAccessError.h"
#include "app/folders/FileAccessManager.h"
#include "platform/MovieWriter.h"

namespace fw {

namespace fs = std::filesystem;

namespace {

constexpr const char* kWindowUnavailable = "The movie window is unavailable.";
constexpr const char* kExportFailed = "The movie export failed.";

platform::VideoCodec videoCodecOf(ExportCodec codec) {
    switch (codec) {
        case ExportCodec::h264:
            return platform::VideoCodec::kH264;
        case ExportCodec::hevc:
            return platform::VideoCodec::kHEVC;
        case ExportCodec::prores422:
            break;
    }
    return platform::VideoCodec::kProRes422;
}

QString codecType(std::string_view fourCC) {
    return QString::fromLatin1(fourCC.data(), static_cast<qsizetype>(fourCC.size()));
}

QString progressText(std::int64_t completed, std::int64_t total) {
    return QStringLiteral("%1 of %2").arg(completed).arg(total);
}

// The file-system path of a file URL as the engine and the folder store take it.
std::string localPath(const QUrl& url) {
    return url.toLocalFile().toStdString();
}

// A URL as the folder store's lease takes it: its path, or for a URL that names no local
// file a path that the lease refuses as not being one.
fs::path leasePath(const QUrl& url) {
    return url.isLocalFile() ? fs::path(localPath(url)) : fs::path();
}

bool isAbsoluteFileURL(const QUrl& url) {
    if (!url.isLocalFile()) {
        return false;
    }
    const std::string path = localPath(url);
    return !path.empty() && path.front() == '/';
}

// A floating-point size as a whole number of pixels, truncated; 0 (refused later) for what no
// movie can have.
std::int64_t truncatedDimension(double value) {
    if (!std::isfinite(value) || value < 0 || value >= 1e9) {
        return 0;
    }
    return static_cast<std::int64_t>(value);
}

}  // namespace

platform::Error taskCancelledError() {
    return platform::Error(kTaskCancellationErrorDomain, kTaskCancelledCode,
                           "The task was cancelled.");
}

std::string ExportFailure::description() const {
    if (const ExportError* own = exportError()) {
        return own->errorDescription();
    }
    return error()->description;
}

platform::Error ExportFailure::toError() const {
    if (const ExportError* own = exportError()) {
        return platform::Error(kExportErrorDomain, static_cast<int>(own->kind()) + 1,
                               own->errorDescription());
    }
    return *error();
}

void ExportWaitCancellation::cancel() const {
    if (jobID_.isNull()) {
        return;
    }
    // The caller may be on any thread: the coordinator is only touched on the main thread.
    postToMainThread([coordinator = coordinator_, jobID = jobID_] {
        if (coordinator) {
            (void)coordinator->cancelExport(jobID);
        }
    });
}

ExportCoordinator& ExportCoordinator::shared() {
    // Lives for the whole process; never destroyed so that late callers find it.
    static ExportCoordinator* const instance = new ExportCoordinator();
    return *instance;
}

ExportCoordinator::ExportCoordinator(Options options, QObject* parent)
    : QObject(parent), files_(options.files) {}

ExportCoordinator::ExportCoordinator() : ExportCoordinator(Options{}) {}

ExportCoordinator::~ExportCoordinator() {
    QObject::disconnect(progressObservation_);
    // The engine is a child: deleting it cancels the export and waits for its threads without
    // calling its completion.
    delete encoder_;
}

FileAccessManager& ExportCoordinator::files() const {
    return files_ != nullptr ? *files_ : FileAccessManager::shared();
}

void ExportCoordinator::assertMainThread() const {
    if (QThread::currentThread() != thread()) {
        std::fputs("ExportCoordinator used off the main thread\n", stderr);
        std::abort();
    }
}

void ExportCoordinator::attachDraftModel(ImagesToMovie* model, QObject* window) {
    assertMainThread();
    draftModel_ = model;
    draftWindow_ = window;
    if (model != nullptr && activeJob_) {
        model->setMinValue(0);
        model->setMaxValue(static_cast<qulonglong>(activeJob_->totalFrames));
        model->setValue(static_cast<qulonglong>(activeJob_->completedFrames));
        model->setProgressString(
            progressText(activeJob_->completedFrames, activeJob_->totalFrames));
        model->setMovieCreationInProgress(true);
    }
}

ExportResult<QUuid> ExportCoordinator::startExport(const ExportRequest& request) {
    assertMainThread();
    return start(request, false);
}

bool ExportCoordinator::draftWindowBlocks(bool fromDraftWindow) const {
    const auto* window = dynamic_cast<const DraftWindow*>(draftWindow_.data());
    const bool editing = window != nullptr && window->isEditingText();
    if (activeJob_) {
        return true;
    }
    if (draftModel_ && draftModel_->movieCreationInProgress()) {
        return true;
    }
    if (!fromDraftWindow && window != nullptr && (window->hasAttachedSheet() || editing)) {
        return true;
    }
    return false;
}

ExportResult<QUuid> ExportCoordinator::start(const ExportRequest& request, bool fromDraftWindow) {
    if (draftWindowBlocks(fromDraftWindow)) {
        return ExportError::busy();
    }

    // Leases before validation: a file the caller may not reach is reported as such, not
    // by what the validation happens to find out about it. A URL that names no local file
    // goes to the lease as a path that is not one, so the lease reports it in its own order.
    std::vector<fs::path> reading;
    reading.reserve(request.inputURLs.size());
    for (const QUrl& url : request.inputURLs) {
        reading.push_back(leasePath(url));
    }
    const auto origin = fromDraftWindow ? FileAccessManager::LeaseOrigin::userChoice
                                        : FileAccessManager::LeaseOrigin::automation;
    auto lease = files().lease(reading, {leasePath(request.outputURL)}, origin);
    if (!lease) {
        return lease.error();
    }
    if (auto invalid = validate(request)) {
        return *invalid;  // the lease goes with this scope
    }
    auto confinement = openConfinement(request);
    if (!confinement) {
        return confinement.failure();
    }

    const ExportSettings& settings = request.settings;
    auto* engine = new ImagesToMovie(this);
    QStringList paths;
    paths.reserve(static_cast<qsizetype>(request.inputURLs.size()));
    for (const QUrl& url : request.inputURLs) {
        paths.append(url.toLocalFile());
    }
    engine->setImagePaths(paths);
    engine->setFrameSize(
        QSizeF(static_cast<double>(settings.width), static_cast<double>(settings.height)));
    engine->setFrameRate(static_cast<qulonglong>(settings.frameRate));
    switch (settings.codec) {
        case ExportCodec::h264:
            engine->setCodec(codecType(kCodecH264));
            break;
        case ExportCodec::hevc:
            engine->setCodec(codecType(kCodecHEVC));
            break;
        case ExportCodec::prores422:
            engine->setCodec(codecType(kCodecProRes422));
            break;
    }
    switch (settings.quality) {
        case ExportQuality::standard:
            engine->setQualityMode(0);
            break;
        case ExportQuality::high:
            engine->setQualityMode(1);
            break;
        case ExportQuality::custom:
            engine->setQualityMode(2);
            break;
    }
    if (settings.customBitrateMbps) {
        // Validated to 0.1-50 Mbps; std::llround rounds halves away from zero.
        engine->setAverageBitRate(
            static_cast<qulonglong>(std::llround(*settings.customBitrateMbps * 1'000'000.0)));
    }
    engine->setAllowOverwrite(request.overwrite);
    engine->setConfinement(std::move(confinement).value());

    ExportJob job;
    job.id = QUuid::createUuid();
    job.state = ExportJobState::running;
    job.totalFrames = static_cast<std::int64_t>(request.inputURLs.size());
    job.settings = settings;
    job.outputURL = request.outputURL;
    const QUuid jobID = job.id;
    activeJob_ = std::move(job);
    encoder_ = engine;
    accessLease_ = std::move(lease).value();

    if (draftModel_) {
        draftModel_->setMinValue(0);
        draftModel_->setMaxValue(static_cast<qulonglong>(activeJob_->totalFrames));
        draftModel_->setValue(0);
        draftModel_->setProgressString(progressText(0, activeJob_->totalFrames));
        draftModel_->setMovieCreationInProgress(true);
    }

    // Queued: a value reaches the job after the engine's own work on the main thread, and one
    // that arrives after the job ended is dropped by the identifier check.
    progressObservation_ = connect(
        engine, &ImagesToMovie::valueChanged, this,
        [this, jobID](qulonglong value) { applyProgress(jobID, value); }, Qt::QueuedConnection);

    engine->createMovieAtPath(
        QString::fromStdString(localPath(request.outputURL)),
        [self = QPointer<ExportCoordinator>(this), jobID](std::optional<platform::Error> error) {
            if (self) {
                self->finish(jobID, std::move(error));
            }
        });
    emit activeJobChanged();
    return jobID;
}

ExportResult<ExportConfinement> ExportCoordinator::openConfinement(const ExportRequest& request) {
    using Kind = ExportFileSource::Kind;
    const ExportFileSource& source = request.fileSource;
    ExportConfinement confinement;
    if (source.kind == Kind::userPaths) {
        return confinement;
    }
    const bool fits =
        source.output.has_value() &&
        (source.kind != Kind::automation || source.inputs.size() == request.inputURLs.size());
    if (!fits) {
        return FileAccessError::invalidURL().toError();
    }
    // One descriptor per folder and purpose, however many files lie in it.
    std::map<std::pair<QUuid, bool>, SharedDirectory> opened;
    auto confine = [&](const FolderFileReference& reference,
                       bool forWriting) -> ExportResult<ConfinedFile> {
        if (auto invalid = FileAccessManager::checkRelativePath(reference.relativePath)) {
            return invalid->toError();
        }
        SharedDirectory& directory = opened[{reference.folderID, forWriting}];
        if (!directory) {
            auto folder = files().openFolder(reference.folderID, forWriting);
            if (!folder) {
                return folder.error();
            }
            directory = std::make_shared<const platform::OwnedFd>(std::move(folder).value());
        }
        return ConfinedFile{directory, reference.relativePath};
    };
    if (source.kind == Kind::automation) {
        confinement.images.reserve(source.inputs.size());
        for (const FolderFileReference& input : source.inputs) {
            auto image = confine(input, false);
            if (!image) {
                return image.failure();
            }
            confinement.images.push_back(std::move(image).value());
        }
    }
    auto movie = confine(*source.output, true);
    if (!movie) {
        return movie.failure();
    }
    confinement.movie = std::move(movie).value();
    return confinement;
}

std::optional<ExportError> ExportCoordinator::validate(const ExportRequest& request) {
    if (request.inputURLs.empty()) {
        return ExportError::invalid("Choose at least one image.");
    }
    for (std::size_t index = 0; index < request.inputURLs.size(); ++index) {
        const QUrl& url = request.inputURLs[index];
        const std::string number = std::to_string(index + 1);
        if (!isAbsoluteFileURL(url)) {
            return ExportError::invalid("Image " + number + " needs an absolute file URL.");
        }
        const std::string path = localPath(url);
        std::error_code failure;
        const fs::file_status status = fs::status(path, failure);
        if (!fs::exists(status) || fs::is_directory(status)) {
            return ExportError::invalid("Image " + number + " does not exist: " + path);
        }
    }
    if (!isAbsoluteFileURL(request.outputURL)) {
        return ExportError::invalid("Choose an absolute movie destination.");
    }
    const ExportSettings& settings = request.settings;
    if (settings.width < 1 || settings.width > 3840 || settings.height < 1 ||
        settings.height > 2160 || settings.frameRate < 1 || settings.frameRate > 30) {
        return ExportError::invalid(kMovieLimitsProblem);
    }
    // Refused here, in the settings' own words, rather than by the engine once the job runs.
    if (auto problem = platform::frameSizeProblem(videoCodecOf(settings.codec),
                                                  static_cast<int>(settings.width),
                                                  static_cast<int>(settings.height))) {
        return ExportError::invalid(*problem);
    }
    if (settings.codec == ExportCodec::prores422 && settings.quality == ExportQuality::custom) {
        return ExportError::invalid("ProRes 422 does not use a custom bit rate.");
    }
    if (settings.quality == ExportQuality::custom) {
        const auto& rate = settings.customBitrateMbps;
        // Written so that a rate that is not a number fails.
        if (!rate || !(*rate >= 0.1 && *rate <= 50.0)) {
            return ExportError::invalid("Custom bit rate must be 0.1–50 Mbps.");
        }
    } else if (settings.customBitrateMbps) {
        return ExportError::invalid("A custom bit rate requires Custom quality.");
    }
    const fs::path output(localPath(request.outputURL));
    std::string extension = output.extension().string();
    if (!extension.empty()) {
        extension.erase(0, 1);
    }
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string expected = settings.codec == ExportCodec::prores422 ? "mov" : "mp4";
    if (extension != expected) {
        return ExportError::invalid(std::string(rawValue(settings.codec)) + " movies need a ." +
                                    expected + " destination.");
    }
    std::error_code failure;
    if (!fs::is_directory(output.parent_path(), failure)) {
        return ExportError::invalid("The destination folder does not exist.");
    }
    // A dangling symbolic link is something at the destination as well.
    if (!request.overwrite && fs::exists(fs::symlink_status(output, failure))) {
        return ExportError::invalid(
            "The destination already exists. Choose a different name or allow overwrite.");
    }
    return std::nullopt;
}

void ExportCoordinator::applyProgress(const QUuid& jobID, qulonglong value) {
    if (!activeJob_ || activeJob_->id != jobID) {
        return;
    }
    ExportJob& job = *activeJob_;
    const auto total = static_cast<qulonglong>(job.totalFrames);
    const auto completed = static_cast<std::int64_t>(std::min(value, total));
    job.completedFrames = completed;
    job.progress = job.totalFrames > 0
                       ? static_cast<double>(completed) / static_cast<double>(job.totalFrames)
                       : 0.0;
    if (draftModel_) {
        draftModel_->setValue(static_cast<qulonglong>(completed));
        draftModel_->setProgressString(progressText(completed, job.totalFrames));
    }
    emit activeJobChanged();
}

void ExportCoordinator::finish(const QUuid& jobID, std::optional<platform::Error> error) {
    assertMainThread();
    if (!activeJob_ || activeJob_->id != jobID) {
        return;
    }
    QObject::disconnect(progressObservation_);
    progressObservation_ = {};

    ExportJob job = std::move(*activeJob_);
    if (error) {
        job.state = error->isUserCancelled() ? ExportJobState::cancelled : ExportJobState::failed;
        job.error = error->description;
    } else {
        job.state = ExportJobState::completed;
        job.completedFrames = job.totalFrames;
        job.progress = 1.0;
        job.error.reset();
    }
    recentJobs_.push_front(job);
    while (recentJobs_.size() > kRecentJobLimit) {
        recentJobs_.pop_back();
    }
    activeJob_.reset();

    if (draftModel_) {
        draftModel_->setValue(static_cast<qulonglong>(job.completedFrames));
        draftModel_->setMovieCreationInProgress(false);
    }

    // The engine is still on the stack (this runs inside its completion): delete it later.
    if (encoder_ != nullptr) {
        encoder_->deleteLater();
        encoder_ = nullptr;
    }
    accessLease_.reset();
    draftAccessLeases_.clear();

    emit recentJobsChanged();
    emit activeJobChanged();

    std::vector<WaitCompletion> resumed;
    if (auto entry = waiters_.find(jobID); entry != waiters_.end()) {
        resumed = std::move(entry->second);
        waiters_.erase(entry);
    }
    for (WaitCompletion& waiter : resumed) {
        if (error) {
            waiter(*error);
        } else {
            waiter(job.outputURL);
        }
    }
}

std::optional<ExportJob> ExportCoordinator::job(const std::optional<QUuid>& jobID) const {
    assertMainThread();
    if (!jobID) {
        if (activeJob_) {
            return activeJob_;
        }
        if (!recentJobs_.empty()) {
            return recentJobs_.front();
        }
        return std::nullopt;
    }
    if (activeJob_ && activeJob_->id == *jobID) {
        return activeJob_;
    }
    for (const ExportJob& recent : recentJobs_) {
        if (recent.id == *jobID) {
            return recent;
        }
    }
    return std::nullopt;
}

ExportResult<void> ExportCoordinator::cancelExport(const std::optional<QUuid>& jobID) {
    assertMainThread();
    if (!activeJob_ || (jobID && *jobID != activeJob_->id)) {
        return ExportError::unknownJob();
    }
    if (encoder_ != nullptr) {
        encoder_->cancel();
    }
    return {};
}

void ExportCoordinator::cancelActiveExport() {
    (void)cancelExport();
}

ExportWaitCancellation ExportCoordinator::wait(const QUuid& jobID, WaitCompletion completion) {
    assertMainThread();
    ExportWaitCancellation cancellation(QPointer<ExportCoordinator>(this), jobID);
    const std::optional<ExportJob> found = job(jobID);
    if (found && found->state == ExportJobState::completed) {
        completion(found->outputURL);
    } else if (found && found->state == ExportJobState::cancelled) {
        completion(ExportError::cancelled());
    } else if (found && found->state == ExportJobState::failed) {
        // A failure without words is still reported in a sentence.
        const bool hasText = found->error && !found->error->empty();
        completion(ExportError::invalid(hasText ? *found->error : kExportFailed));
    } else if (activeJob_ && activeJob_->id == jobID) {
        waiters_[jobID].push_back(std::move(completion));
    } else {
        completion(ExportError::unknownJob());
    }
    return cancellation;
}

void ExportCoordinator::prepareForTermination(std::function<void()> completion) {
    assertMainThread();
    if (!activeJob_) {
        completion();
        return;
    }
    const QUuid jobID = activeJob_->id;
    (void)cancelExport(jobID);
    wait(jobID, [completion = std::move(completion)](const ExportResult<QUrl>&) { completion(); });
}

void ExportCoordinator::exportDraft(const QUrl& destination, std::vector<FileAccessLeasePtr> leases,
                                    DraftCompletion completion) {
    assertMainThread();
    if (!draftModel_) {
        completion(ExportFailure(ExportError::invalid(kWindowUnavailable)).toError());
        return;
    }
    const ImagesToMovie& model = *draftModel_;

    ExportSettings settings;
    const QString codec = model.codec();
    if (codec == codecType(kCodecH264)) {
        settings.codec = ExportCodec::h264;
    } else if (codec == codecType(kCodecProRes422)) {
        settings.codec = ExportCodec::prores422;
    } else {
        settings.codec = ExportCodec::hevc;
    }
    const bool modelCustom = model.qualityMode() == 2;
    if (settings.codec == ExportCodec::prores422) {
        settings.quality = ExportQuality::high;
    } else if (model.qualityMode() == 0) {
        settings.quality = ExportQuality::standard;
    } else if (modelCustom) {
        settings.quality = ExportQuality::custom;
    } else {
        settings.quality = ExportQuality::high;
    }
    if (modelCustom && settings.codec != ExportCodec::prores422) {
        settings.customBitrateMbps = static_cast<double>(model.averageBitRate()) / 1'000'000.0;
    }
    settings.width = truncatedDimension(model.frameSize().width());
    settings.height = truncatedDimension(model.frameSize().height());
    settings.frameRate = static_cast<std::int64_t>(
        std::min<qulonglong>(model.frameRate(), std::numeric_limits<std::int64_t>::max()));

    ExportRequest request;
    const QStringList paths = model.imagePaths();
    request.inputURLs.reserve(static_cast<std::size_t>(paths.size()));
    for (const QString& path : paths) {
        request.inputURLs.push_back(QUrl::fromLocalFile(path));
    }
    request.outputURL = destination;
    request.settings = settings;
    request.overwrite = true;

    auto started = start(request, true);
    if (!started) {
        completion(started.failure().toError());
        return;
    }
    draftAccessLeases_ = std::move(leases);
    wait(started.value(), [completion = std::move(completion)](const ExportResult<QUrl>& outcome) {
        if (outcome) {
            completion(std::nullopt);
        } else {
            completion(outcome.failure().toError());
        }
    });
}

ImagesToMovie* ExportCoordinator::TEST_activeEngine() const {
    return encoder_;
}

void ExportCoordinator::TEST_endActiveJob(std::optional<platform::Error> error) {
    if (activeJob_) {
        finish(activeJob_->id, std::move(error));
    }
}

}  // namespace fw
