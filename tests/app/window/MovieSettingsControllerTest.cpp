#include <gtest/gtest.h>

#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <cmath>
#include <ostream>
#include <span>
#include <variant>

#include "app/export/ImagesToMovie.h"
#include "app/folders/FileAccessManager.h"
#include "app/window/MovieSettingsController.h"
#include "app/window/MovieSettingsPanel.h"
#include "platform/MovieWriter.h"
#include "platform/UserDefaults.h"
#include "tests/support/QStringPrinter.h"

namespace fw {
namespace {

using Controller = MovieSettingsController;

class MovieSettingsTest : public ::testing::Test {
protected:
    MovieSettingsTest()
        : defaults_(std::filesystem::path(dir_.filePath("defaults.plist").toStdString())),
          store_(FileAccessManager::Options{&defaults_, nullptr, [](std::string_view) {}}) {}

    std::unique_ptr<Controller> makeController() {
        auto controller = std::make_unique<Controller>(&defaults_, &store_);
        controller->setImagesToMovie(&model_);
        return controller;
    }

    QString image(const QString& name, int width, int height) {
        QImage picture(width, height, QImage::Format_RGB32);
        picture.fill(Qt::darkGray);
        const QString path = dir_.filePath(name);
        EXPECT_TRUE(picture.save(path, "PNG"));
        return path;
    }

    // Shows `path` as the first image and waits until its size has been read.
    void showFirstImage(Controller& controller, const QString& path) {
        model_.setImagePaths({path});
        EXPECT_FALSE(controller.readyToCreateMovie());  // not while the size is read
        EXPECT_TRUE(QTest::qWaitFor([&] { return controller.firstFrameSize().width() > 0; }));
    }

    void set(const char* key, platform::DefaultsValue value) {
        ASSERT_EQ(defaults_.set(key, std::move(value)), std::nullopt);
    }

    QTemporaryDir dir_;
    platform::UserDefaults defaults_;
    FileAccessManager store_;
    ImagesToMovie model_;
};

TEST_F(MovieSettingsTest, StartsFromRegisteredDefaults) {
    auto controller = makeController();
    // Starting remembers the size preset in force and nothing else.
    EXPECT_EQ(defaults_.storedObject("defaultSizePreset"),
              std::optional<platform::DefaultsValue>(std::int64_t{0}));
    for (const char* key : {"defaultCodecTag", "defaultQualityTag", "defaultFrameRate",
                            "customMovieWidth", "customMovieHeight"}) {
        EXPECT_EQ(defaults_.storedObject(key), std::nullopt) << key;
    }
    EXPECT_EQ(controller->selectedCodecTag(), Controller::kCodecTagHEVC);
    EXPECT_EQ(controller->codec(), "hvc1");
    EXPECT_EQ(controller->selectedQualityTag(), Controller::kQualityHigh);
    EXPECT_EQ(controller->frameRate(), 30u);
    EXPECT_EQ(controller->selectedSizePresetsTag(), Controller::kPresetFirstImage);
    EXPECT_EQ(controller->bitRate(), 20.0);
    EXPECT_FALSE(controller->customFieldsAreEnabled());
    EXPECT_FALSE(controller->readyToCreateMovie());

    controller->setSelectedSizePresetsTag(Controller::kPresetCustom);
    EXPECT_EQ(controller->width().toDouble(), 1280);
    EXPECT_EQ(controller->height().toDouble(), 720);
    EXPECT_TRUE(controller->customFieldsAreEnabled());
}

TEST(MovieSettingsStart, WritesTheSizePresetOnlyWhenThatValueIsNotStoredYet) {
    QTemporaryDir dir;
    int writes = 0;
    platform::UserDefaults defaults(
        std::filesystem::path(dir.filePath("defaults.plist").toStdString()),
        [&writes](const std::filesystem::path& file, std::span<const std::uint8_t> bytes) {
            ++writes;
            return platform::UserDefaults::writeFileAtomically(file, bytes);
        });
    FileAccessManager store(
        FileAccessManager::Options{&defaults, nullptr, [](std::string_view) {}});
    const auto stored = [&] { return defaults.storedObject("defaultSizePreset"); };
    const auto start = [&] { Controller controller(&defaults, &store); };
    using Stored = std::optional<platform::DefaultsValue>;

    // Nothing stored: the registered preset becomes the stored one.
    start();
    EXPECT_EQ(stored(), Stored(std::int64_t{0}));
    EXPECT_EQ(writes, 1);
    // Stored already: a start writes nothing.
    start();
    EXPECT_EQ(writes, 1);

    ASSERT_EQ(defaults.set("defaultSizePreset", std::int64_t{720}), std::nullopt);
    start();
    EXPECT_EQ(stored(), Stored(std::int64_t{720}));
    EXPECT_EQ(writes, 2);

    // A value out of range is replaced by the preset it starts with.
    ASSERT_EQ(defaults.set("defaultSizePreset", std::int64_t{1000}), std::nullopt);
    start();
    EXPECT_EQ(stored(), Stored(std::int64_t{0}));
    EXPECT_EQ(writes, 4);
}

struct StoredCase {
    const char* key;
    platform::DefaultsValue stored;
    qlonglong expected;
};

void PrintTo(const StoredCase& c, std::ostream* out) {
    *out << c.key << '=';
    std::visit(
        [out](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, platform::DefaultsData>) {
                *out << "bytes";
            } else if constexpr (std::is_same_v<T, std::string>) {
                *out << "text " << value;
            } else {
                *out << value;
            }
        },
        c.stored);
}

class MovieSettingsClamping : public MovieSettingsTest,
                              public ::testing::WithParamInterface<StoredCase> {};

TEST_P(MovieSettingsClamping, ReadsStoredValuesWithinRangeOnly) {
    const StoredCase c = GetParam();
    set(c.key, c.stored);
    auto controller = makeController();
    const std::string key = c.key;
    const qlonglong actual =
        key == Controller::kDefaultCodecTagKey     ? controller->selectedCodecTag()
        : key == Controller::kDefaultQualityTagKey ? controller->selectedQualityTag()
        : key == Controller::kDefaultFrameRateKey  ? static_cast<qlonglong>(controller->frameRate())
                                                   : controller->selectedSizePresetsTag();
    EXPECT_EQ(actual, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Stored, MovieSettingsClamping,
                         ::testing::Values(StoredCase{"defaultFrameRate", std::int64_t{60}, 30},
                                           StoredCase{"defaultFrameRate", std::int64_t{0}, 30},
                                           StoredCase{"defaultFrameRate", 29.5, 30},
                                           StoredCase{"defaultFrameRate", std::string("24"), 30},
                                           StoredCase{"defaultFrameRate", 24.0, 24},
                                           StoredCase{"defaultFrameRate", std::int64_t{1}, 1},
                                           StoredCase{"defaultSizePreset", std::int64_t{1000}, 0},
                                           StoredCase{"defaultSizePreset", std::int64_t{720}, 720},
                                           StoredCase{"defaultSizePreset", std::int64_t{1}, 1},
                                           StoredCase{"defaultSizePreset", std::int64_t{4320}, 0},
                                           StoredCase{"defaultQualityTag", std::int64_t{2}, 1},
                                           StoredCase{"defaultQualityTag", std::int64_t{0}, 0},
                                           StoredCase{"defaultCodecTag", std::int64_t{3}, 1},
                                           StoredCase{"defaultCodecTag", std::int64_t{0}, 0},
                                           StoredCase{"defaultCodecTag", std::nan(""), 1}));

struct PresetCase {
    qlonglong preset;
    int imageWidth;
    int imageHeight;
    QSizeF expected;
    bool ready;
};

void PrintTo(const PresetCase& c, std::ostream* out) {
    *out << "preset " << c.preset << ", " << c.imageWidth << "x" << c.imageHeight;
}

class MovieSettingsPresets : public MovieSettingsTest,
                             public ::testing::WithParamInterface<PresetCase> {};

TEST_P(MovieSettingsPresets, FitsTheFirstImageIntoThePreset) {
    const PresetCase c = GetParam();
    auto controller = makeController();
    controller->setSelectedSizePresetsTag(c.preset);
    showFirstImage(*controller, image("first.png", c.imageWidth, c.imageHeight));

    EXPECT_EQ(controller->targetSize(), c.expected);
    EXPECT_EQ(controller->readyToCreateMovie(), c.ready);
}

INSTANTIATE_TEST_SUITE_P(Table, MovieSettingsPresets,
                         ::testing::Values(PresetCase{720, 1024, 768, {960, 720}, true},
                                           PresetCase{0, 1024, 768, {1024, 768}, true},
                                           PresetCase{480, 1024, 768, {640, 480}, true},
                                           PresetCase{1080, 1024, 768, {1440, 1080}, true},
                                           PresetCase{2160, 4000, 3000, {2880, 2160}, true},
                                           PresetCase{0, 4000, 3000, {4000, 3000}, false},
                                           PresetCase{1, 1024, 768, {960, 720}, true}));

TEST_F(MovieSettingsTest, OddSizeIsNotReadyForH264AndHEVCWithTheReason) {
    auto controller = makeController();
    showFirstImage(*controller, image("odd.png", 101, 60));
    const std::string problem =
        platform::frameSizeProblem(platform::VideoCodec::kHEVC, 101, 60).value();

    EXPECT_FALSE(controller->readyToCreateMovie());
    EXPECT_EQ(controller->notReadyReason().toStdString(), problem);

    MovieSettingsPanel panel(*controller);
    EXPECT_EQ(panel.reasonLabel()->text().toStdString(), problem);
    EXPECT_FALSE(panel.reasonLabel()->isHidden());

    controller->setSelectedCodecTag(Controller::kCodecTagProRes422);
    EXPECT_TRUE(controller->readyToCreateMovie());
    EXPECT_TRUE(controller->notReadyReason().isEmpty());
    EXPECT_TRUE(panel.reasonLabel()->isHidden());

    controller->setSelectedCodecTag(Controller::kCodecTagH264);
    EXPECT_FALSE(controller->readyToCreateMovie());

    // A custom box that makes the fitted size even again.
    controller->setSelectedSizePresetsTag(Controller::kPresetCustom);
    controller->setWidth(202);
    controller->setHeight(120);
    EXPECT_EQ(controller->targetSize(), QSizeF(202, 120));
    EXPECT_TRUE(controller->readyToCreateMovie());
}

TEST_F(MovieSettingsTest, CustomBitRateBoundsAndProResIgnoresThem) {
    auto controller = makeController();
    showFirstImage(*controller, image("first.png", 64, 48));
    controller->setSelectedQualityTag(Controller::kQualityCustom);
    for (const auto& [rate, ready] : std::vector<std::pair<double, bool>>{
             {0.05, false}, {60, false}, {0.1, true}, {50, true}, {std::nan(""), false}}) {
        controller->setBitRate(rate);
        EXPECT_EQ(controller->readyToCreateMovie(), ready) << rate;
    }
    controller->setBitRate(60);
    controller->setSelectedCodecTag(Controller::kCodecTagProRes422);
    EXPECT_TRUE(controller->readyToCreateMovie());
}

TEST_F(MovieSettingsTest, CodecChangeLeavesCustomQuality) {
    auto controller = makeController();
    controller->setSelectedQualityTag(Controller::kQualityStandard);
    controller->setSelectedQualityTag(Controller::kQualityCustom);
    EXPECT_TRUE(controller->customBitRateEnabled());

    controller->setSelectedCodecTag(Controller::kCodecTagH264);

    EXPECT_EQ(controller->selectedQualityTag(), Controller::kQualityStandard);
    EXPECT_EQ(defaults_.integerForKey("defaultQualityTag"), 0);
    EXPECT_EQ(defaults_.integerForKey("defaultCodecTag"), 0);
    controller->setSelectedQualityTag(7);
    EXPECT_EQ(controller->selectedQualityTag(), Controller::kQualityHigh);
}

TEST_F(MovieSettingsTest, PresetsLeaveTheStoredCustomSizeAlone) {
    auto controller = makeController();
    controller->setSelectedSizePresetsTag(Controller::kPreset1080);
    EXPECT_EQ(defaults_.integerForKey("defaultSizePreset"), 1080);
    EXPECT_FALSE(defaults_.object("customMovieWidth") == std::nullopt);
    ASSERT_EQ(defaults_.remove("customMovieWidth"), std::nullopt);
    controller->setSelectedSizePresetsTag(Controller::kPresetCustom);
    controller->setSelectedSizePresetsTag(Controller::kPreset480);
    EXPECT_EQ(defaults_.integerForKey("customMovieWidth"), 1280);  // still the registered one

    controller->setSelectedSizePresetsTag(Controller::kPresetCustom);
    controller->setWidth(800);
    controller->setHeight(QString("tall"));  // not a number: 0
    EXPECT_EQ(defaults_.integerForKey("customMovieWidth"), 800);
    EXPECT_EQ(defaults_.integerForKey("customMovieHeight"), 0);

    // Remembered for the next start.
    controller.reset();
    auto next = makeController();
    EXPECT_EQ(next->selectedSizePresetsTag(), Controller::kPresetCustom);
    EXPECT_EQ(next->width().toDouble(), 800);
}

TEST_F(MovieSettingsTest, StaleSizeReadIsDiscarded) {
    auto controller = makeController();
    QList<QSizeF> seen;
    QObject::connect(controller.get(), &Controller::firstFrameSizeChanged,
                     [&] { seen.append(controller->firstFrameSize()); });
    const QString first = image("first.png", 300, 200);
    const QString second = image("second.png", 60, 40);

    model_.setImagePaths({first});
    model_.setImagePaths({second});
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->firstFrameSize().width() > 0; }));
    QTest::qWait(50);

    EXPECT_EQ(controller->firstFrameSize(), QSizeF(60, 40));
    EXPECT_FALSE(seen.contains(QSizeF(300, 200)));
    EXPECT_TRUE(controller->readyToCreateMovie());
}

TEST_F(MovieSettingsTest, UnreadableFirstImageIsNotReadyAndSaysWhy) {
    auto controller = makeController();
    MovieSettingsPanel panel(*controller);
    model_.setImagePaths({dir_.filePath("missing.png")});
    // Nothing to explain while the size is being read.
    EXPECT_TRUE(panel.reasonLabel()->isHidden());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->notReadyReason().isEmpty(); }));
    EXPECT_EQ(controller->firstFrameSize(), QSizeF(0, 0));
    EXPECT_FALSE(controller->readyToCreateMovie());
    EXPECT_EQ(controller->notReadyReason(), Controller::kDimensionsProblem);
    EXPECT_EQ(panel.reasonLabel()->text(), Controller::kDimensionsProblem);
    EXPECT_FALSE(panel.reasonLabel()->isHidden());

    model_.setImagePaths({});
    EXPECT_FALSE(controller->readyToCreateMovie());
    EXPECT_TRUE(controller->notReadyReason().isEmpty());
    EXPECT_TRUE(panel.reasonLabel()->isHidden());
}

TEST_F(MovieSettingsTest, FirstImageLargerThanTheLimitsSaysWhy) {
    auto controller = makeController();
    MovieSettingsPanel panel(*controller);
    ASSERT_EQ(controller->selectedSizePresetsTag(), Controller::kPresetFirstImage);
    showFirstImage(*controller, image("photo.png", 5120, 2880));

    EXPECT_EQ(controller->targetSize(), QSizeF(5120, 2880));
    EXPECT_FALSE(controller->readyToCreateMovie());
    EXPECT_EQ(controller->notReadyReason().toStdString(),
              "Movie dimensions must be at most 3840 × 2160 and frame rate 1–30 fps.");
    EXPECT_EQ(panel.reasonLabel()->text(), controller->notReadyReason());
    EXPECT_FALSE(panel.reasonLabel()->isHidden());

    // A preset that fits it into the limits makes it exportable again.
    controller->setSelectedSizePresetsTag(Controller::kPreset2160);
    EXPECT_EQ(controller->targetSize(), QSizeF(3840, 2160));
    EXPECT_TRUE(controller->readyToCreateMovie());
    EXPECT_TRUE(panel.reasonLabel()->isHidden());
}

TEST_F(MovieSettingsTest, CopiesSettingsIntoTheModel) {
    auto controller = makeController();
    showFirstImage(*controller, image("first.png", 1024, 768));
    controller->setSelectedCodecTag(Controller::kCodecTagH264);
    controller->setSelectedSizePresetsTag(Controller::kPreset720);
    controller->setFrameRate(12);
    controller->setSelectedQualityTag(Controller::kQualityCustom);
    controller->setBitRate(2.5000005);

    controller->updateModelWithNewSettings();

    EXPECT_EQ(model_.codec(), "avc1");
    EXPECT_EQ(model_.frameSize(), QSizeF(960, 720));
    EXPECT_EQ(model_.frameRate(), 12u);
    EXPECT_EQ(model_.qualityMode(), 2);
    EXPECT_EQ(model_.averageBitRate(), 2'500'001u);

    controller->setSelectedQualityTag(Controller::kQualityStandard);
    controller->setBitRate(9);
    controller->updateModelWithNewSettings();
    EXPECT_EQ(model_.qualityMode(), 0);
    EXPECT_EQ(model_.averageBitRate(), 2'500'001u);

    // A negative rate would wrap around to an enormous unsigned one; the model keeps its own.
    controller->setSelectedQualityTag(Controller::kQualityCustom);
    controller->setBitRate(-3);
    controller->updateModelWithNewSettings();
    EXPECT_EQ(model_.averageBitRate(), 2'500'001u);
}

TEST_F(MovieSettingsTest, PanelControlsDriveTheController) {
    auto controller = makeController();
    MovieSettingsPanel panel(*controller);

    panel.codecBox()->setCurrentIndex(panel.codecBox()->findData(Controller::kCodecTagProRes422));
    EXPECT_EQ(controller->selectedCodecTag(), Controller::kCodecTagProRes422);
    EXPECT_TRUE(panel.qualityBox()->isHidden());

    panel.sizePresetBox()->setCurrentIndex(
        panel.sizePresetBox()->findData(Controller::kPresetCustom));
    EXPECT_TRUE(controller->customFieldsAreEnabled());
    EXPECT_TRUE(panel.widthField()->isEnabled());
    EXPECT_EQ(panel.widthField()->value(), 1280);

    controller->setSelectedSizePresetsTag(Controller::kPreset2160);
    EXPECT_EQ(panel.sizePresetBox()->currentData().toLongLong(), Controller::kPreset2160);
    EXPECT_FALSE(panel.widthField()->isEnabled());
    EXPECT_EQ(panel.heightField()->value(), 2160);
}

}  // namespace
}  // namespace fw
