// Launches and reopens with local automation wired in as the program wires it: the window
// decisions of the application delegate, the controller's launch entry through
// AutomationBootstrap::finishLaunching, and reopen events handed over by a later start through
// the real single-instance socket.
#include "app/launch/LocalAutomationHooks.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "LocalAutomation/MCPPeerIdentity.h"
#include "app/launch/AppController.h"
#include "platform/UserDefaults.h"
#include "tests/app/launch/HandOver.h"
#include "tests/app/window/AutomationSettingsFixture.h"

namespace fw::testing {
namespace {

constexpr int kWaitMs = 20000;

class LocalAutomationLaunchTest : public AutomationSettingsFixture {
protected:
    void TearDown() override {
        AutomationBootstrap::setFinishLaunchingHook({});
        AutomationBootstrap::setProcessArguments({"Frameweaver"});
        AutomationSettingsFixture::TearDown();
    }

    void install(AppController& application) {
        installLocalAutomation(application,
                               {[this]() -> MCPServerController& {
                                    ++launchEntries;
                                    return *server;
                                },
                                [this]() -> AutomationSettingsController& { return *settings; }});
    }

    AppControllerOptions options() {
        AppControllerOptions result;
        result.window = dependencies();
        result.panels = &panels;
        result.terminate = [] {};
        return result;
    }

    int launchEntries = 0;
};

TEST_F(LocalAutomationLaunchTest, LaunchAndReopenKeepTheWindowHiddenForAutomation) {
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::optional<LaunchEvent> launchEvent;
        bool automationOn;
        bool shown;
    };
    const Case cases[] = {
        {"by the user, automation off", {"Frameweaver"}, std::nullopt, false, true},
        {"by the user, automation on", {"Frameweaver"}, LaunchEvent{false}, true, true},
        {"by the argument, automation off",
         {"Frameweaver", "--frameweaver-automation-launch"}, std::nullopt, false, false},
        {"by the argument, automation on",
         {"Frameweaver", "--frameweaver-automation-launch"}, std::nullopt, true, false},
        {"by the event, automation off", {"Frameweaver"}, LaunchEvent{true}, false, false},
        {"by the event, automation on", {"Frameweaver"}, LaunchEvent{true}, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        servers = FakeServers();
        makeControllers();
        launchEntries = 0;
        ASSERT_TRUE(defaults_->set(MCPServerController::kEnabledKey, c.automationOn) ==
                    std::nullopt);
        AutomationBootstrap::setProcessArguments(c.arguments);

        QTemporaryDir instanceDirectory;
        const std::filesystem::path directory = instanceDirectory.path().toStdString();
        SingleInstance instance(directory);
        ASSERT_EQ(instance.start(LaunchEvent{}), SingleInstance::Role::primary);
        AppController application(options());
        install(application);
        QObject::connect(&instance, &SingleInstance::reopenRequested, &application,
                         [&](LaunchEvent event) { application.applicationShouldHandleReopen(event); });

        application.applicationDidFinishLaunching(c.launchEvent);
        MainWindow* window = application.windowController();
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(window->isVisible(), c.shown);
        // The launch entry runs after the window decisions, on a later turn.
        EXPECT_EQ(launchEntries, 0);
        ASSERT_TRUE(QTest::qWaitFor([&] { return launchEntries == 1; }, kWaitMs));
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return server->pendingOperations() == 0; }, kWaitMs));
        EXPECT_EQ(server->isEnabled(), c.automationOn);
        EXPECT_EQ(servers.log,
                  c.automationOn ? std::vector<std::string>{"start 1"} : std::vector<std::string>{});

        // A reopen by the launch event, handed over by a later start, leaves the window as it
        // is; the user's reopen shows it. Neither starts anything.
        QSignalSpy reopens(&instance, &SingleInstance::reopenRequested);
        ASSERT_EQ(startElsewhere(directory, LaunchEvent{true}), SingleInstance::Role::handedOver);
        ASSERT_TRUE(QTest::qWaitFor([&] { return reopens.count() == 1; }, kWaitMs));
        EXPECT_EQ(window->isVisible(), c.shown);
        ASSERT_EQ(startElsewhere(directory, LaunchEvent{false}), SingleInstance::Role::handedOver);
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->isVisible(); }, kWaitMs));
        EXPECT_EQ(launchEntries, 1);
        EXPECT_EQ(servers.log.size(), c.automationOn ? 1u : 0u);
    }
}

TEST_F(LocalAutomationLaunchTest, TheMenuItemShowsTheSettingsWindow) {
    AppController application(options());
    install(application);
    application.applicationDidFinishLaunching(std::nullopt);
    QAction* item = application.windowController()->automationSettingsAction();
    EXPECT_TRUE(item->isVisible());
    item->trigger();
    ASSERT_NE(settings->settingsWindow(), nullptr);
    EXPECT_TRUE(settings->settingsWindow()->isVisible());
    EXPECT_EQ(settings->settingsWindow()->windowTitle(), "Automation Settings");
    // The launch entry queued by the launch has run before the fixture goes.
    ASSERT_TRUE(QTest::qWaitFor([&] { return launchEntries == 1; }, kWaitMs));
}

// The real program, launched in the background by the argument with automation enabled: it
// starts listening on its installation's socket without showing anything, and a second start
// while it runs hands over and exits.
TEST(LocalAutomationProgram, AnAutomationLaunchWithAutomationOnListensOnItsSocket) {
    QTemporaryDir dir;
    const std::filesystem::path config = dir.filePath("config").toStdString();
    {
        platform::UserDefaults settings(config / "Frameweaver" / "UserDefaults.plist");
        ASSERT_TRUE(settings.set(MCPServerController::kEnabledKey, true) == std::nullopt);
    }
    const std::filesystem::path bundle =
        std::filesystem::path(FW_BUNDLE_DIR).parent_path().parent_path();
    const std::filesystem::path socket = automation::MCPPeerIdentity::socketURL(bundle);
    std::error_code ignored;
    std::filesystem::remove(socket, ignored);  // left by an earlier run, which quit listening

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", dir.path());
    environment.insert("XDG_CONFIG_HOME", QString::fromStdString(config.string()));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    // No secret service for the retired credential's removal: not found, no failure.
    environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.filePath("no-bus"));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(FW_BUNDLE_DIR "/Frameweaver"), {"--frameweaver-automation-launch"});
    ASSERT_TRUE(program.waitForStarted(5000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return std::filesystem::is_socket(std::filesystem::symlink_status(socket, ignored)); },
        60000))
        << program.readAllStandardError().toStdString();
    EXPECT_EQ(program.state(), QProcess::Running);

    program.terminate();
    EXPECT_TRUE(program.waitForFinished(20000));
    std::filesystem::remove(socket, ignored);
}

}  // namespace
}  // namespace fw::testing
