#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <thread>

#include "app/launch/SingleInstance.h"
#include "tests/app/launch/HandOver.h"

namespace fw {
namespace {

std::filesystem::path pathOf(const QTemporaryDir& dir) {
    return dir.path().toStdString();
}

using testing::startElsewhere;

TEST(SingleInstance, ALaterStartHandsItsLaunchEventToTheRunningOne) {
    QTemporaryDir dir;
    SingleInstance primary(pathOf(dir));
    ASSERT_EQ(primary.start(LaunchEvent{}), SingleInstance::Role::primary)
        << primary.errorString().toStdString();
    QSignalSpy reopens(&primary, &SingleInstance::reopenRequested);

    EXPECT_EQ(startElsewhere(pathOf(dir), LaunchEvent{true}), SingleInstance::Role::handedOver);
    EXPECT_EQ(startElsewhere(pathOf(dir), LaunchEvent{false}), SingleInstance::Role::handedOver);
    ASSERT_TRUE(QTest::qWaitFor([&] { return reopens.count() == 2; }, 5000));
    EXPECT_EQ(reopens[0][0].value<LaunchEvent>(), LaunchEvent{true});
    EXPECT_EQ(reopens[1][0].value<LaunchEvent>(), LaunchEvent{false});
}

TEST(SingleInstance, ASocketLeftByAGoneInstanceIsReplaced) {
    QTemporaryDir dir;
    {
        SingleInstance first(pathOf(dir));
        ASSERT_EQ(first.start(LaunchEvent{}), SingleInstance::Role::primary);
    }
    QFile stale(QString::fromStdString((pathOf(dir) / "Frameweaver.instance").string()));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();

    SingleInstance next(pathOf(dir));
    EXPECT_EQ(next.start(LaunchEvent{}), SingleInstance::Role::primary)
        << next.errorString().toStdString();
}

TEST(SingleInstance, GarbageOnTheSocketIsDroppedWithoutAReopen) {
    QTemporaryDir dir;
    SingleInstance primary(pathOf(dir));
    ASSERT_EQ(primary.start(LaunchEvent{}), SingleInstance::Role::primary);
    QSignalSpy reopens(&primary, &SingleInstance::reopenRequested);
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(primary.socketPath().string()));
    ASSERT_TRUE(socket.waitForConnected(2000));
    socket.write("FWV-LAUNCH/1 automation=yes\n");
    socket.flush();
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return socket.state() == QLocalSocket::UnconnectedState; }, 5000));
    EXPECT_EQ(reopens.count(), 0);
}

// The real program: a second start while one runs exits at once, leaving the first running.
TEST(SingleInstance, TheSecondProgramStartExitsAfterHandingOver) {
    QTemporaryDir dir;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", dir.path());
    environment.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    const QString program = QStringLiteral(FW_BUNDLE_DIR "/Frameweaver");
    ASSERT_TRUE(QFileInfo(program).isExecutable()) << program.toStdString();

    QProcess first;
    first.setProcessEnvironment(environment);
    first.start(program, {"--frameweaver-automation-launch"});
    ASSERT_TRUE(first.waitForStarted(5000));
    const QString socket = dir.filePath("Frameweaver.instance");
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(socket); }, 30000))
        << first.readAllStandardError().toStdString();

    QProcess second;
    environment.insert("FRAMEWEAVER_AUTOMATION_LAUNCH", "1");
    second.setProcessEnvironment(environment);
    second.start(program, {});
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
    EXPECT_EQ(first.state(), QProcess::Running);

    first.terminate();
    EXPECT_TRUE(first.waitForFinished(10000));
}

}  // namespace
}  // namespace fw
