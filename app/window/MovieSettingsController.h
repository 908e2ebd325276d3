// MovieSettingsController: the movie settings of the main window (codec, quality, custom bit
// rate, frame rate, frame size preset and custom size) as observable properties the settings
// panel binds to. It remembers the choices in the user defaults, clamping what it reads back
// to the ranges the engine accepts; reads the first image's pixel size in the background (a
// read overtaken by a newer one is dropped); works out the movie frame size and whether the
// window may export (`readyToCreateMovie`, with `notReadyReason` for a size the codec cannot
// take); and copies the settings into the window's ImagesToMovie model before an export.
//
// User defaults (registered defaults, never written to disk): "defaultCodecTag" 1,
// "defaultQualityTag" 1, "defaultFrameRate" 30, "defaultSizePreset" 0, "customMovieWidth" 1280,
// "customMovieHeight" 720. Each choice is written when it is made; the size preset is also
// written at start-up, as read, unless that very value is stored already.
//
// Thread-safety: a QObject of the main thread; only the size read runs elsewhere, and its
// result comes back to the main thread. The destructor waits for a size read in progress.
#pragma once

#include <QObject>
#include <QPointer>
#include <QSizeF>
#include <QString>
#include <QThreadPool>
#include <QVariant>
#include <optional>

#include "app/export/ExportModel.h"

namespace fw::platform {
class UserDefaults;
}

namespace fw {

class FileAccessManager;
class ImageTableController;
class ImagesToMovie;

class MovieSettingsController : public QObject {
    Q_OBJECT
    Q_PROPERTY(qlonglong selectedCodecTag READ selectedCodecTag WRITE setSelectedCodecTag NOTIFY
                   selectedCodecTagChanged)
    Q_PROPERTY(qlonglong selectedQualityTag READ selectedQualityTag WRITE setSelectedQualityTag
                   NOTIFY selectedQualityTagChanged)
    Q_PROPERTY(qlonglong selectedSizePresetsTag READ selectedSizePresetsTag WRITE
                   setSelectedSizePresetsTag NOTIFY selectedSizePresetsTagChanged)
    Q_PROPERTY(QVariant width READ width WRITE setWidth NOTIFY widthChanged)
    Q_PROPERTY(QVariant height READ height WRITE setHeight NOTIFY heightChanged)
    Q_PROPERTY(bool customFieldsAreEnabled READ customFieldsAreEnabled NOTIFY
                   customFieldsAreEnabledChanged)
    Q_PROPERTY(qulonglong frameRate READ frameRate WRITE setFrameRate NOTIFY frameRateChanged)
    Q_PROPERTY(double bitRate READ bitRate WRITE setBitRate NOTIFY bitRateChanged)
    Q_PROPERTY(QSizeF firstFrameSize READ firstFrameSize NOTIFY firstFrameSizeChanged)
    Q_PROPERTY(bool readyToCreateMovie READ readyToCreateMovie NOTIFY readyToCreateMovieChanged)
    Q_PROPERTY(QString notReadyReason READ notReadyReason NOTIFY readyToCreateMovieChanged)
    Q_PROPERTY(QString codec READ codec NOTIFY selectedCodecTagChanged)
    Q_PROPERTY(bool qualityControlsVisible READ qualityControlsVisible NOTIFY controlsChanged)
    Q_PROPERTY(bool automaticBitRateVisible READ automaticBitRateVisible NOTIFY controlsChanged)
    Q_PROPERTY(bool customBitRateEnabled READ customBitRateEnabled NOTIFY controlsChanged)

public:
    static constexpr const char* kDefaultCodecTagKey = "defaultCodecTag";
    static constexpr const char* kDefaultQualityTagKey = "defaultQualityTag";
    static constexpr const char* kDefaultFrameRateKey = "defaultFrameRate";
    static constexpr const char* kDefaultSizePresetKey = "defaultSizePreset";
    static constexpr const char* kCustomMovieWidthKey = "customMovieWidth";
    static constexpr const char* kCustomMovieHeightKey = "customMovieHeight";

    // The sentence for a movie size or frame rate out of range, as the export refuses it.
    static constexpr const char* kDimensionsProblem = kMovieLimitsProblem;

    // Codec tags, quality tags and size presets as the panel's choices carry them.
    enum CodecTag : qlonglong { kCodecTagH264 = 0, kCodecTagHEVC = 1, kCodecTagProRes422 = 2 };
    enum QualityTag : qlonglong { kQualityStandard = 0, kQualityHigh = 1, kQualityCustom = 2 };
    enum SizePreset : qlonglong {
        kPresetFirstImage = 0,
        kPresetCustom = 1,
        kPreset480 = 480,
        kPreset720 = 720,
        kPreset1080 = 1080,
        kPreset2160 = 2160,
    };

    // Registers the defaults above in `defaults` (idempotent).
    static void registerDefaults(platform::UserDefaults& defaults);

    // Reads the settings from `defaults` (the standard store when null; it must outlive the
    // controller), registering the defaults first. Leases for the first image come from the
    // image table or else from `store` (the shared store when null).
    explicit MovieSettingsController(platform::UserDefaults* defaults = nullptr,
                                     FileAccessManager* store = nullptr, QObject* parent = nullptr);
    ~MovieSettingsController() override;

    // The window's model; not owned. Its image list is followed: each change restarts the
    // read of the first image's size.
    void setImagesToMovie(ImagesToMovie* imagesToMovie);
    ImagesToMovie* imagesToMovie() const;
    // The table whose lease for the first image is borrowed; not owned; may be null.
    void setImageTableController(ImageTableController* table);

    qlonglong selectedCodecTag() const { return codecTag_; }
    void setSelectedCodecTag(qlonglong tag);
    qlonglong selectedQualityTag() const { return qualityTag_; }
    void setSelectedQualityTag(qlonglong tag);
    qlonglong lastAutomaticQualityTag() const { return lastAutomaticQualityTag_; }
    qlonglong selectedSizePresetsTag() const { return presetTag_; }
    void setSelectedSizePresetsTag(qlonglong tag);
    // The size shown in the width and height fields (a number; null before any is set).
    QVariant width() const { return width_; }
    void setWidth(const QVariant& value);
    QVariant height() const { return height_; }
    void setHeight(const QVariant& value);
    bool customFieldsAreEnabled() const { return customFieldsAreEnabled_; }
    qulonglong frameRate() const { return frameRate_; }
    void setFrameRate(qulonglong rate);
    // Custom average bit rate in Mbps; 20 at start; never stored.
    double bitRate() const { return bitRate_; }
    void setBitRate(double megabitsPerSecond);

    // The first image whose size is known (or being read), and its size (zero until read).
    std::optional<QString> firstFramePath() const { return firstFramePath_; }
    QSizeF firstFrameSize() const { return firstFrameSize_; }

    bool readyToCreateMovie() const { return ready_; }
    // Why the images and settings cannot be exported: `kDimensionsProblem` once the first
    // image's size is known (or known to be unreadable) and the movie size or frame rate is
    // out of range, or the codec's reason for a size it cannot take (an odd size for H.264
    // or HEVC); empty when there is nothing to explain, also while the size is being read.
    QString notReadyReason() const { return notReadyReason_; }
    // The codec type string of the codec tag ("avc1", "hvc1", "apcn"); empty for another tag.
    QString codec() const;
    bool qualityControlsVisible() const { return codecTag_ != kCodecTagProRes422; }
    bool automaticBitRateVisible() const {
        return qualityControlsVisible() && qualityTag_ != kQualityCustom;
    }
    bool customBitRateEnabled() const {
        return qualityControlsVisible() && qualityTag_ == kQualityCustom;
    }

    // The movie frame size: the first image's size fitted into width × height (kept as is
    // for preset 0); the zero size while either is not a positive whole size.
    QSizeF targetSize() const;
    // Called when a field was edited; recomputes the readiness.
    void frameRateOrSizeDidChange() { updateReadiness(); }
    void updateReadiness();
    // Copies codec, frame size, frame rate, quality and (for custom quality) bit rate into
    // the model; called right before the window's export.
    void updateModelWithNewSettings();

signals:
    void selectedCodecTagChanged();
    void selectedQualityTagChanged();
    void selectedSizePresetsTagChanged();
    void widthChanged();
    void heightChanged();
    void customFieldsAreEnabledChanged();
    void frameRateChanged();
    void bitRateChanged();
    void firstFrameSizeChanged();
    void readyToCreateMovieChanged();
    void controlsChanged();

private:
    void loadFirstFrame();
    void updateOriginalSizeFields();
    void store(const char* key, qlonglong value);

    platform::UserDefaults& defaults_;
    FileAccessManager* store_;
    QPointer<ImagesToMovie> imagesToMovie_;
    QPointer<ImageTableController> imageTable_;
    QMetaObject::Connection pathsConnection_;

    qlonglong codecTag_ = kCodecTagHEVC;
    qlonglong qualityTag_ = kQualityHigh;
    qlonglong lastAutomaticQualityTag_ = kQualityHigh;
    qlonglong presetTag_ = kPresetFirstImage;
    QVariant width_;
    QVariant height_;
    bool customFieldsAreEnabled_ = false;
    qulonglong frameRate_ = 30;
    double bitRate_ = 20.0;
    std::optional<QString> firstFramePath_;
    QSizeF firstFrameSize_{0, 0};
    // The read of `firstFrameSize_` for `firstFramePath_` has ended (zero: unreadable).
    bool firstFrameSizeRead_ = false;
    quint64 firstFrameLoadGeneration_ = 0;
    bool ready_ = false;
    QString notReadyReason_;
    // Runs the size reads; waited for on destruction so no read outlives the controller.
    QThreadPool sizeReads_;
};

}  // namespace fw
