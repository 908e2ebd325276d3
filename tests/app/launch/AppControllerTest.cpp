#include <gtest/gtest.h>

#include <QApplication>
#include <QFileInfo>
#include <QTest>

#include "app/export/ImagesToMovie.h"
#include "app/launch/AppController.h"
#include "tests/support/WindowFixture.h"

namespace fw::testing {
namespace {

class AppControllerTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        AutomationBootstrap::setProcessArguments({"Frameweaver"});
    }
    void TearDown() override {
        AutomationBootstrap::setProcessArguments({"Frameweaver"});
        WindowFixture::TearDown();
    }

    AppControllerOptions options() {
        AppControllerOptions result;
        result.window = dependencies();
        result.panels = &panels;
        result.terminate = [this] { ++terminations; };
        return result;
    }

    // Launches, adds `count` images and starts saving them.
    void launchAndExport(AppController& controller, int count, int width, int height) {
        controller.applicationDidFinishLaunching(std::nullopt);
        QStringList images;
        for (int i = 0; i < count; ++i) {
            images << makeImage(QStringLiteral("f%1.png").arg(i), width, height);
        }
        addImages(*controller.windowController(), images);
        save(*controller.windowController(), path("movie.mp4"));
        ASSERT_TRUE(coordinator_->hasActiveExport());
    }

    int terminations = 0;
};

TEST_F(AppControllerTest, AutomationLaunchKeepsTheWindowHiddenUntilTheUserReopens) {
    struct Case {
        std::vector<std::string> arguments;
        std::optional<LaunchEvent> launchEvent;
        bool shown;
    };
    const Case cases[] = {
        {{"Frameweaver"}, std::nullopt, true},
        {{"Frameweaver"}, LaunchEvent{false}, true},
        {{"Frameweaver", "--frameweaver-automation-launch"}, std::nullopt, false},
        {{"Frameweaver"}, LaunchEvent{true}, false},
    };
    for (const Case& c : cases) {
        AutomationBootstrap::setProcessArguments(c.arguments);
        AppController controller(options());
        controller.applicationDidFinishLaunching(c.launchEvent);
        ASSERT_NE(controller.windowController(), nullptr);
        EXPECT_EQ(controller.windowController()->isVisible(), c.shown);
        if (!c.shown) {
            // A reopen from automation leaves it hidden; the user's reopen shows it.
            EXPECT_FALSE(controller.applicationShouldHandleReopen(LaunchEvent{true}));
            EXPECT_FALSE(controller.windowController()->isVisible());
            EXPECT_TRUE(controller.applicationShouldHandleReopen(LaunchEvent{false}));
            EXPECT_TRUE(controller.windowController()->isVisible());
        }
    }
}

TEST_F(AppControllerTest, ReopenBeforeLaunchFinishedDoesNothing) {
    AppController controller(options());
    EXPECT_FALSE(controller.applicationShouldHandleReopen(LaunchEvent{false}));
}

TEST_F(AppControllerTest, ClosingTheWindowKeepsTheApplicationRunning) {
    AppController controller(options());
    controller.applicationDidFinishLaunching(std::nullopt);
    EXPECT_FALSE(QGuiApplication::quitOnLastWindowClosed());
    controller.windowController()->close();
    QCoreApplication::processEvents();
    EXPECT_EQ(terminations, 0);
    EXPECT_TRUE(controller.applicationShouldHandleReopen(std::nullopt));
    EXPECT_TRUE(controller.windowController()->isVisible());
}

TEST_F(AppControllerTest, QuitWithoutAnExportEndsAtOnceWithoutAsking) {
    AppController controller(options());
    controller.applicationDidFinishLaunching(std::nullopt);
    controller.requestQuit();
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(panels.questions.empty());
}

TEST_F(AppControllerTest, QuitWhileExportingAsksAndKeepExportingCarriesOn) {
    AppController controller(options());
    launchAndExport(controller, 30, 320, 240);
    panels.answer = [](const PanelService::Alert&) { return 0; };

    controller.requestQuit();
    ASSERT_EQ(panels.questions.size(), 1u);
    const PanelService::Alert& question = panels.questions[0];
    EXPECT_EQ(question.messageText, "Cancel the export and quit?");
    EXPECT_EQ(question.informativeText,
              "The current export will be cancelled before Frameweaver quits. Any previous "
              "movie will be preserved.");
    EXPECT_EQ(question.buttons, (QStringList{"Keep Exporting", "Cancel Export and Quit"}));
    EXPECT_TRUE(coordinator_->hasActiveExport());
    ASSERT_TRUE(waitForIdle());
    EXPECT_EQ(terminations, 0);
    EXPECT_EQ(coordinator_->recentJobs().front().state, ExportJobState::completed);
    EXPECT_TRUE(QFileInfo::exists(path("movie.mp4")));
}

TEST_F(AppControllerTest, CancelExportAndQuitEndsOnlyAfterTheExportHasEnded) {
    AppController controller(options());
    launchAndExport(controller, 40, 320, 240);
    panels.answer = [](const PanelService::Alert&) { return 1; };

    controller.requestQuit();
    EXPECT_EQ(terminations, 0) << "the export has not ended yet";
    EXPECT_TRUE(controller.isTerminating());
    controller.requestQuit();  // asking again while waiting does not ask again
    EXPECT_EQ(panels.questions.size(), 1u);

    ASSERT_TRUE(QTest::qWaitFor([&] { return terminations > 0; }, 60000));
    EXPECT_EQ(terminations, 1);
    EXPECT_FALSE(coordinator_->hasActiveExport());
    EXPECT_EQ(coordinator_->recentJobs().front().state, ExportJobState::cancelled);
    EXPECT_FALSE(QFileInfo::exists(path("movie.mp4")));
    EXPECT_TRUE(panels.alerts.empty());
}

// The export ends while the question is open; the coordinator then reports the end before
// the quit has been answered "later". The application must still quit.
TEST_F(AppControllerTest, QuitStillHappensWhenTheExportEndedWhileTheQuestionWasOpen) {
    AppController controller(options());
    launchAndExport(controller, 2, 32, 32);
    panels.answer = [this](const PanelService::Alert&) {
        EXPECT_TRUE(waitForIdle());
        return 1;
    };

    controller.requestQuit();
    EXPECT_EQ(terminations, 1);
    EXPECT_FALSE(coordinator_->hasActiveExport());
}

TEST_F(AppControllerTest, ATerminationSignalCancelsTheExportWithoutAskingAndEndsAfterIt) {
    AppController controller(options());
    launchAndExport(controller, 40, 320, 240);

    controller.terminateForSignal();
    EXPECT_EQ(terminations, 0);
    EXPECT_TRUE(panels.questions.empty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return terminations > 0; }, 60000));
    EXPECT_EQ(coordinator_->recentJobs().front().state, ExportJobState::cancelled);
    EXPECT_FALSE(QFileInfo::exists(path("movie.mp4")));
}

}  // namespace
}  // namespace fw::testing
