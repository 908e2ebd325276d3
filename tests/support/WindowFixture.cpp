#include "tests/support/WindowFixture.h"

#include "app/export/ImagesToMovie.h"
#include "app/window/MovieSettingsController.h"
#include "tests/support/TestImages.h"

namespace fw::testing {

void WindowFixture::TearDown() {
    waitForIdle();
    ExportServicesFixture::TearDown();
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
    if (coordinator_ == nullptr) {
        return true;
    }
    return QTest::qWaitFor([&] { return !coordinator_->hasActiveExport(); }, timeoutMs);
}

}  // namespace fw::testing
