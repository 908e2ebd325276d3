#include "app/launch/AutomationLaunch.h"

#include <QCoreApplication>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstdlib>
#include <string_view>
#include <utility>

namespace fw {
namespace launch_request {

bool isAutomationLaunch(std::span<const std::string> arguments,
                        const std::optional<LaunchEvent>& currentEvent) {
    if (std::any_of(arguments.begin(), arguments.end(),
                    [](const std::string& argument) { return argument == kArgument; })) {
        return true;
    }
    return currentEvent.has_value() && currentEvent->automation;
}

bool flagFromEnvironmentValue(const char* value) {
    if (value == nullptr) {
        return false;
    }
    std::string_view text(value);
    const auto isBlank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        text.remove_prefix(1);
    }
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return false;
    }
    return std::any_of(text.begin(), text.end(), [](char c) { return c != '0'; });
}

LaunchEvent takeLaunchEventFromEnvironment() {
    LaunchEvent event;
    event.automation = flagFromEnvironmentValue(std::getenv(kEnvironmentVariable));
    ::unsetenv(kEnvironmentVariable);
    return event;
}

}  // namespace launch_request

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
