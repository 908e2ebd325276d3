// ImagesToMovie: the export engine. It holds the movie settings and the progress of an
// export as observable properties and writes one movie from an ordered list of image
// paths: it checks the settings and the destination, renders the frames on a pool of
// worker threads, encodes them in order into temporary space beside the destination, and
// only when the movie is complete moves it into place, so an earlier file at the
// destination survives any failure or cancellation.
//
// The main window keeps one long-lived instance as the model of its settings and progress
// display; that one is never started. The export coordinator makes a fresh instance for
// every export.
//
// Thread-safety: a QObject of the thread that made it (the Qt main thread). Properties are
// read and written there, change signals and the completion are delivered there; the work
// runs on threads of its own. `cancel()` may be called from any thread.
#pragma once

#include <QObject>
#include <QSizeF>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "app/export/ExportConfinement.h"
#include "app/render/MovieFrameRenderer.h"  // kCodecH264, kCodecHEVC, kCodecProRes422
#include "platform/AtomicMove.h"
#include "platform/Error.h"

namespace fw {

class ImagesToMovie : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool movieCreationInProgress READ movieCreationInProgress WRITE
                   setMovieCreationInProgress NOTIFY movieCreationInProgressChanged)
    Q_PROPERTY(bool allowOverwrite READ allowOverwrite WRITE setAllowOverwrite NOTIFY
                   allowOverwriteChanged)
    Q_PROPERTY(qulonglong minValue READ minValue WRITE setMinValue NOTIFY minValueChanged)
    Q_PROPERTY(qulonglong maxValue READ maxValue WRITE setMaxValue NOTIFY maxValueChanged)
    Q_PROPERTY(qulonglong value READ value WRITE setValue NOTIFY valueChanged)
    Q_PROPERTY(QString progressString READ progressString WRITE setProgressString NOTIFY
                   progressStringChanged)
    Q_PROPERTY(QStringList imagePaths READ imagePaths WRITE setImagePaths NOTIFY imagePathsChanged)
    Q_PROPERTY(qulonglong frameRate READ frameRate WRITE setFrameRate NOTIFY frameRateChanged)
    Q_PROPERTY(qulonglong averageBitRate READ averageBitRate WRITE setAverageBitRate NOTIFY
                   averageBitRateChanged)
    Q_PROPERTY(
        qlonglong qualityMode READ qualityMode WRITE setQualityMode NOTIFY qualityModeChanged)
    Q_PROPERTY(QString codec READ codec WRITE setCodec NOTIFY codecChanged)
    Q_PROPERTY(QSizeF frameSize READ frameSize WRITE setFrameSize NOTIFY frameSizeChanged)

public:
    // Called once per `createMovieAtPath` on the object's thread: nothing on success, the
    // failure otherwise (`platform::Error::userCancelled()` when the user cancelled).
    using Completion = std::function<void(std::optional<platform::Error>)>;

    explicit ImagesToMovie(QObject* parent = nullptr);
    // Cancels a running export and waits for its threads; its completion is not called.
    ~ImagesToMovie() override;

    ImagesToMovie(const ImagesToMovie&) = delete;
    ImagesToMovie& operator=(const ImagesToMovie&) = delete;

    // Starts an export of the current settings to the absolute path `destination` and
    // returns at once. The completion (may be empty) comes later on the object's thread,
    // also for a refusal at the start. Called from another thread, the call is re-posted
    // to the object's thread unchanged.
    void createMovieAtPath(const QString& destination, Completion completion);

    // Asks the running export to stop; it ends with the user-cancelled error. Does nothing
    // once the movie has been moved into place or when no export runs. Any thread.
    void cancel();

    // The largest size of `original`'s aspect ratio inside `target`; with the tolerance on,
    // a side within half a percent of the target's is snapped to it. A zero size when any
    // dimension is not finite or not positive.
    static QSizeF resizeOriginal(QSizeF original, QSizeF target, bool withTolerance);

    // True while an export runs.
    bool movieCreationInProgress() const { return movieCreationInProgress_; }
    void setMovieCreationInProgress(bool inProgress);
    // Whether an existing regular file at the destination may be replaced. Default true.
    bool allowOverwrite() const { return allowOverwrite_; }
    void setAllowOverwrite(bool allow);
    // Progress: always 0, the running export's frame count, and frames written so far.
    qulonglong minValue() const { return minValue_; }
    void setMinValue(qulonglong value);
    qulonglong maxValue() const { return maxValue_; }
    void setMaxValue(qulonglong value);
    qulonglong value() const { return value_; }
    void setValue(qulonglong value);
    // "<frames written> of <frame count>, <next file name>"; null until an export starts.
    QString progressString() const { return progressString_; }
    void setProgressString(const QString& text);
    // Absolute paths of the images, in movie order.
    QStringList imagePaths() const { return imagePaths_; }
    void setImagePaths(const QStringList& paths);
    // Frames per second. Default 30.
    qulonglong frameRate() const { return frameRate_; }
    void setFrameRate(qulonglong rate);
    // Average bit rate in bits per second, used only with quality mode 2. Default 20,000,000.
    qulonglong averageBitRate() const { return averageBitRate_; }
    void setAverageBitRate(qulonglong bitsPerSecond);
    // 0 standard, 1 high, 2 custom bit rate. Default 1.
    qlonglong qualityMode() const { return qualityMode_; }
    void setQualityMode(qlonglong mode);
    // kCodecH264, kCodecHEVC or kCodecProRes422. Default kCodecHEVC.
    QString codec() const { return codec_; }
    void setCodec(const QString& codec);
    // Movie frame size in pixels. Default 1080 × 720.
    QSizeF frameSize() const { return frameSize_; }
    void setFrameSize(QSizeF size);

    // Where the next exports reach their files (ExportConfinement.h); by default nowhere but
    // the paths as given. When images are listed there must be one for every image path; the
    // paths then only name the images in progress texts and errors. Not observable.
    const ExportConfinement& confinement() const { return confinement_; }
    void setConfinement(ExportConfinement confinement);

    // Test hook: called on the export thread just before and just after the finished movie
    // is moved into place (after its data was flushed to disk).
    enum class MoveStage { beforeMove, afterMove };
    void TEST_setMoveHook(std::function<void(MoveStage)> hook);
    // Test hook: the system calls that flush and move the finished movie.
    void TEST_setFileSystemCalls(const platform::FileSystemCalls& calls);

signals:
    void movieCreationInProgressChanged(bool inProgress);
    void allowOverwriteChanged(bool allow);
    void minValueChanged(qulonglong value);
    void maxValueChanged(qulonglong value);
    void valueChanged(qulonglong value);
    void progressStringChanged(const QString& text);
    void imagePathsChanged(const QStringList& paths);
    void frameRateChanged(qulonglong rate);
    void averageBitRateChanged(qulonglong bitsPerSecond);
    void qualityModeChanged(qlonglong mode);
    void codecChanged(const QString& codec);
    void frameSizeChanged(QSizeF size);

private:
    struct Export;
    struct ExportControl;

    void startOnOwnThread(const QString& destination, Completion completion);
    void refuse(platform::Error error, Completion completion);
    void runExport(const std::shared_ptr<Export>& run);
    bool isCancelled(const Export& run) const;
    void postProgress(const std::shared_ptr<Export>& run, std::size_t written);
    void postFinish(const std::shared_ptr<Export>& run, std::optional<platform::Error> error);

    bool movieCreationInProgress_ = false;
    bool allowOverwrite_ = true;
    qulonglong minValue_ = 0;
    qulonglong maxValue_ = 0;
    qulonglong value_ = 0;
    QString progressString_;
    QStringList imagePaths_;
    qulonglong frameRate_ = 30;
    qulonglong averageBitRate_ = 20'000'000;
    qlonglong qualityMode_ = 1;
    QString codec_ = QString::fromLatin1(kCodecHEVC.data(), kCodecHEVC.size());
    QSizeF frameSize_{1080, 720};
    ExportConfinement confinement_;

    // Cancellation state shared with the export thread.
    std::unique_ptr<ExportControl> control_;
    // The thread of the current or last export; joined before the next one starts.
    std::thread thread_;
};

}  // namespace fw
