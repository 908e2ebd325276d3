#include "app/window/MovieSettingsController.h"

#include <cmath>
#include <map>
#include <string>

#include "app/export/ImagesToMovie.h"
#include "app/folders/FileAccessManager.h"
#include "app/render/MovieFrameRenderer.h"
#include "app/window/ImageTableController.h"
#include "platform/MovieWriter.h"
#include "platform/UserDefaults.h"

namespace fw {

namespace {

constexpr double kMaxMovieWidth = 3840;
constexpr double kMaxMovieHeight = 2160;
constexpr qulonglong kMaxFrameRate = 30;
constexpr double kMinBitRate = 0.1;   // Mbps
constexpr double kMaxBitRate = 50.0;  // Mbps

bool isWhole(double value) {
    return std::isfinite(value) && std::floor(value) == value;
}
bool isPositiveWhole(double value) {
    return isWhole(value) && value > 0;
}

// The stored integer if it is a number with a whole value in [low, high]; else `fallback`.
qlonglong readInteger(const platform::UserDefaults& defaults, const char* key, qlonglong low,
                      qlonglong high, qlonglong fallback) {
    const auto value = defaults.object(key);
    if (!value) {
        return fallback;
    }
    double number = 0;
    if (const auto* integer = std::get_if<std::int64_t>(&*value)) {
        number = static_cast<double>(*integer);
    } else if (const auto* real = std::get_if<double>(&*value)) {
        number = *real;
    } else {
        return fallback;
    }
    if (!isWhole(number) || number < static_cast<double>(low) ||
        number > static_cast<double>(high)) {
        return fallback;
    }
    return static_cast<qlonglong>(number);
}

// The stored value as it is: a number stays a number, anything else is passed on unchanged
// (and later fails the size checks).
QVariant readStored(const platform::UserDefaults& defaults, const char* key) {
    const auto value = defaults.object(key);
    if (!value) {
        return {};
    }
    return std::visit(
        [](const auto& stored) -> QVariant {
            using T = std::decay_t<decltype(stored)>;
            if constexpr (std::is_same_v<T, bool>) {
                return QVariant(stored);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return QVariant(static_cast<qlonglong>(stored));
            } else if constexpr (std::is_same_v<T, double>) {
                return QVariant(stored);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return QVariant(QString::fromStdString(stored));
            } else {
                return QVariant(QByteArray(reinterpret_cast<const char*>(stored.data()),
                                           static_cast<qsizetype>(stored.size())));
            }
        },
        *value);
}

bool isNumber(const QVariant& value) {
    switch (value.typeId()) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Double:
        case QMetaType::Float:
        case QMetaType::Long:
        case QMetaType::ULong:
        case QMetaType::Short:
        case QMetaType::UShort:
            return true;
        default:
            return false;
    }
}

// A number's double value; NaN for anything else, so that every size check fails.
double numberValue(const QVariant& value) {
    return isNumber(value) ? value.toDouble() : std::nan("");
}

platform::DefaultsValue storedNumber(const QVariant& value) {
    const double number = value.toDouble();
    if (isWhole(number) && std::fabs(number) < 9.0e15) {
        return static_cast<std::int64_t>(number);
    }
    return number;
}

}  // namespace

void MovieSettingsController::registerDefaults(platform::UserDefaults& defaults) {
    defaults.registerDefaults({
        {kDefaultCodecTagKey, std::int64_t{1}},
        {kDefaultQualityTagKey, std::int64_t{1}},
        {kDefaultFrameRateKey, std::int64_t{30}},
        {kDefaultSizePresetKey, std::int64_t{0}},
        {kCustomMovieWidthKey, std::int64_t{1280}},
        {kCustomMovieHeightKey, std::int64_t{720}},
    });
}

MovieSettingsController::MovieSettingsController(platform::UserDefaults* defaults,
                                                 FileAccessManager* store, QObject* parent)
    : QObject(parent),
      defaults_(defaults != nullptr ? *defaults : platform::UserDefaults::standard()),
      store_(store) {
    registerDefaults(defaults_);
    codecTag_ = readInteger(defaults_, kDefaultCodecTagKey, 0, 2, kCodecTagHEVC);
    qualityTag_ = readInteger(defaults_, kDefaultQualityTagKey, 0, 1, kQualityHigh);
    lastAutomaticQualityTag_ = qualityTag_;
    frameRate_ = static_cast<qulonglong>(readInteger(defaults_, kDefaultFrameRateKey, 1, 30, 30));
    qlonglong preset = readInteger(defaults_, kDefaultSizePresetKey, 0, 2160, kPresetFirstImage);
    switch (preset) {
        case kPresetFirstImage:
        case kPresetCustom:
        case kPreset480:
        case kPreset720:
        case kPreset1080:
        case kPreset2160:
            break;
        default:
            preset = kPresetFirstImage;
    }
    bitRate_ = 20.0;
    // Neither width nor height is set yet, so the same tag still fills them.
    presetTag_ = preset;
    setSelectedSizePresetsTag(preset);
}

MovieSettingsController::~MovieSettingsController() {
    disconnect(pathsConnection_);
    // A read in progress posts its result to this object; let it finish first.
    sizeReads_.waitForDone();
}

void MovieSettingsController::store(const char* key, qlonglong value) {
    // A setting that cannot be written still holds for this session; the store has already
    // kept its previous value intact.
    (void)defaults_.set(key, static_cast<std::int64_t>(value));
}

QString MovieSettingsController::codec() const {
    switch (codecTag_) {
        case kCodecTagH264:
            return QString::fromLatin1(kCodecH264.data(), kCodecH264.size());
        case kCodecTagHEVC:
            return QString::fromLatin1(kCodecHEVC.data(), kCodecHEVC.size());
        case kCodecTagProRes422:
            return QString::fromLatin1(kCodecProRes422.data(), kCodecProRes422.size());
        default:
            return {};
    }
}

ImagesToMovie* MovieSettingsController::imagesToMovie() const {
    return imagesToMovie_;
}

void MovieSettingsController::setImageTableController(ImageTableController* table) {
    imageTable_ = table;
}

void MovieSettingsController::setImagesToMovie(ImagesToMovie* imagesToMovie) {
    disconnect(pathsConnection_);
    imagesToMovie_ = imagesToMovie;
    if (imagesToMovie != nullptr) {
        pathsConnection_ = connect(imagesToMovie, &ImagesToMovie::imagePathsChanged, this,
                                   &MovieSettingsController::loadFirstFrame);
    }
    firstFramePath_.reset();
    loadFirstFrame();
}

void MovieSettingsController::setSelectedCodecTag(qlonglong tag) {
    if (tag == codecTag_) {
        return;
    }
    codecTag_ = tag;
    if (tag >= 0 && tag <= 2) {
        store(kDefaultCodecTagKey, tag);
    }
    emit selectedCodecTagChanged();
    emit controlsChanged();
    // A codec change always leaves custom quality.
    if (qualityTag_ == kQualityCustom) {
        setSelectedQualityTag(lastAutomaticQualityTag_);
    }
    frameRateOrSizeDidChange();
}

void MovieSettingsController::setSelectedQualityTag(qlonglong tag) {
    if (tag < 0 || tag > 2) {
        tag = kQualityHigh;
    }
    if (tag != qualityTag_) {
        qualityTag_ = tag;
        if (tag != kQualityCustom) {
            lastAutomaticQualityTag_ = tag;
            store(kDefaultQualityTagKey, tag);
        }
        emit selectedQualityTagChanged();
        emit controlsChanged();
    }
    updateReadiness();
}

void MovieSettingsController::setSelectedSizePresetsTag(qlonglong tag) {
    if (tag == presetTag_ && width_.isValid() && height_.isValid()) {
        return;
    }
    const bool tagChanged = tag != presetTag_;
    presetTag_ = tag;
    switch (tag) {
        case kPresetFirstImage:
            width_ = firstFrameSize_.width();
            height_ = firstFrameSize_.height();
            break;
        case kPreset480:
            width_ = 640;
            height_ = 480;
            break;
        case kPreset720:
            width_ = 1280;
            height_ = 720;
            break;
        case kPreset1080:
            width_ = 1920;
            height_ = 1080;
            break;
        case kPreset2160:
            width_ = 3840;
            height_ = 2160;
            break;
        default:
            // Assigned directly: showing the custom size must not write it back.
            width_ = readStored(defaults_, kCustomMovieWidthKey);
            height_ = readStored(defaults_, kCustomMovieHeightKey);
            break;
    }
    emit heightChanged();
    emit widthChanged();
    if (tagChanged) {
        emit selectedSizePresetsTagChanged();
    }
    const bool custom = tag == kPresetCustom;
    if (custom != customFieldsAreEnabled_) {
        customFieldsAreEnabled_ = custom;
        emit customFieldsAreEnabledChanged();
    }
    frameRateOrSizeDidChange();
    // The preset in force is remembered, also the one read at start-up (a registered or
    // clamped value becomes the stored one); a value stored already is not written again.
    if (defaults_.storedObject(kDefaultSizePresetKey) !=
        std::optional<platform::DefaultsValue>(static_cast<std::int64_t>(tag))) {
        store(kDefaultSizePresetKey, tag);
    }
}

void MovieSettingsController::setWidth(const QVariant& value) {
    const QVariant number = isNumber(value) ? value : QVariant(0);
    if (number == width_ && width_.typeId() != QMetaType::UnknownType) {
        return;
    }
    width_ = number;
    (void)defaults_.set(kCustomMovieWidthKey, storedNumber(number));
    emit widthChanged();
    updateReadiness();
}

void MovieSettingsController::setHeight(const QVariant& value) {
    const QVariant number = isNumber(value) ? value : QVariant(0);
    if (number == height_ && height_.typeId() != QMetaType::UnknownType) {
        return;
    }
    height_ = number;
    (void)defaults_.set(kCustomMovieHeightKey, storedNumber(number));
    emit heightChanged();
    updateReadiness();
}

void MovieSettingsController::setFrameRate(qulonglong rate) {
    if (rate == frameRate_) {
        return;
    }
    frameRate_ = rate;
    if (rate >= 1 && rate <= kMaxFrameRate) {
        store(kDefaultFrameRateKey, static_cast<qlonglong>(rate));
    }
    emit frameRateChanged();
    updateReadiness();
}

void MovieSettingsController::setBitRate(double megabitsPerSecond) {
    const bool changed = !(megabitsPerSecond == bitRate_);
    bitRate_ = megabitsPerSecond;
    if (changed) {
        emit bitRateChanged();
    }
    updateReadiness();
}

QSizeF MovieSettingsController::targetSize() const {
    if (!isPositiveWhole(firstFrameSize_.width()) || !isPositiveWhole(firstFrameSize_.height())) {
        return {0, 0};
    }
    const double width = numberValue(width_);
    const double height = numberValue(height_);
    if (!isPositiveWhole(width) || !isPositiveWhole(height)) {
        return {0, 0};
    }
    if (presetTag_ == kPresetFirstImage) {
        return firstFrameSize_;
    }
    return ImagesToMovie::resizeOriginal(firstFrameSize_, QSizeF(width, height), false);
}

void MovieSettingsController::updateReadiness() {
    bool ready = false;
    QString reason;
    const QStringList paths = imagesToMovie_ ? imagesToMovie_->imagePaths() : QStringList{};
    const QSizeF size = targetSize();
    const bool sizeFits = isPositiveWhole(size.width()) && size.width() <= kMaxMovieWidth &&
                          isPositiveWhole(size.height()) && size.height() <= kMaxMovieHeight;
    const bool rateFits = frameRate_ >= 1 && frameRate_ <= kMaxFrameRate;
    const bool firstFrameKnown = !paths.isEmpty() && firstFramePath_ == paths.first();
    if (firstFrameKnown && firstFrameSizeRead_ && (!sizeFits || !rateFits)) {
        // Too large a first image, one that cannot be read, or a size or rate out of range:
        // the window cannot export, and says why in the words the export would use.
        reason = QString::fromUtf8(kDimensionsProblem);
    }
    if (firstFrameKnown && sizeFits && rateFits && codecTag_ >= 0 && codecTag_ <= 2 &&
        (!qualityControlsVisible() || qualityTag_ != kQualityCustom ||
         (std::isfinite(bitRate_) && bitRate_ >= kMinBitRate && bitRate_ <= kMaxBitRate))) {
        ready = true;
        // The engine refuses what the encoder cannot take (an odd size for H.264 and HEVC);
        // say so here instead of offering an export that is bound to fail.
        const auto codec = codecTag_ == kCodecTagH264   ? platform::VideoCodec::kH264
                           : codecTag_ == kCodecTagHEVC ? platform::VideoCodec::kHEVC
                                                        : platform::VideoCodec::kProRes422;
        if (auto problem = platform::frameSizeProblem(codec, static_cast<int>(size.width()),
                                                      static_cast<int>(size.height()))) {
            ready = false;
            reason = QString::fromStdString(*problem);
        }
    }
    if (ready != ready_ || reason != notReadyReason_) {
        ready_ = ready;
        notReadyReason_ = reason;
        emit readyToCreateMovieChanged();
    }
}

void MovieSettingsController::updateModelWithNewSettings() {
    if (!imagesToMovie_) {
        return;
    }
    imagesToMovie_->setCodec(codec());
    imagesToMovie_->setFrameSize(targetSize());
    imagesToMovie_->setFrameRate(frameRate_);
    imagesToMovie_->setQualityMode(qualityTag_);
    // A negative rate would wrap around as an unsigned bit rate; the engine keeps its own.
    if (qualityTag_ == kQualityCustom && std::isfinite(bitRate_) && bitRate_ >= 0) {
        imagesToMovie_->setAverageBitRate(static_cast<qulonglong>(std::llround(bitRate_ * 1e6)));
    }
}

void MovieSettingsController::updateOriginalSizeFields() {
    if (presetTag_ != kPresetFirstImage) {
        return;
    }
    width_ = firstFrameSize_.width();
    height_ = firstFrameSize_.height();
    emit heightChanged();
    emit widthChanged();
}

void MovieSettingsController::loadFirstFrame() {
    std::optional<QString> path;
    if (imagesToMovie_ && !imagesToMovie_->imagePaths().isEmpty()) {
        path = imagesToMovie_->imagePaths().first();
    }
    if (path && path == firstFramePath_) {
        updateReadiness();
        return;
    }
    const quint64 generation = ++firstFrameLoadGeneration_;
    firstFramePath_ = path;
    firstFrameSize_ = QSizeF(0, 0);
    firstFrameSizeRead_ = false;
    emit firstFrameSizeChanged();
    updateOriginalSizeFields();
    // Not ready while the size is being read.
    frameRateOrSizeDidChange();
    if (!path) {
        return;
    }
    FileAccessLeasePtr lease = imageTable_ ? imageTable_->leaseForImagePath(*path) : nullptr;
    if (!lease) {
        FileAccessManager& store = store_ != nullptr ? *store_ : FileAccessManager::shared();
        lease = store.leaseForReadingURLs({std::filesystem::path(path->toStdString())}, nullptr);
    }
    sizeReads_.start([this, generation, file = path->toStdString(), lease]() mutable {
        const FrameSize size = MovieFrameRenderer::imageSizeAtPath(file);
        lease.reset();
        QMetaObject::invokeMethod(
            this,
            [this, generation, size] {
                if (generation != firstFrameLoadGeneration_) {
                    return;  // a newer read has started
                }
                firstFrameSize_ = QSizeF(size.width, size.height);
                firstFrameSizeRead_ = true;
                emit firstFrameSizeChanged();
                updateOriginalSizeFields();
                frameRateOrSizeDidChange();
            },
            Qt::QueuedConnection);
    });
}

}  // namespace fw
