#include "app/automationcontrol/MCPServerController.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <thread>

#include "app/automationcontrol/TokenStore.h"
#include "platform/UserDefaults.h"
#include "tests/app/automationcontrol/FakeAutomationServer.h"
#include "tests/support/QStringPrinter.h"

namespace fw::testing {
namespace {

constexpr int kWaitMs = 20000;

class MCPServerControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        defaults = std::make_unique<platform::UserDefaults>(
            dir.filePath("UserDefaults.plist").toStdString());
    }

    std::unique_ptr<MCPServerController> makeController() {
        MCPServerController::Options options;
        options.defaults = defaults.get();
        options.makeServer = servers.factory();
        options.removeRetiredCredential = [failure = migrationFailure] { return failure; };
        options.bundleURL = "/Applications/X.app";
        return std::make_unique<MCPServerController>(std::move(options));
    }

    // Waits until every queued start and stop has run.
    static void settle(MCPServerController& controller) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return controller.pendingOperations() == 0; }, kWaitMs));
    }

    std::optional<bool> storedEnabled() const {
        auto value = defaults->storedObject(MCPServerController::kEnabledKey);
        if (!value) {
            return std::nullopt;
        }
        return std::get<bool>(*value);
    }

    QTemporaryDir dir;
    std::unique_ptr<platform::UserDefaults> defaults;
    FakeServers servers;
    std::optional<platform::Error> migrationFailure;
};

TEST_F(MCPServerControllerTest, StartsAndStopsInTheOrderAsked) {
    auto controller = makeController();
    QSignalSpy transitions(controller.get(), &MCPServerController::isTransitioningChanged);
    bool started = false;
    bool stopped = false;
    controller->enable([&](std::optional<platform::Error> error) {
        EXPECT_FALSE(error);
        EXPECT_FALSE(stopped);
        started = true;
    });
    controller->disable([&] { stopped = true; });
    // Both are queued before anything has run, and the switch greys out at once.
    EXPECT_EQ(controller->pendingOperations(), 2);
    EXPECT_TRUE(controller->isTransitioning());
    EXPECT_TRUE(servers.log.empty());

    settle(*controller);
    EXPECT_TRUE(started);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(servers.log, (std::vector<std::string>{"start 1", "stop 1"}));
    // Busy from the first request until the last one finished: one change each way.
    EXPECT_EQ(transitions.count(), 2);
    EXPECT_FALSE(controller->isTransitioning());
    EXPECT_FALSE(controller->isEnabled());
    EXPECT_EQ(controller->status(), "Disabled");
    EXPECT_EQ(storedEnabled(), false);
}

TEST_F(MCPServerControllerTest, AFailedStartDoesNotKeepALaterStopFromRunning) {
    servers.startFailures.push_back(socketTakenError());
    auto controller = makeController();
    std::optional<platform::Error> startError;
    bool stopped = false;
    controller->enable([&](std::optional<platform::Error> error) { startError = error; });
    controller->enable([&](std::optional<platform::Error> error) { EXPECT_FALSE(error); });
    controller->disable([&] { stopped = true; });
    settle(*controller);

    ASSERT_TRUE(startError);
    EXPECT_EQ(startError->description, "Unix socket error 11");
    EXPECT_TRUE(stopped);
    EXPECT_EQ(servers.log, (std::vector<std::string>{"start 1", "start 2", "stop 2"}));
    EXPECT_FALSE(controller->isEnabled());
    EXPECT_EQ(storedEnabled(), false);
}

TEST_F(MCPServerControllerTest, AFailedStartShowsWhyAndChangesNothingElse) {
    servers.startFailures.push_back(socketTakenError());
    auto controller = makeController();
    controller->enable();
    settle(*controller);
    EXPECT_EQ(controller->status(), "Local automation could not start: Unix socket error 11");
    EXPECT_FALSE(controller->isEnabled());
    EXPECT_EQ(controller->activeConnections(), 0);
    EXPECT_EQ(storedEnabled(), std::nullopt);
}

TEST_F(MCPServerControllerTest, EnablingWhileRunningChangesNothing) {
    auto controller = makeController();
    controller->enable();
    settle(*controller);
    ASSERT_TRUE(controller->isEnabled());
    EXPECT_EQ(controller->status(), "Running");
    EXPECT_EQ(storedEnabled(), true);

    int writes = 0;
    auto observation = defaults->observe(MCPServerController::kEnabledKey,
                                         [&](const std::string&) { ++writes; });
    ASSERT_TRUE(defaults->remove(MCPServerController::kEnabledKey) == std::nullopt);
    writes = 0;
    controller->enable();
    EXPECT_TRUE(controller->isTransitioning());
    settle(*controller);
    EXPECT_FALSE(controller->isTransitioning());
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(storedEnabled(), std::nullopt);
    EXPECT_EQ(servers.log, (std::vector<std::string>{"start 1"}));
}

TEST_F(MCPServerControllerTest, DisablingWhileStoppedStillRecordsTheStop) {
    auto controller = makeController();
    controller->disable();
    settle(*controller);
    EXPECT_FALSE(controller->isEnabled());
    EXPECT_EQ(controller->activeConnections(), 0);
    EXPECT_EQ(controller->status(), "Disabled");
    EXPECT_EQ(storedEnabled(), false);
    EXPECT_TRUE(servers.log.empty());
}

TEST_F(MCPServerControllerTest, CountsOfAStoppedOrReplacedServerAreIgnored) {
    auto controller = makeController();
    controller->enable();
    settle(*controller);
    auto first = servers.made.at(0);

    // Reported from another thread, as the server does.
    std::thread([&] { first->reportConnections(3); }).join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->activeConnections() == 3; }, kWaitMs));
    EXPECT_EQ(controller->status(), "Connected (3)");
    first->reportConnections(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->status() == "Running"; }, kWaitMs));
    first->reportConnections(2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->activeConnections() == 2; }, kWaitMs));

    controller->disable();
    settle(*controller);
    // The 0 of its stop and anything later from it change nothing.
    first->reportConnections(5);
    controller->enable();
    settle(*controller);
    auto second = servers.made.at(1);
    first->reportConnections(7);
    second->reportConnections(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->activeConnections() == 1; }, kWaitMs));
    EXPECT_EQ(controller->status(), "Connected (1)");
    // Later reports of the first server arrive in order behind the second's: none applied.
    first->reportConnections(9);
    second->reportConnections(4);
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->activeConnections() == 4; }, kWaitMs));
    EXPECT_EQ(controller->status(), "Connected (4)");
}

TEST_F(MCPServerControllerTest, ACountBeforeTheStartFinishedIsKeptAndTheStatusReadsRunning) {
    servers.holdStarts = true;
    auto controller = makeController();
    controller->enable();
    ASSERT_TRUE(QTest::qWaitFor([&] { return servers.made.size() == 1; }, kWaitMs));
    servers.made[0]->reportConnections(2);
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->activeConnections() == 2; }, kWaitMs));
    EXPECT_EQ(controller->status(), "Disabled");
    servers.made[0]->releaseStart();
    settle(*controller);
    EXPECT_EQ(controller->status(), "Running");
    EXPECT_EQ(controller->activeConnections(), 2);
}

TEST_F(MCPServerControllerTest, AnEndedAcceptLoopStopsAutomationButKeepsTheUserChoice) {
    auto controller = makeController();
    controller->enable();
    settle(*controller);
    servers.made[0]->reportConnections(1);
    std::thread([&] {
        servers.made[0]->endAcceptLoop(platform::Error("SocketErrorDomain", 9, "Unix socket error 9"));
    }).join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->isEnabled(); }, kWaitMs));
    settle(*controller);
    EXPECT_EQ(controller->status(), "Local automation stopped: Unix socket error 9");
    EXPECT_EQ(controller->activeConnections(), 0);
    EXPECT_EQ(servers.log, (std::vector<std::string>{"start 1", "stop 1"}));
    EXPECT_EQ(storedEnabled(), true);

    // The next start makes a new server.
    controller->enable();
    settle(*controller);
    EXPECT_TRUE(controller->isEnabled());
    EXPECT_EQ(servers.log.back(), "start 2");
    // An end reported by the old server no longer matters.
    servers.made[0]->endAcceptLoop(platform::Error("SocketErrorDomain", 9, "Unix socket error 9"));
    controller->disable();
    settle(*controller);
    EXPECT_EQ(controller->status(), "Disabled");
    EXPECT_EQ(servers.log, (std::vector<std::string>{"start 1", "stop 1", "start 2", "stop 2"}));
}

TEST_F(MCPServerControllerTest, CreatingTheControllerRemovesTheRetiredDefault) {
    ASSERT_TRUE(defaults->set(MCPServerController::kRetiredEnabledKey, true) == std::nullopt);
    auto controller = makeController();
    EXPECT_EQ(defaults->storedObject(MCPServerController::kRetiredEnabledKey), std::nullopt);
}

TEST_F(MCPServerControllerTest, TheLaunchEntryFollowsTheUserDefault) {
    struct Case {
        std::optional<bool> enabled;
        bool cleanupFails;
        bool startFails;
        std::vector<std::string> log;
        QString status;
    };
    const QString cleanup =
        "Legacy MCP cleanup failed: Could not remove the retired MCP credential from Keychain (2).";
    const Case cases[] = {
        {std::nullopt, false, false, {}, "Disabled"},
        {std::nullopt, true, false, {}, cleanup},
        {false, true, false, {}, cleanup},
        {true, false, false, {"start 1"}, "Running"},
        // Shown only when automation is not to be started.
        {true, true, false, {"start 1"}, "Running"},
        {true, false, true, {"start 1"}, "Local automation could not start: Unix socket error 11"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status.toStdString());
        servers = FakeServers();
        if (c.startFails) {
            servers.startFailures.push_back(socketTakenError());
        }
        migrationFailure.reset();
        if (c.cleanupFails) {
            migrationFailure = platform::Error("TokenStoreErrorDomain", 2,
                                               "Could not remove the retired MCP credential "
                                               "from Keychain (2).");
        }
        if (c.enabled) {
            ASSERT_TRUE(defaults->set(MCPServerController::kEnabledKey, *c.enabled) ==
                        std::nullopt);
        } else {
            ASSERT_TRUE(defaults->remove(MCPServerController::kEnabledKey) == std::nullopt);
        }
        auto controller = makeController();
        bool done = false;
        controller->startAtLaunchIfEnabled([&] { done = true; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, kWaitMs));
        EXPECT_EQ(servers.log, c.log);
        EXPECT_EQ(controller->status(), c.status);
        // A failed start leaves the user default as it was: the next launch tries again.
        EXPECT_EQ(storedEnabled(), c.enabled);
    }
}

}  // namespace
}  // namespace fw::testing

namespace fw {
namespace {

TEST(TokenStoreError, SaysWhatCouldNotBeRemovedWithTheStatus) {
    EXPECT_EQ(TokenStoreError{-25293}.description(),
              "Could not remove the retired MCP credential from Keychain (-25293).");
    const platform::Error error = TokenStoreError{2}.toError();
    EXPECT_EQ(error.domain, kTokenStoreErrorDomain);
    EXPECT_EQ(error.code, 2);
}

}  // namespace
}  // namespace fw
