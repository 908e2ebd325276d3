#include "app/window/AutomationSettingsView.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QTest>

#include "LocalAutomation/SocketError.h"
#include "app/automationcontrol/SocketServerAdapter.h"
#include "tests/app/window/AutomationSettingsFixture.h"
#include "tests/support/QStringPrinter.h"

namespace fw::testing {
namespace {

constexpr int kWaitMs = 20000;

class AutomationSettingsTest : public AutomationSettingsFixture {
protected:
    // The folder rows of a section, in order, as (name, path, status).
    std::vector<std::vector<QString>> rows(bool writable) {
        std::vector<std::vector<QString>> result;
        for (QWidget* row : view().folderSection(writable)->findChildren<QWidget*>(
                 QStringLiteral("folderRow"))) {
            std::vector<QString> texts;
            for (QLabel* label : row->findChildren<QLabel*>()) {
                if (!label->text().isEmpty() || label->pixmap().isNull()) {
                    texts.push_back(label->text());
                }
            }
            result.push_back(texts);
        }
        return result;
    }
    bool showsNoFolders(bool writable) {
        for (QLabel* label : view().folderSection(writable)->findChildren<QLabel*>()) {
            if (label->text() == AutomationSettingsView::kNoFolders) {
                return true;
            }
        }
        return false;
    }
    QString makeFolder(const QString& name) {
        EXPECT_TRUE(QDir(folderPath()).mkpath(name));
        return QDir(folderPath()).absoluteFilePath(name);
    }
    void waitForServer() {
        ASSERT_TRUE(QTest::qWaitFor([&] { return server->pendingOperations() == 0; }, kWaitMs));
    }
};

TEST_F(AutomationSettingsTest, TheWindowIsMadeOnceAndOnlyHiddenWhenClosed) {
    settings->showWindow();
    QPointer<QWidget> window = settings->settingsWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Automation Settings");
    EXPECT_EQ(window->size(), QSize(680, 590));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());  // not resizable

    window->move(window->pos() + QPoint(30, 20));
    const QPoint moved = window->pos();
    EXPECT_TRUE(window->close());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(window->isVisible());

    settings->showWindow();
    EXPECT_EQ(settings->settingsWindow(), window.data());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->pos(), moved);
}

TEST_F(AutomationSettingsTest, TheSwitchTurnsAutomationOnAndOff) {
    AutomationSettingsView& content = view();
    QCheckBox* toggle = content.enabledSwitch();
    EXPECT_EQ(toggle->text(), "Allow AI tools to use Frameweaver");
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_EQ(content.statusLabel()->text(), "Disabled");
    EXPECT_EQ(content.connectionsLabel()->text(), "Active connections: 0");

    toggle->click();
    // Greyed out, and still off, until the start has run.
    EXPECT_FALSE(toggle->isEnabled());
    EXPECT_FALSE(toggle->isChecked());
    waitForServer();
    EXPECT_TRUE(toggle->isEnabled());
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_EQ(content.statusLabel()->text(), "Running");

    servers.made.at(0)->reportConnections(2);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return content.connectionsLabel()->text() == "Active connections: 2"; }, kWaitMs));
    EXPECT_EQ(content.statusLabel()->text(), "Connected (2)");

    toggle->click();
    waitForServer();
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_EQ(content.statusLabel()->text(), "Disabled");
    EXPECT_EQ(content.connectionsLabel()->text(), "Active connections: 0");
    EXPECT_EQ(servers.log, (std::vector<std::string>{"start 1", "stop 1"}));
    EXPECT_EQ(content.errorAlert(), nullptr);
}

TEST_F(AutomationSettingsTest, OnAndAtOnceOffStaysGreyedOutUntilTheStopHasRun) {
    AutomationSettingsView& content = view();
    QCheckBox* toggle = content.enabledSwitch();
    toggle->click();
    server->disable();  // queued behind the start, as a second request would be
    bool sawOn = false;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            sawOn = sawOn || toggle->isChecked();
            if (server->pendingOperations() > 0) {
                EXPECT_FALSE(toggle->isEnabled());
            }
            return server->pendingOperations() == 0;
        },
        kWaitMs));
    EXPECT_TRUE(toggle->isEnabled());
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_EQ(content.statusLabel()->text(), "Disabled");
    EXPECT_EQ(servers.log, (std::vector<std::string>{"start 1", "stop 1"}));
}

TEST_F(AutomationSettingsTest, AStartThatFailsShowsTheStatusAndTheAlert) {
    servers.startFailures.push_back(socketTakenError());
    AutomationSettingsView& content = view();
    content.enabledSwitch()->click();
    waitForServer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return content.errorAlert() != nullptr; }, kWaitMs));

    EXPECT_FALSE(content.enabledSwitch()->isChecked());
    EXPECT_EQ(content.statusLabel()->text(),
              "Local automation could not start: Unix socket error 11");
    QMessageBox* alert = content.errorAlert();
    EXPECT_TRUE(alert->isVisible());
    EXPECT_EQ(alert->windowTitle(), "Automation Settings");
    EXPECT_EQ(alert->text(), "Unix socket error 11");
    EXPECT_EQ(content.errorMessage(), QString("Unix socket error 11"));
    ASSERT_EQ(alert->buttons().size(), 1);
    EXPECT_EQ(alert->buttons()[0]->text(), "OK");

    alert->buttons()[0]->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return content.errorAlert() == nullptr; }, kWaitMs));
    EXPECT_EQ(content.errorMessage(), std::nullopt);
}

// With the real socket server: another one already listens for this installation and holds its
// lock, as a second running instance would.
TEST_F(AutomationSettingsTest, AStartRefusedBecauseTheSocketIsTakenLeavesTheSwitchOff) {
    std::shared_ptr<AutomationServer> holder = makeSocketServer({[](int) {}, [](platform::Error) {}});
    std::optional<platform::Error> holderStart;
    bool holderStarted = false;
    holder->start([&](std::optional<platform::Error> error) {
        holderStart = std::move(error);
        holderStarted = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return holderStarted; }, kWaitMs));
    ASSERT_FALSE(holderStart) << holderStart->description;

    useRealSocketServer();
    AutomationSettingsView& content = view();
    content.enabledSwitch()->click();
    waitForServer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return content.errorAlert() != nullptr; }, kWaitMs));
    const QString failure = QString::fromStdString(automation::SocketError::io(EWOULDBLOCK).description());
    EXPECT_FALSE(content.enabledSwitch()->isChecked());
    EXPECT_EQ(content.statusLabel()->text(), "Local automation could not start: " + failure);
    EXPECT_EQ(content.errorAlert()->text(), failure);
    content.errorAlert()->buttons().at(0)->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return content.errorAlert() == nullptr; }, kWaitMs));

    // Once the other one has gone, the switch turns automation on.
    bool holderStopped = false;
    holder->stop([&] { holderStopped = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return holderStopped; }, kWaitMs));
    content.enabledSwitch()->click();
    waitForServer();
    EXPECT_TRUE(content.enabledSwitch()->isChecked());
    EXPECT_EQ(content.statusLabel()->text(), "Running");
    content.enabledSwitch()->click();
    waitForServer();
    EXPECT_FALSE(content.enabledSwitch()->isChecked());
}

TEST_F(AutomationSettingsTest, FoldersAreListedInTheirSectionAndCanBeReauthorizedAndRemoved) {
    EXPECT_TRUE(showsNoFolders(false));
    EXPECT_TRUE(showsNoFolders(true));

    const QString input = makeFolder("Stills");
    button(&view(), "Authorize Folder…")->click();  // the input section's, made first
    ASSERT_EQ(services.choices.size(), 1u);
    EXPECT_EQ(services.choices[0].message, "Authorize an input folder");
    EXPECT_EQ(services.choices[0].prompt, "Authorize");
    EXPECT_EQ(services.choices[0].startingDirectory, "");
    services.answer(input);
    EXPECT_EQ(rows(false), (std::vector<std::vector<QString>>{{"Stills", input, "Available"}}));
    EXPECT_TRUE(showsNoFolders(true));

    const QString output = makeFolder("Movies");
    auto* outputs = view().folderSection(true);
    // The output section's header button: the second "Authorize Folder…" in the window.
    QList<QPushButton*> authorizeButtons;
    for (QPushButton* candidate : view().findChildren<QPushButton*>()) {
        if (candidate->text() == "Authorize Folder…") {
            authorizeButtons.push_back(candidate);
        }
    }
    ASSERT_EQ(authorizeButtons.size(), 2);
    authorizeButtons[1]->click();
    EXPECT_EQ(services.choices.back().message, "Authorize an output folder");
    services.answer(output);
    EXPECT_EQ(rows(true), (std::vector<std::vector<QString>>{{"Movies", output, "Available"}}));
    EXPECT_EQ(rows(false).size(), 1u);

    // The input folder goes away: its row says so, and reauthorizing starts where it was.
    ASSERT_TRUE(QDir(input).removeRecursively());
    const QString moved = makeFolder("Stills moved");
    // Statuses are read again whenever the window is shown.
    settings->settingsWindow()->hide();
    settings->showWindow();
    EXPECT_NE(rows(false).at(0).at(2), "Available");
    button(view().folderSection(false), "Reauthorize…")->click();
    EXPECT_EQ(services.choices.back().message, "Authorize an input folder");
    EXPECT_EQ(services.choices.back().prompt, "Reauthorize");
    EXPECT_EQ(services.choices.back().startingDirectory, input);
    services.answer(moved);
    EXPECT_EQ(rows(false),
              (std::vector<std::vector<QString>>{{"Stills moved", moved, "Available"}}));
    ASSERT_EQ(files_->folders().size(), 2u);

    button(outputs, "Remove")->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(showsNoFolders(true));
    EXPECT_EQ(rows(false).size(), 1u);
    EXPECT_EQ(files_->folders().size(), 1u);
}

TEST_F(AutomationSettingsTest, ACancelledPanelChangesNothingAndAFailedAuthorizationIsShown) {
    button(&view(), "Authorize Folder…")->click();  // the input section's, made first
    services.answer(std::nullopt);
    EXPECT_TRUE(showsNoFolders(false));
    EXPECT_EQ(view().errorAlert(), nullptr);

    button(&view(), "Authorize Folder…")->click();  // the input section's, made first
    services.answer(QStringLiteral("relative/folder"));
    EXPECT_TRUE(showsNoFolders(false));
    ASSERT_NE(view().errorAlert(), nullptr);
    EXPECT_EQ(view().errorAlert()->windowTitle(), "Automation Settings");
    EXPECT_EQ(view().errorMessage(),
              QString::fromStdString(FileAccessError::invalidURL().description()));
}

TEST_F(AutomationSettingsTest, CopyPutsTheConfigurationOnTheClipboard) {
    makeControllers("/home/r\xC3\xA9my/My \"Apps\"/Frameweaver.app");
    button(&view(), "Copy Codex Configuration")->click();
    ASSERT_EQ(services.copied.size(), 1u);
    EXPECT_EQ(services.copied[0],
              QString::fromUtf8("[mcp_servers.frameweaver]\n"
                                "command = \"/home/r\xC3\xA9my/My \\\"Apps\\\"/Frameweaver.app/"
                                "Contents/MacOS/frameweaver-mcp\""));

    // The system clipboard holds exactly that text, also after a second copy.
    AutomationSettingsServices::system().copyToClipboard(services.copied[0]);
    AutomationSettingsServices::system().copyToClipboard(services.copied[0]);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), services.copied[0]);
    EXPECT_EQ(QGuiApplication::clipboard()->mimeData()->formats(), QStringList{"text/plain"});
}

TEST_F(AutomationSettingsTest, TheNotesSayWhatThisApplicationDoesWithoutAWindow) {
    QStringList texts;
    for (QLabel* label : view().findChildren<QLabel*>()) {
        texts << label->text();
    }
    const QString notes = texts.join('\n');
    EXPECT_FALSE(notes.contains("Dock"));
    EXPECT_TRUE(notes.contains("keeps running without a window"));
    EXPECT_TRUE(notes.contains("starting it again shows its window"));
}

}  // namespace
}  // namespace fw::testing
