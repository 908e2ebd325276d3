#include "app/actions/ExportMovieAction.h"

#include <utility>

#include "app/actions/Identifiers.h"
#include "app/folders/FileAccessManager.h"
#include "platform/AccessGrants.h"

namespace fw::actions {

namespace fs = std::filesystem;

namespace {

// The text after the last "." of the last path component; empty when there is none (a
// leading dot starts a hidden name, not an extension).
std::string_view pathExtension(std::string_view path) {
    const auto slash = path.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const auto dot = last.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return {};
    }
    return last.substr(dot + 1);
}

}  // namespace

std::string ExportMovieAction::outputFileName(const std::string& filename, ExportCodec codec) {
    if (!pathExtension(filename).empty()) {
        return filename;
    }
    return filename + (codec == ExportCodec::prores422 ? ".mov" : ".mp4");
}

ExportMovieAction::ExportMovieAction(Services services, ExportMovieParameters parameters,
                                     QObject* parent)
    : QObject(parent), services_(services), parameters_(std::move(parameters)) {
    poller_.setSingleShot(true);
    poller_.setInterval(kProgressInterval);
    connect(&poller_, &QTimer::timeout, this, &ExportMovieAction::poll);
}

ExportMovieAction::~ExportMovieAction() {
    if (!finished_) {
        waitCancellation_.cancel();
        copyCancelled_->store(true);
    }
    withdrawGrants();
}

void ExportMovieAction::perform(Completion completion) {
    completion_ = std::move(completion);
    auto started = start();
    if (!started) {
        finish(started.failure());
        return;
    }
    jobID_ = started.value();
    total_ = static_cast<std::int64_t>(parameters_.images.size());
    emit progressChanged(completed_, total_);
    poll();
    QPointer<ExportMovieAction> self(this);
    waitCancellation_ =
        services_.coordinator.wait(*jobID_, [self](ExportResult<QUrl> outcome) {
            if (self) {
                self->exportEnded(std::move(outcome));
            }
        });
}

ExportResult<QUuid> ExportMovieAction::start() {
    ExportRequest request;
    request.settings = {parameters_.width,  parameters_.height,
                        parameters_.frameRate, parameters_.codec,
                        parameters_.quality, parameters_.customBitrateMbps};
    request.inputURLs.reserve(parameters_.images.size());
    for (std::size_t index = 0; index < parameters_.images.size(); ++index) {
        const std::string& image = parameters_.images[index];
        if (image.empty() || image.front() != '/' || image.find('\0') != std::string::npos) {
            return ExportError::invalid("Image " + std::to_string(index + 1) +
                                        " must be a file supplied to Shortcuts.");
        }
        request.inputURLs.push_back(QUrl::fromLocalFile(QString::fromStdString(image)));
    }
    const auto folderID = parseIdentifier(parameters_.folder);
    if (!folderID) {
        return ExportError::invalid("Choose an authorized output folder.");
    }
    const std::string name = outputFileName(parameters_.filename, parameters_.codec);

    auto output = services_.files.resolve(*folderID, name, true);
    if (!output) {
        return output.error();
    }
    // The finished movie is copied from beneath this descriptor, whatever happens to the
    // folder's path meanwhile.
    auto folder = services_.files.openFolder(*folderID, false);
    if (!folder) {
        return folder.error();
    }
    // Held until the action ends, so the finished movie can still be read for the copy after
    // the coordinator has let go of its own leases.
    auto lease = services_.files.lease({output.value()}, {});
    if (!lease) {
        return lease.error();
    }
    lease_ = std::move(lease).value();

    // The images are files the caller handed over for this export, reached by their paths:
    // granted while its job runs, and not at all when it is refused.
    for (const QUrl& image : request.inputURLs) {
        granted_.push_back(image.toLocalFile().toStdString());
        services_.grants.grant(granted_.back());
    }
    request.outputURL = QUrl::fromLocalFile(QString::fromStdString(output.value().string()));
    request.overwrite = parameters_.overwrite;
    request.fileSource = ExportFileSource::scriptedAction({*folderID, name});
    auto started = services_.coordinator.startExport(request);
    if (!started) {
        withdrawGrants();
        return started;
    }
    outputFolder_ = std::make_shared<const platform::OwnedFd>(std::move(folder).value());
    outputName_ = name;
    return started;
}

void ExportMovieAction::withdrawGrants() {
    for (const fs::path& image : std::exchange(granted_, {})) {
        services_.grants.withdraw(image);
    }
}

void ExportMovieAction::poll() {
    if (finished_ || !jobID_) {
        return;
    }
    const auto job = services_.coordinator.job(*jobID_);
    setCompleted(job ? job->completedFrames : 0);
    if (job && job->state == ExportJobState::running) {
        poller_.start();
    }
}

void ExportMovieAction::setCompleted(std::int64_t completed) {
    if (completed != completed_) {
        completed_ = completed;
        emit progressChanged(completed_, total_);
    }
}

void ExportMovieAction::cancel() {
    waitCancellation_.cancel();
    copyCancelled_->store(true);
}

void ExportMovieAction::exportEnded(ExportResult<QUrl> outcome) {
    withdrawGrants();  // the job has ended: its images are not read any more
    if (!outcome) {
        finish(outcome.failure());
        return;
    }
    const fs::path movie = outcome.value().toLocalFile().toStdString();
    const fs::path copy = services_.copies.folder().copyPath(pathExtension(movie.string()));
    MovieFile file{copy, movie.filename().string(),
                   parameters_.codec == ExportCodec::prores422 ? "video/quicktime" : "video/mp4"};
    // The copy may be large: it is made off the main thread, and its end comes back here.
    QPointer<ExportMovieAction> self(this);
    services_.copies.start(outputFolder_, outputName_, copy, copyCancelled_, this,
                           [self, file = std::move(file)](std::optional<platform::Error> error) {
                               if (!self) {
                                   return;
                               }
                               if (error) {
                                   self->finish(*error);
                               } else {
                                   self->finish(file);
                               }
                           });
}

void ExportMovieAction::finish(ExportResult<MovieFile> outcome) {
    if (finished_) {
        return;
    }
    finished_ = true;
    poller_.stop();
    if (outcome.ok()) {
        setCompleted(total_);
    }
    lease_.reset();
    withdrawGrants();
    if (auto completion = std::exchange(completion_, nullptr)) {
        completion(std::move(outcome));
    }
}

}  // namespace fw::actions
