// ExportMovieAction: the scripted action "Export Movie". It takes image files its caller
// hands over, an authorized output folder, a file name and the movie settings; starts one
// export through the export coordinator; reports progress while the movie is written
// (sampled every 0.2 seconds); and hands back a copy of the finished movie, kept in the
// application's own copy folder as "Frameweaver-<UUID>.<extension>" and carrying the movie's
// own file name. The movie itself stays in the authorized folder; the copy is read from
// beneath the folder's descriptor, opened when the export was accepted.
//
// The image files handed over are granted for the export while its job runs: from just
// before the export is started (withdrawn at once when it is refused) until the job ends.
//
// One object runs the action once. Thread-safety: a QObject of the main thread (the thread
// of the coordinator and the folder store); every member is called there. The copy of the
// finished movie is made on a worker thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUuid>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/actions/MovieCopies.h"
#include "app/coordinator/ExportCoordinator.h"
#include "app/export/ExportConfinement.h"
#include "app/export/ExportModel.h"
#include "app/folders/FileAccessLease.h"

namespace fw {
class FileAccessManager;
namespace platform {
class AccessGrants;
}
}  // namespace fw

namespace fw::actions {

// The action's parameters, with their defaults. Width, height, images, folder and file name
// have none.
struct ExportMovieParameters {
    // The image files handed over, in movie order: absolute paths the caller can read.
    std::vector<std::string> images;
    std::string folder;  // a MovieFolderEntity's identifier
    std::string filename;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t frameRate = 30;
    ExportCodec codec = ExportCodec::hevc;
    ExportQuality quality = ExportQuality::high;
    std::optional<double> customBitrateMbps;
    bool overwrite = false;
};

// How a parameter is presented: its key, its title and its default (empty: none).
struct ActionParameter {
    std::string_view key;
    std::string_view title;
    std::string_view defaultValue;
};

// What the action hands back: the copy, the movie's own file name and its content type.
struct MovieFile {
    std::filesystem::path url;
    std::string filename;
    std::string contentType;  // "video/quicktime" for ProRes 422, else "video/mp4"
    bool removedOnCompletion = true;
};

class ExportMovieAction : public QObject {
    Q_OBJECT

public:
    static constexpr std::string_view kTitle = "Export Movie";
    static constexpr std::string_view kDescription =
        "Create a movie from images in the supplied order.";
    // The sentence a script shows for the action; the rest of the parameters form its table.
    static constexpr std::string_view kParameterSummary =
        "Export ${images} to ${folder} as ${filename}";
    static constexpr std::array<ActionParameter, 10> kParameters{{
        {"images", "Images", ""},
        {"folder", "Output Folder", ""},
        {"filename", "Filename", ""},
        {"width", "Width", ""},
        {"height", "Height", ""},
        {"frameRate", "Frame Rate", "30"},
        {"codec", "Codec", "hevc"},
        {"quality", "Quality", "high"},
        {"customBitrateMbps", "Custom Bit Rate (Mbps)", ""},
        {"overwrite", "Overwrite Existing Movie", "false"},
    }};
    // How often the progress is sampled while the movie is written.
    static constexpr std::chrono::milliseconds kProgressInterval{200};

    struct Services {
        FileAccessManager& files;
        ExportCoordinator& coordinator;
        // Makes the copy of the finished movie.
        MovieCopies& copies;
        // Where the handed-over images are registered as reachable.
        platform::AccessGrants& grants;
    };

    using Completion = std::function<void(ExportResult<MovieFile>)>;

    // The file name the movie gets: `filename` unchanged when its last component has an
    // extension, else with ".mov" (ProRes 422) or ".mp4" (H.264, HEVC) appended.
    static std::string outputFileName(const std::string& filename, ExportCodec codec);

    ExportMovieAction(Services services, ExportMovieParameters parameters,
                      QObject* parent = nullptr);
    // A still running export, or copy, is asked to stop.
    ~ExportMovieAction() override;

    // Runs the action; `completion` is called once, before `perform` returns when the action
    // fails before its export started.
    void perform(Completion completion);
    // The caller gave up: asks the export, or the copy of its movie, to stop (nothing to stop
    // before it started). The action then fails with the user-cancelled error.
    void cancel();

    // The export's job, once started.
    const std::optional<QUuid>& jobID() const { return jobID_; }
    std::int64_t totalUnitCount() const { return total_; }
    std::int64_t completedUnitCount() const { return completed_; }

signals:
    // The completed or total unit count changed.
    void progressChanged(qint64 completed, qint64 total);

private:
    ExportResult<QUuid> start();
    void poll();
    void setCompleted(std::int64_t completed);
    void exportEnded(ExportResult<QUrl> outcome);
    void finish(ExportResult<MovieFile> outcome);
    void withdrawGrants();

    Services services_;
    ExportMovieParameters parameters_;
    Completion completion_;
    FileAccessLeasePtr lease_;
    // The output folder, opened when the export was accepted, and the movie's path inside.
    SharedDirectory outputFolder_;
    std::string outputName_;
    // The images granted for this export, each once per grant.
    std::vector<std::filesystem::path> granted_;
    MovieCopies::CancelSwitch copyCancelled_ = std::make_shared<std::atomic<bool>>(false);
    std::optional<QUuid> jobID_;
    ExportWaitCancellation waitCancellation_;
    QTimer poller_;
    std::int64_t total_ = 0;
    std::int64_t completed_ = 0;
    bool finished_ = false;
};

}  // namespace fw::actions
