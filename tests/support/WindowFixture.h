// Shared pieces of the window tests: a scripted panel service and a fixture that builds the
// main window over its own user defaults, folder store and export coordinator in a
// temporary folder, with helpers to add generated images and wait for the window.
#pragma once

#include <gtest/gtest.h>

#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/coordinator/ExportCoordinator.h"
#include "app/folders/FileAccessManager.h"
#include "app/window/MainWindow.h"
#include "app/window/PanelService.h"
#include "platform/UserDefaults.h"

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

class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The pieces a main window or app controller is built with.
    MainWindowDependencies dependencies() {
        return {coordinator.get(), files.get(), defaults.get(), &panels};
    }
    // Writes a PNG of the size into the temporary folder and returns its path.
    QString makeImage(const QString& name, int width = 64, int height = 48);
    // Adds `paths` through the window's open panel and waits until the settings are ready.
    void addImages(MainWindow& window, const QStringList& paths);
    // Saves through the window's save panel to `destination`.
    void save(MainWindow& window, const QString& destination);
    // Waits until no export runs.
    bool waitForIdle(int timeoutMs = 60000);
    QString path(const QString& name) const { return folder.filePath(name); }

    QTemporaryDir folder;
    std::unique_ptr<platform::UserDefaults> defaults;
    std::unique_ptr<FileAccessManager> files;
    std::unique_ptr<ExportCoordinator> coordinator;
    ScriptedPanels panels;
};

}  // namespace fw::testing
