#include "app/export/ImagesToMovie.h"

#include <QMetaObject>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "app/export/ExportDestination.h"
#include "app/export/FramePipeline.h"
#include "app/render/MovieSource.h"
#include "platform/AtomicMove.h"
#include "platform/EncoderProbe.h"
#include "platform/MovieWriter.h"
#include "platform/PosixError.h"
#include "platform/SystemLog.h"
#include "platform/TemporarySpace.h"

namespace fw {

using platform::Error;

namespace {

constexpr const char* kAlreadyInProgress = "A movie export is already in progress.";
constexpr const char* kInvalidPath = "Every input image must have a valid file path.";
constexpr const char* kInvalidSettings =
    "Choose input images, an absolute destination, movie dimensions up to 3840 × 2160, "
    "1–30 fps, and a supported codec and quality. Custom bit rate must be 0.1–50 Mbps.";
constexpr const char* kNoRenderer = "The movie frame renderer could not be created.";
constexpr const char* kNoTemporarySpace =
    "Temporary space could not be created on the destination volume.";
constexpr const char* kDestinationExists =
    "A movie already exists at the destination. Enable overwrite to replace it.";
constexpr const char* kMoveFailed = "The completed movie could not be moved to its destination.";

// The line logged for an export that failed: the movie, the failure as shown, and every
// failure underneath it (the library's own code and text), so that a report says why.
std::string failureLogLine(const std::string& destination, const Error& error) {
    std::string line =
        "Frameweaver could not export the movie “" + destination + "”: " + error.description;
    for (auto under = error.underlying; under; under = under->underlying) {
        line += " Underlying error (" + under->domain + " " + std::to_string(under->code) +
                "): " + under->description;
    }
    return line;
}

constexpr double kMaxWidth = 3840;
constexpr double kMaxHeight = 2160;
constexpr qulonglong kMaxFrameRate = 30;
constexpr qulonglong kMinAverageBitRate = 100'000;
constexpr qulonglong kMaxAverageBitRate = 50'000'000;

Error exportError(std::string text, std::optional<Error> underlying = std::nullopt) {
    return exportEngineError(std::move(text), std::move(underlying));
}

bool isWholeInRange(double value, double max) {
    return std::isfinite(value) && value >= 1 && value <= max && std::floor(value) == value;
}

std::optional<platform::VideoCodec> videoCodecFor(const QString& codec) {
    const QByteArray bytes = codec.toUtf8();
    return platform::videoCodecForType(
        std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

}  // namespace

// One export's snapshot of the settings, shared by its thread and the calls it posts back.
// Its address is the export's identity token.
struct ImagesToMovie::Export {
    std::vector<std::string> paths;
    platform::MovieSettings settings;
    std::string codec;  // the codec string the renderers are made for
    std::filesystem::path destination;
    ExportConfinement confinement;
    bool overwrite = true;
    Completion completion;  // touched on the object's thread only
};

struct ImagesToMovie::ExportControl {
    std::mutex mutex;
    // State below is protected by mutex.
    const Export* active = nullptr;  // the export in progress
    bool cancelRequested = false;
    // The running export can still be cancelled: from its start until its movie has been
    // moved into place or it ended.
    bool cancellable = false;
    std::function<void(MoveStage)> moveHook;
    platform::FileSystemCalls calls = platform::FileSystemCalls::system();
};

ImagesToMovie::ImagesToMovie(QObject* parent)
    : QObject(parent), control_(std::make_unique<ExportControl>()) {}

ImagesToMovie::~ImagesToMovie() {
    cancel();
    if (thread_.joinable())
        thread_.join();
}

void ImagesToMovie::createMovieAtPath(const QString& destination, Completion completion) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this,
            [this, destination, completion = std::move(completion)]() mutable {
                createMovieAtPath(destination, std::move(completion));
            },
            Qt::QueuedConnection);
        return;
    }
    startOnOwnThread(destination, std::move(completion));
}

void ImagesToMovie::refuse(Error error, Completion completion) {
    QMetaObject::invokeMethod(
        this,
        [error = std::move(error), completion = std::move(completion)] {
            if (completion)
                completion(error);
        },
        Qt::QueuedConnection);
}

void ImagesToMovie::startOnOwnThread(const QString& destination, Completion completion) {
    {
        std::lock_guard lock(control_->mutex);
        if (movieCreationInProgress_ || control_->active != nullptr) {
            refuse(exportError(kAlreadyInProgress), std::move(completion));
            return;
        }
    }

    auto run = std::make_shared<Export>();
    std::optional<Error> invalid;
    for (const QString& path : imagePaths_) {
        if (path.isEmpty()) {
            invalid = exportError(kInvalidPath);
            break;
        }
        run->paths.push_back(path.toStdString());
    }

    const double width = frameSize_.width();
    const double height = frameSize_.height();
    const auto codec = videoCodecFor(codec_);
    const bool proRes = codec == platform::VideoCodec::kProRes422;
    const auto qualityMode = static_cast<qulonglong>(qualityMode_);
    const bool valid =
        !run->paths.empty() && destination.startsWith(QLatin1Char('/')) &&
        isWholeInRange(width, kMaxWidth) && isWholeInRange(height, kMaxHeight) && frameRate_ >= 1 &&
        frameRate_ <= kMaxFrameRate && codec.has_value() && (proRes || qualityMode < 3) &&
        (proRes || qualityMode != 2 ||
         (averageBitRate_ >= kMinAverageBitRate && averageBitRate_ <= kMaxAverageBitRate));
    const auto& images = confinement_.images;
    const bool confinementFits =
        images.empty() || (!invalid && images.size() == run->paths.size() &&
                           std::all_of(images.begin(), images.end(), [](const ConfinedFile& f) {
                               return f.directory != nullptr;
                           }));
    if (!valid || !confinementFits) {
        invalid = exportError(kInvalidSettings);
    } else if (auto problem = platform::frameSizeProblem(*codec, static_cast<int>(width),
                                                         static_cast<int>(height))) {
        // H.264 and HEVC sample colour at half resolution and cannot take an odd size; say
        // so now rather than failing deep in the encoder.
        invalid = exportError(*problem);
    }
    if (invalid) {
        refuse(std::move(*invalid), std::move(completion));
        return;
    }

    run->settings.codec = *codec;
    run->settings.width = static_cast<int>(width);
    run->settings.height = static_cast<int>(height);
    run->settings.frameRate = static_cast<int>(frameRate_);
    run->settings.qualityMode = proRes ? platform::kQualityHigh : static_cast<int>(qualityMode);
    run->settings.averageBitRate = averageBitRate_;
    run->codec = codec_.toStdString();
    run->destination = destination.toStdString();
    run->confinement = confinement_;
    run->overwrite = allowOverwrite_;
    run->completion = std::move(completion);

    if (thread_.joinable())
        thread_.join();  // the last export has ended; its thread is done
    {
        std::lock_guard lock(control_->mutex);
        control_->active = run.get();
        control_->cancelRequested = false;
        control_->cancellable = true;
    }
    setMinValue(0);
    setMaxValue(run->paths.size());
    setValue(0);
    setProgressString(QStringLiteral("0 of %1, %2")
                          .arg(run->paths.size())
                          .arg(QString::fromStdString(lastPathComponent(run->paths.front()))));
    setMovieCreationInProgress(true);
    thread_ = std::thread([this, run] { runExport(run); });
}

void ImagesToMovie::cancel() {
    std::lock_guard lock(control_->mutex);
    if (control_->cancellable)
        control_->cancelRequested = true;
}

bool ImagesToMovie::isCancelled(const Export& run) const {
    std::lock_guard lock(control_->mutex);
    return control_->active == &run && control_->cancelRequested;
}

void ImagesToMovie::runExport(const std::shared_ptr<Export>& run) {
    ExportDestination destination;
    std::optional<platform::TemporarySpace> space;
    std::vector<std::unique_ptr<MovieFrameRenderer>> renderers;
    std::unique_ptr<platform::MovieWriter> writer;
    platform::FileSystemCalls calls;
    {
        std::lock_guard lock(control_->mutex);
        calls = control_->calls;
    }

    const auto work = [&]() -> std::optional<Error> {
        if (isCancelled(*run))
            return Error::userCancelled();
        if (auto error = openDestination(run->destination, run->confinement.movie, run->overwrite,
                                         destination)) {
            return error;
        }

        // What an export that ended in a crash left in this folder goes now.
        platform::removeStaleTemporarySpaces(destination.folder.get());
        Error spaceError;
        space = platform::TemporarySpace::create(destination.folder.get(), destination.name,
                                                 spaceError);
        if (!space)
            return exportError(kNoTemporarySpace, std::move(spaceError));
        const char* const movieName = platform::movieFileName(run->settings.codec);

        const std::size_t workers =
            std::min(FramePipeline::defaultWorkerCount(), run->paths.size());
        const FrameSize frameSize{static_cast<double>(run->settings.width),
                                  static_cast<double>(run->settings.height)};
        for (std::size_t i = 0; i < workers; ++i) {
            auto renderer = MovieFrameRenderer::create(frameSize, run->codec);
            if (!renderer)
                return exportError(kNoRenderer);
            renderers.push_back(std::move(renderer));
        }
        if (isCancelled(*run))
            return Error::userCancelled();

        if (auto error = platform::probeEncoder(run->settings))
            return error;
        if (isCancelled(*run))
            return Error::userCancelled();

        Error writerError;
        writer = platform::MovieWriter::open(space->path() / movieName, run->settings, writerError);
        if (!writer)
            return writerError;

        FramePipelineStages stages;
        stages.acquire = [&writer](Error& error) { return writer->makeBuffer(error); };
        stages.render = [&](std::size_t worker, std::size_t index,
                            platform::PixelBuffer& buffer) -> std::optional<Error> {
            const std::string& path = run->paths[index];
            if (run->confinement.images.empty())
                return renderers[worker]->renderImageAtPath(path, &buffer);
            // Read through a descriptor opened beneath the image's folder: the renderer's
            // path names that very file, whatever happens to its name meanwhile.
            platform::OwnedFd file;
            if (auto error = openConfinedImage(run->confinement.images[index], path, file))
                return error;
            const std::string shown = descriptorPath(file.get());
            if (auto error = renderers[worker]->renderImageAtPath(shown, &buffer))
                return renamedImageError(std::move(*error), shown, path);
            return std::nullopt;
        };
        stages.consume =
            [&](std::size_t index,
                std::shared_ptr<platform::PixelBuffer> buffer) -> std::optional<Error> {
            if (auto error = writer->append(*buffer, static_cast<std::int64_t>(index))) {
                return error;
            }
            buffer.reset();  // back to the pool before the next frame
            postProgress(run, index + 1);
            return std::nullopt;
        };
        stages.cancelled = [&] { return isCancelled(*run); };
        if (auto error = FramePipeline::run(run->paths.size(), workers,
                                            FramePipeline::defaultWindow(workers), stages)) {
            return error;
        }
        if (isCancelled(*run))
            return Error::userCancelled();
        if (auto error = writer->finish())
            return error;

        // The data goes to disk before the lock is taken: on a slow disk that takes long,
        // and a Cancel or Quit meanwhile must not wait for it.
        if (isCancelled(*run))
            return Error::userCancelled();
        if (const int error = platform::flushFileToDisk(space->directoryFd(), movieName, calls))
            return exportError(kMoveFailed, platform::posixError(error));

        // The rename is the last step. Holding the lock across it (and only it) means a
        // cancel either comes first (and nothing is moved) or finds the export no longer
        // cancellable.
        std::function<void(MoveStage)> hook;
        {
            std::lock_guard lock(control_->mutex);
            hook = control_->moveHook;
        }
        if (hook)
            hook(MoveStage::beforeMove);
        std::optional<Error> moveError;
        {
            std::lock_guard lock(control_->mutex);
            if (control_->cancelRequested) {
                moveError = Error::userCancelled();
            } else {
                const int error = platform::renameIntoPlace(
                    space->directoryFd(), movieName, destination.folder.get(),
                    destination.name.c_str(), run->overwrite, calls);
                if (error == EEXIST) {
                    moveError = exportError(kDestinationExists, platform::posixError(error));
                } else if (error != 0) {
                    moveError = exportError(kMoveFailed, platform::posixError(error));
                }
            }
            control_->cancellable = false;
        }
        if (hook)
            hook(MoveStage::afterMove);
        if (!moveError) {
            // The new name made durable, again without the lock.
            platform::flushDirectoryToDisk(destination.folder.get(),
                                           run->destination.parent_path().native(), calls);
        }
        return moveError;
    };

    std::optional<Error> error = work();
    {
        std::lock_guard lock(control_->mutex);
        // A failure that follows a cancel request is the cancellation the user asked for.
        if (control_->cancellable && control_->cancelRequested)
            error = Error::userCancelled();
        control_->cancellable = false;
    }
    if (error && !error->isUserCancelled()) {
        platform::systemLog(platform::SystemLogLevel::kError,
                            failureLogLine(run->destination.string(), *error));
    }
    if (error && writer)
        writer->cancel();
    if (space)
        space->remove();
    renderers.clear();
    writer.reset();
    postFinish(run, std::move(error));
}

void ImagesToMovie::postProgress(const std::shared_ptr<Export>& run, std::size_t written) {
    QMetaObject::invokeMethod(
        this,
        [this, run, written] {
            {
                std::lock_guard lock(control_->mutex);
                if (control_->active != run.get())
                    return;
            }
            const QString next =
                written < run->paths.size()
                    ? QString::fromStdString(lastPathComponent(run->paths[written]))
                    : QString();
            setValue(written);
            setProgressString(
                QStringLiteral("%1 of %2, %3").arg(written).arg(run->paths.size()).arg(next));
        },
        Qt::QueuedConnection);
}

void ImagesToMovie::postFinish(const std::shared_ptr<Export>& run, std::optional<Error> error) {
    QMetaObject::invokeMethod(
        this,
        [this, run, error = std::move(error)] {
            {
                std::lock_guard lock(control_->mutex);
                if (control_->active != run.get())
                    return;
                control_->active = nullptr;
            }
            setMovieCreationInProgress(false);
            Completion completion = std::move(run->completion);
            if (completion)
                completion(error);
        },
        Qt::QueuedConnection);
}

void ImagesToMovie::setConfinement(ExportConfinement confinement) {
    confinement_ = std::move(confinement);
}

void ImagesToMovie::TEST_setMoveHook(std::function<void(MoveStage)> hook) {
    std::lock_guard lock(control_->mutex);
    control_->moveHook = std::move(hook);
}

void ImagesToMovie::TEST_setFileSystemCalls(const platform::FileSystemCalls& calls) {
    std::lock_guard lock(control_->mutex);
    control_->calls = calls;
}

QSizeF ImagesToMovie::resizeOriginal(QSizeF original, QSizeF target, bool withTolerance) {
    const double values[] = {original.width(), original.height(), target.width(), target.height()};
    for (double value : values) {
        if (!std::isfinite(value) || value <= 0)
            return QSizeF(0, 0);
    }
    const double ratio = original.width() / original.height();
    const double tolerance = withTolerance ? 0.005 : 0;
    if (target.height() * ratio <= target.width()) {
        double width = std::round(target.height() * ratio);
        if ((target.width() - width) / target.width() < tolerance)
            width = target.width();
        return QSizeF(width, target.height());
    }
    double height = std::round(target.width() / ratio);
    if ((target.height() - height) / target.height() < tolerance)
        height = target.height();
    return QSizeF(target.width(), height);
}

// Setters: each stores a changed value and announces it; an unchanged value is not announced.
#define FW_SETTER(Name, field, Type, signal)  \
    void ImagesToMovie::Name(Type newValue) { \
        if (field == newValue)                \
            return;                           \
        field = newValue;                     \
        emit signal(field);                   \
    }

FW_SETTER(setMovieCreationInProgress, movieCreationInProgress_, bool,
          movieCreationInProgressChanged)
FW_SETTER(setAllowOverwrite, allowOverwrite_, bool, allowOverwriteChanged)
FW_SETTER(setMinValue, minValue_, qulonglong, minValueChanged)
FW_SETTER(setMaxValue, maxValue_, qulonglong, maxValueChanged)
FW_SETTER(setValue, value_, qulonglong, valueChanged)
FW_SETTER(setProgressString, progressString_, const QString&, progressStringChanged)
FW_SETTER(setImagePaths, imagePaths_, const QStringList&, imagePathsChanged)
FW_SETTER(setFrameRate, frameRate_, qulonglong, frameRateChanged)
FW_SETTER(setAverageBitRate, averageBitRate_, qulonglong, averageBitRateChanged)
FW_SETTER(setQualityMode, qualityMode_, qlonglong, qualityModeChanged)
FW_SETTER(setCodec, codec_, const QString&, codecChanged)
FW_SETTER(setFrameSize, frameSize_, QSizeF, frameSizeChanged)

#undef FW_SETTER

}  // namespace fw
