#include "app/launch/AutomationLaunch.h"

#include <QCoreApplication>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <cassert>
#include <utility>

namespace fw {
namespace {

// Main-thread state of the bootstrap: the event being handled, the arguments and the hook.
struct BootstrapState {
    std::optional<LaunchEvent> currentEvent;
    std::optional<std::vector<std::string>> arguments;
    std::function<void()> finishLaunchingHook;
};

BootstrapState& state() {
    static BootstrapState instance;
    return instance;
}

void assertMainThread() {
    assert(QCoreApplication::instance() == nullptr ||
           QThread::currentThread() == QCoreApplication::instance()->thread());
}

std::vector<std::string> processArguments() {
    if (state().arguments) {
        return *state().arguments;
    }
    std::vector<std::string> arguments;
    for (const QString& argument : QCoreApplication::arguments()) {
        arguments.push_back(argument.toStdString());
    }
    return arguments;
}

}  // namespace

AutomationBootstrap::EventScope::EventScope(std::optional<LaunchEvent> event)
    : previous_(std::exchange(state().currentEvent, event)) {
    assertMainThread();
}

AutomationBootstrap::EventScope::~EventScope() {
    state().currentEvent = previous_;
}

bool AutomationBootstrap::isAutomationLaunch() {
    assertMainThread();
    const std::vector<std::string> arguments = processArguments();
    return launch_request::isAutomationLaunch(arguments, state().currentEvent);
}

bool AutomationBootstrap::isAutomationReopen() {
    assertMainThread();
    return launch_request::isAutomationLaunch({}, state().currentEvent);
}

void AutomationBootstrap::finishLaunching() {
    assertMainThread();
    if (!state().finishLaunchingHook) {
        return;
    }
    QTimer::singleShot(0, QCoreApplication::instance(),
                       [hook = state().finishLaunchingHook] { hook(); });
}

void AutomationBootstrap::setFinishLaunchingHook(std::function<void()> hook) {
    assertMainThread();
    state().finishLaunchingHook = std::move(hook);
}

void AutomationBootstrap::setProcessArguments(std::vector<std::string> arguments) {
    state().arguments = std::move(arguments);
}

}  // namespace fw
