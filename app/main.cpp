// Program entry of Frameweaver: one running instance per user. A start while another
// instance runs hands its launch event to that instance (which shows its window unless the
// start came from automation) and exits.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/actions/ActionsBusService.h"
#include "app/automationcontrol/SocketServerAdapter.h"
#include "app/coordinator/ExportCoordinator.h"
#include "app/folders/FileAccessManager.h"
#include "app/launch/AppController.h"
#include "app/launch/AutomationLaunch.h"
#include "app/launch/InstallationBusName.h"
#include "app/launch/LocalAutomationHooks.h"
#include "app/launch/SingleInstance.h"
#include "app/tools/MovieMCPTools.h"
#include "platform/AccessGrants.h"

namespace {

// Termination signals reach the main loop through this pipe: the handler only writes a byte.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// Ends the application like a quit without a question (an export is cancelled first) when
// the session or a terminal asks it to stop.
void routeTerminationSignals(fw::AppController& controller) {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &controller);
    QObject::connect(notifier, &QSocketNotifier::activated, &controller, [&controller] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        controller.terminateForSignal();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Read and cleared before anything else runs, so no thread sees the environment change
    // and nothing the application starts inherits the flag.
    const fw::LaunchEvent launchEvent = fw::launch_request::takeLaunchEventFromEnvironment();
    std::vector<std::string> arguments(argv, argv + argc);
    fw::AutomationBootstrap::setProcessArguments(arguments);
    // A start for automation runs in "/", not in whatever folder the AI client that started the
    // companion happened to be in (which it would otherwise keep busy, on a volume perhaps
    // meant to be unmounted).
    if (fw::launch_request::isAutomationLaunch(arguments, launchEvent)) {
        [[maybe_unused]] const int changed = ::chdir("/");
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Frameweaver"));
    QApplication::setApplicationDisplayName(QStringLiteral("Frameweaver"));
    QGuiApplication::setDesktopFileName(QStringLiteral("Frameweaver"));
    QApplication::setQuitOnLastWindowClosed(false);

    fw::SingleInstance instance(fw::SingleInstance::defaultDirectory());
    // What this start hands over when another instance runs: its own launch event, with the
    // command-line marker counted as part of it.
    const fw::LaunchEvent handOver{fw::launch_request::isAutomationLaunch(arguments, launchEvent)};
    switch (instance.start(handOver)) {
        case fw::SingleInstance::Role::primary:
            break;
        case fw::SingleInstance::Role::handedOver:
            return 0;
        case fw::SingleInstance::Role::unresponsive:
            std::fprintf(stderr, "%s\n", qUtf8Printable(instance.errorString()));
            return 1;
        case fw::SingleInstance::Role::failed:
            // Run anyway: a later start simply will not find this one.
            std::fprintf(stderr, "%s\n", qUtf8Printable(instance.errorString()));
            break;
    }

    fw::AppController controller;
    // Every connection that local automation admits gets the application's tool set.
    fw::setSocketServerSessionSetup([](mcp::Server& session, std::function<bool()> isOpen) {
        fw::MovieMCPTools::registerOn(session, std::move(isOpen));
    });
    fw::installLocalAutomation(controller);
    routeTerminationSignals(controller);
    // The scripted actions are published for every start, hidden or not; without a session
    // bus the application runs without them. Their copy folder goes when the application ends.
    fw::actions::ActionsBusService actions({fw::FileAccessManager::shared(),
                                            fw::ExportCoordinator::shared(),
                                            fw::platform::AccessGrants::shared(),
                                            fw::actions::MovieCopyFolder(
                                                fw::actions::MovieCopyFolder::defaultLocation())});
    actions.start();
    // A companion that activated this installation through the session bus is answered now;
    // it then waits for the automation socket.
    fw::claimInstallationBusName();
    QObject::connect(
        &instance, &fw::SingleInstance::reopenRequested, &controller,
        [&controller](fw::LaunchEvent event) { controller.applicationShouldHandleReopen(event); });
    QTimer::singleShot(0, &controller, [&controller, launchEvent] {
        controller.applicationDidFinishLaunching(launchEvent);
    });
    const int status = QApplication::exec();
    fw::shutDownSocketServers();
    return status;
}
