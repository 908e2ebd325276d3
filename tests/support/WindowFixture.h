// Shared pieces of the window tests: a scripted panel service and a fixture that builds the
// main window over the export services fixture's user defaults, folder store and export
// coordinator in its temporary folder, with helpers to add generated images and wait for the
// window.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QStringList>
#include <QTest>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/window/MainWindow.h"
#include "app/window/PanelService.h"
#include "platform/SecurityScopedAccess.h"
#include "tests/support/ExportServicesFixture.h"

namespace fw::testing {

// Answers panels from queues and records what was shown.
class ScriptedPanels : public PanelService {
public:
    std::deque<QStringList> images;
    std::deque<std::optional<QString>> destinations;
    std::vector<ImageChoice> imageChoices;
    std::vector<SaveChoice> saveChoices;
    std::vector<Alert> alerts;
    std::vector<Alert> questions;
    // Runs while the question is open; returns the index of the button chosen.
    std::function<int(const Alert&)> answer = [](const Alert&) { return 0; };
    // Runs while the save panel is open.
    std::function<void()> whileSavePanelOpen;

    QStringList chooseImages(const ImageChoice& choice) override {
        imageChoices.push_back(choice);
        if (images.empty()) {
            return {};
        }
        QStringList next = images.front();
        images.pop_front();
        return next;
    }
    std::optional<QString> chooseSaveDestination(const SaveChoice& choice) override {
        saveChoices.push_back(choice);
        if (whileSavePanelOpen) {
            whileSavePanelOpen();
        }
        if (destinations.empty()) {
            return std::nullopt;
        }
        auto next = destinations.front();
        destinations.pop_front();
        return next;
    }
    void showAlert(const Alert& alert) override { alerts.push_back(alert); }
    int askQuestion(const Alert& alert) override {
        questions.push_back(alert);
        return answer(alert);
    }
};

// The export services fixture with the main window's pieces: scripted panels, generated
// images, and waits for the window.
class WindowFixture : public ExportServicesFixture {
protected:
    void TearDown() override;
    // The process-wide grants: the window registers the files the user chose there.
    std::shared_ptr<platform::SecurityScopedAccess> makeAccess() override { return nullptr; }

    // The pieces a main window or app controller is built with.
    MainWindowDependencies dependencies() {
        return {coordinator_.get(), files_.get(), defaults_.get(), &panels};
    }
    // Writes a PNG of the size into the temporary folder and returns its path.
    QString makeImage(const QString& name, int width = 64, int height = 48);
    // Adds `paths` through the window's open panel and waits until the settings are ready.
    void addImages(MainWindow& window, const QStringList& paths);
    // Saves through the window's save panel to `destination`.
    void save(MainWindow& window, const QString& destination);
    // Waits until no export runs.
    bool waitForIdle(int timeoutMs = 60000);
    // The temporary folder, and `name` inside it.
    QString folderPath() const { return QString::fromStdString(dir_.string()); }
    QString path(const QString& name) const { return QDir(folderPath()).filePath(name); }

    ScriptedPanels panels;
};

}  // namespace fw::testing
