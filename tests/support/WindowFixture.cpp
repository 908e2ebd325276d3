#include "tests/support/WindowFixture.h"

#include "app/export/ImagesToMovie.h"
#include "app/window/MovieSettingsController.h"
#include "tests/support/TestImages.h"

namespace fw::testing {

void WindowFixture::SetUp() {
    ASSERT_TRUE(folder.isValid());
    defaults = std::make_unique<platform::UserDefaults>(
        std::filesystem::path(folder.filePath(QStringLiteral("defaults.plist")).toStdString()));
    FileAccessManager::Options options;
    options.defaults = defaults.get();
    options.log = [](std::string_view) {};
    files = std::make_unique<FileAccessManager>(std::move(options));
    ExportCoordinator::Options coordinatorOptions;
    coordinatorOptions.files = files.get();
    coordinator = std::make_unique<ExportCoordinator>(coordinatorOptions);
}

void WindowFixture::TearDown() {
    waitForIdle();
    coordinator.reset();
    files.reset();
    defaults.reset();
}

QString WindowFixture::makeImage(const QString& name, int width, int height) {
    const QString file = path(name);
    const std::string problem =
        writeTestImage(file.toStdString(), width, height, static_cast<std::uint8_t>(width % 200));
    EXPECT_EQ(problem, "");
    return file;
}

void WindowFixture::addImages(MainWindow& window, const QStringList& paths) {
    panels.images.push_back(paths);
    window.openImageFiles();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return window.settingsController().readyToCreateMovie(); }, 20000));
}

void WindowFixture::save(MainWindow& window, const QString& destination) {
    panels.destinations.push_back(destination);
    window.exportMovie();
}

bool WindowFixture::waitForIdle(int timeoutMs) {
    if (coordinator == nullptr) {
        return true;
    }
    return QTest::qWaitFor([&] { return !coordinator->hasActiveExport(); }, timeoutMs);
}

}  // namespace fw::testing
