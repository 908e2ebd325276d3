#include <gtest/gtest.h>

#include <QAction>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeySequence>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include "app/export/ImagesToMovie.h"
#include "app/window/MainWindow.h"
#include "app/window/MovieSettingsController.h"
#include "app/window/MovieSettingsPanel.h"
#include "app/window/MovieUndoManager.h"
#include "tests/support/WindowFixture.h"

namespace fw::testing {
namespace {

using MainWindowTest = WindowFixture;

QStringList makeImages(WindowFixture& fixture, int count, int width, int height,
                       const std::function<QString(const QString&, int, int)>& make) {
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        paths << make(QStringLiteral("frame%1.png").arg(i, 3, 10, QLatin1Char('0')), width, height);
    }
    (void)fixture;
    return paths;
}

TEST_F(MainWindowTest, ButtonTurnsIntoCancelWhileExportingAndCancelStopsTheExportSilently) {
    MainWindow window(dependencies());
    const QStringList images = makeImages(
        *this, 40, 320, 240, [this](const QString& n, int w, int h) { return makeImage(n, w, h); });
    addImages(window, images);
    ASSERT_EQ(window.buttonTitle(), "Save Movie");
    QSignalSpy titles(&window, &MainWindow::buttonTitleChanged);

    const QString movie = path("movie.mp4");
    save(window, movie);
    EXPECT_EQ(window.buttonTitle(), "Cancel");
    EXPECT_EQ(window.saveButton()->text(), "Cancel");
    EXPECT_TRUE(window.saveOrCancelEnabled());
    EXPECT_TRUE(window.saveButton()->isEnabled());
    EXPECT_FALSE(window.openImagesAction()->isEnabled());
    EXPECT_FALSE(window.exportMovieAction()->isEnabled());

    QTest::mouseClick(window.saveButton(), Qt::LeftButton);
    ASSERT_TRUE(waitForIdle());
    EXPECT_EQ(window.buttonTitle(), "Save Movie");
    EXPECT_EQ(titles.count(), 2);
    EXPECT_TRUE(panels.alerts.empty()) << "a user cancellation is never shown";
    EXPECT_FALSE(QFileInfo::exists(movie));
    ASSERT_FALSE(coordinator_->recentJobs().empty());
    EXPECT_EQ(coordinator_->recentJobs().front().state, ExportJobState::cancelled);
    EXPECT_TRUE(window.openImagesAction()->isEnabled());
}

// An export started elsewhere (automation, Shortcuts) shows in the window, and the button
// cancels it.
TEST_F(MainWindowTest, TheButtonCancelsAnExportStartedElsewhere) {
    MainWindow window(dependencies());
    QDir().mkpath(path("shared"));
    ExportRequest request;
    for (int i = 0; i < 40; ++i) {
        request.inputURLs.push_back(
            QUrl::fromLocalFile(makeImage(QStringLiteral("shared/f%1.png").arg(i), 320, 240)));
    }
    ASSERT_TRUE(files_->authorize(path("shared").toStdString(), true));
    request.outputURL = QUrl::fromLocalFile(path("shared/movie.mp4"));
    request.settings = {320, 240, 30, ExportCodec::h264, ExportQuality::standard, std::nullopt};
    const ExportResult<QUuid> started = coordinator_->startExport(request);
    ASSERT_TRUE(started.ok()) << started.failure().description();
    EXPECT_EQ(window.buttonTitle(), "Cancel");
    EXPECT_TRUE(window.saveButton()->isEnabled());

    QTest::mouseClick(window.saveButton(), Qt::LeftButton);
    ASSERT_TRUE(waitForIdle());
    EXPECT_EQ(window.buttonTitle(), "Save Movie");
    EXPECT_EQ(coordinator_->job(started.value())->state, ExportJobState::cancelled);
    EXPECT_TRUE(panels.alerts.empty());
}

TEST_F(MainWindowTest, FinishedExportWritesTheMovieAndRemembersItsFolder) {
    MainWindow window(dependencies());
    addImages(window, {makeImage("a.png"), makeImage("b.png")});
    QDir().mkpath(path("movies"));
    const QString movie = path("movies/out.mp4");

    save(window, movie);
    ASSERT_TRUE(waitForIdle());
    EXPECT_EQ(window.buttonTitle(), "Save Movie");
    EXPECT_TRUE(panels.alerts.empty());
    EXPECT_GT(QFileInfo(movie).size(), 0);
    EXPECT_EQ(defaults_->stringForKey(MainWindow::kDefaultMoviePathKey),
              path("movies").toStdString());
    EXPECT_EQ(defaults_->stringForKey(MainWindow::kDefaultImagesPathKey),
              QDir(folderPath()).absolutePath().toStdString());
    // The next save panel starts where the last movie went.
    EXPECT_EQ(window.saveChoice().startingFolder, path("movies"));
}

TEST_F(MainWindowTest, SavePanelOffersTheFileTypeOfTheCodec) {
    struct Case {
        qlonglong codecTag;
        const char* extension;
    };
    MainWindow window(dependencies());
    addImages(window, {makeImage("a.png")});
    for (const Case& c : {Case{MovieSettingsController::kCodecTagH264, "mp4"},
                          Case{MovieSettingsController::kCodecTagHEVC, "mp4"},
                          Case{MovieSettingsController::kCodecTagProRes422, "mov"}}) {
        window.settingsController().setSelectedCodecTag(c.codecTag);
        panels.saveChoices.clear();
        window.exportMovie();  // cancelled panel: nothing starts
        ASSERT_EQ(panels.saveChoices.size(), 1u);
        EXPECT_EQ(panels.saveChoices[0].fileExtension, c.extension) << "codec " << c.codecTag;
        EXPECT_FALSE(coordinator_->hasActiveExport());
    }
}

TEST_F(MainWindowTest, RefusedExportIsShownAndTheButtonStaysSaveMovie) {
    MainWindow window(dependencies());
    const QString second = makeImage("b.png");
    addImages(window, {makeImage("a.png"), second});
    ASSERT_TRUE(QFile::remove(second));

    save(window, path("movie.mp4"));
    ASSERT_EQ(panels.alerts.size(), 1u);
    EXPECT_EQ(panels.alerts[0].messageText, "Image 2 does not exist: " + second);
    EXPECT_EQ(window.buttonTitle(), "Save Movie");
    EXPECT_FALSE(coordinator_->hasActiveExport());
    EXPECT_FALSE(QFileInfo::exists(path("movie.mp4")));
}

TEST_F(MainWindowTest, FailedExportShowsTheEnginesMessage) {
    MainWindow window(dependencies());
    addImages(window, {makeImage("a.png")});
    // A destination inside a folder that does not exist.
    save(window, path("missing/movie.mp4"));
    ASSERT_TRUE(waitForIdle());
    ASSERT_EQ(panels.alerts.size(), 1u);
    EXPECT_EQ(panels.alerts[0].messageText, "The destination folder does not exist.");
}

TEST_F(MainWindowTest, PanelsStartInTheRememberedFolderOnlyWhenItIsUsable) {
    MainWindow window(dependencies());
    QDir().mkpath(path("kept"));
    QFile file(path("plain.txt"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    struct Case {
        std::optional<QString> stored;
        QString expected;
    };
    const QString home = QDir::homePath();
    for (const Case& c : {Case{std::nullopt, home}, Case{QString(), home}, Case{path("gone"), home},
                          Case{path("plain.txt"), home}, Case{path("kept"), path("kept")}}) {
        if (c.stored) {
            ASSERT_FALSE(defaults_->set(MainWindow::kDefaultMoviePathKey, c.stored->toStdString()));
        } else {
            ASSERT_FALSE(defaults_->remove(MainWindow::kDefaultMoviePathKey));
        }
        EXPECT_EQ(window.defaultFolder(MainWindow::kDefaultMoviePathKey), c.expected)
            << (c.stored ? c.stored->toStdString() : "(none)");
    }
}

TEST_F(MainWindowTest, AnExportStartedWhileTheSavePanelIsOpenMakesTheChoiceDoNothing) {
    MainWindow window(dependencies());
    addImages(window, {makeImage("a.png")});
    // Stands in for an automation export starting while the panel is open.
    panels.whileSavePanelOpen = [&] { window.imagesToMovie().setMovieCreationInProgress(true); };
    save(window, path("movie.mp4"));
    EXPECT_FALSE(coordinator_->hasActiveExport());
    EXPECT_TRUE(panels.alerts.empty());
    window.imagesToMovie().setMovieCreationInProgress(false);
}

TEST_F(MainWindowTest, ThePanelCountsAsASheetForTheBusyRule) {
    MainWindow window(dependencies());
    addImages(window, {makeImage("a.png")});
    bool sheetWhileOpen = false;
    bool saveEnabledWhileOpen = true;
    panels.whileSavePanelOpen = [&] {
        sheetWhileOpen = window.hasAttachedSheet();
        saveEnabledWhileOpen = window.exportMovieAction()->isEnabled();
    };
    window.exportMovie();
    EXPECT_TRUE(sheetWhileOpen);
    EXPECT_FALSE(saveEnabledWhileOpen);
    EXPECT_FALSE(window.hasAttachedSheet());
    EXPECT_TRUE(window.exportMovieAction()->isEnabled());

    // Any modal dialog over the window counts too.
    QDialog dialog(&window);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.show();
    EXPECT_TRUE(window.hasAttachedSheet());
    dialog.hide();
    EXPECT_FALSE(window.hasAttachedSheet());
}

TEST_F(MainWindowTest, SavingCommitsTheFieldBeingEditedFirst) {
    MainWindow window(dependencies());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    addImages(window, {makeImage("a.png")});
    QSpinBox* frameRate = window.settingsPanel()->frameRateField();
    frameRate->setFocus();
    frameRate->selectAll();
    QTest::keyClicks(frameRate, "12");
    EXPECT_TRUE(window.isEditingText());

    window.exportMovie();  // the panel is cancelled
    ASSERT_EQ(panels.saveChoices.size(), 1u);
    EXPECT_EQ(window.settingsController().frameRate(), 12u);
    EXPECT_FALSE(window.isEditingText());
}

TEST_F(MainWindowTest, UndoIsRefusedWhileExporting) {
    MainWindow window(dependencies());
    addImages(window, {makeImage("a.png"), makeImage("b.png")});
    MovieUndoManager& undo = window.movieUndoManager();
    ASSERT_TRUE(undo.canUndo());

    window.imagesToMovie().setMovieCreationInProgress(true);
    EXPECT_FALSE(undo.canUndo());
    undo.undo();
    EXPECT_EQ(window.imagesToMovie().imagePaths().size(), 2);
    window.imagesToMovie().setMovieCreationInProgress(false);

    undo.undo();
    EXPECT_TRUE(window.imagesToMovie().imagePaths().isEmpty());
}

TEST_F(MainWindowTest, UndoDuringAnExportLeavesTheUndoPositionAlone) {
    MainWindow window(dependencies());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QStringList images = makeImages(
        *this, 40, 320, 240, [this](const QString& n, int w, int h) { return makeImage(n, w, h); });
    addImages(window, images);
    addImages(window, {makeImage("extra.png", 320, 240)});
    MovieUndoManager& undo = window.movieUndoManager();
    undo.undo();  // leaves a step to redo as well
    ASSERT_EQ(undo.count(), 2);
    const int position = undo.index();
    ASSERT_EQ(position, 1);
    QAction* undoItem = nullptr;
    QAction* redoItem = nullptr;
    for (QAction* action : window.findChildren<QAction*>()) {
        if (action->shortcut() == QKeySequence(QKeySequence::Undo)) {
            undoItem = action;
        } else if (action->shortcut() == QKeySequence(QKeySequence::Redo)) {
            redoItem = action;
        }
    }
    ASSERT_NE(undoItem, nullptr);
    ASSERT_NE(redoItem, nullptr);

    save(window, path("movie.mp4"));
    ASSERT_TRUE(coordinator_->hasActiveExport());
    EXPECT_FALSE(undoItem->isEnabled());
    EXPECT_FALSE(redoItem->isEnabled());
    undoItem->trigger();
    redoItem->trigger();
    QTest::keyClick(&window, Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(&window, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    undo.undo();
    undo.redo();
    EXPECT_EQ(undo.index(), position);
    EXPECT_EQ(undo.count(), 2);
    EXPECT_EQ(window.imagesToMovie().imagePaths(), images);

    window.buttonClicked();  // cancels the export
    ASSERT_TRUE(waitForIdle());
    EXPECT_TRUE(undoItem->isEnabled());
    undoItem->trigger();
    EXPECT_EQ(undo.index(), position - 1);
    EXPECT_TRUE(window.imagesToMovie().imagePaths().isEmpty());
}

}  // namespace
}  // namespace fw::testing
