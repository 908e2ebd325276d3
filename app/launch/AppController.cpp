#include "app/launch/AppController.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>

#include "app/coordinator/ExportCoordinator.h"
#include "app/window/MainWindowPanels.h"

namespace fw {

AppController::AppController(Options options, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      coordinator_(options_.window.coordinator != nullptr ? *options_.window.coordinator
                                                          : ExportCoordinator::shared()) {
    if (options_.panels == nullptr) {
        // No parent window: the question is application-modal, never a sheet.
        ownPanels_ = std::make_unique<MainWindowPanels>(nullptr);
    }
    panels_ = options_.panels != nullptr ? options_.panels : ownPanels_.get();
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        gui->setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
    }
}

AppController::~AppController() = default;

void AppController::applicationDidFinishLaunching(std::optional<LaunchEvent> launchEvent) {
    bool automationLaunch = false;
    {
        AutomationBootstrap::EventScope scope(launchEvent);
        // Asked before any window exists.
        automationLaunch = AutomationBootstrap::isAutomationLaunch();
    }
    windowController_ = std::make_unique<MainWindow>(options_.window);
    MainWindow* window = windowController_.get();
    connect(window, &MainWindow::quitRequested, this, &AppController::requestQuit);
    connect(window, &MainWindow::automationSettingsRequested, this,
            &AppController::showAutomationSettings);
    window->automationSettingsAction()->setVisible(automationSettingsHandler_ != nullptr);

    if (automationLaunch) {
        // Built but not shown, and nothing in it holds the focus, so no half-made edit can
        // make the coordinator's busy rule refuse an automation export.
        window->ensurePolished();
        if (QWidget* focus = window->focusWidget()) {
            focus->clearFocus();
        }
    } else {
        window->show();
    }
    AutomationBootstrap::finishLaunching();
}

bool AppController::applicationShouldHandleReopen(std::optional<LaunchEvent> reopenEvent) {
    if (windowController_ == nullptr) {
        return false;
    }
    {
        AutomationBootstrap::EventScope scope(reopenEvent);
        if (AutomationBootstrap::isAutomationReopen()) {
            return false;
        }
    }
    MainWindow* window = windowController_.get();
    if (window->isMinimized()) {
        window->showNormal();
    } else {
        window->show();
    }
    window->raise();
    window->activateWindow();
    return true;
}

void AppController::showAutomationSettings() {
    if (automationSettingsHandler_) {
        automationSettingsHandler_();
    }
}

void AppController::setAutomationSettingsHandler(std::function<void()> handler) {
    automationSettingsHandler_ = std::move(handler);
    if (windowController_ != nullptr) {
        windowController_->automationSettingsAction()->setVisible(automationSettingsHandler_ !=
                                                                  nullptr);
    }
}

AppController::TerminateReply AppController::applicationShouldTerminate() {
    if (waitingForReply_) {
        return TerminateReply::terminateLater;  // already confirmed; the export is ending
    }
    if (!coordinator_.hasActiveExport()) {
        return TerminateReply::terminateNow;
    }
    PanelService::Alert alert;
    alert.messageText = QString::fromUtf8(kQuitMessage);
    alert.informativeText = QString::fromUtf8(kQuitInformative);
    alert.buttons = {QString::fromUtf8(kKeepExporting), QString::fromUtf8(kCancelExportAndQuit)};
    alert.style = PanelService::Alert::Style::warning;
    QPointer<AppController> self(this);
    const int answer = panels_->askQuestion(alert);
    if (self == nullptr || answer != 1) {
        return TerminateReply::terminateCancel;
    }
    // The export may have ended while the question was open: the coordinator then calls
    // the completion at once, before "later" is answered. `requestQuit` looks for that.
    replyReceived_ = false;
    coordinator_.prepareForTermination([self] {
        if (self != nullptr) {
            self->replyToApplicationShouldTerminate(true);
        }
    });
    return TerminateReply::terminateLater;
}

void AppController::replyToApplicationShouldTerminate(bool shouldTerminate) {
    if (!shouldTerminate) {
        waitingForReply_ = false;
        return;
    }
    replyReceived_ = true;
    if (waitingForReply_) {
        terminateApplication();
    }
}

void AppController::requestQuit() {
    switch (applicationShouldTerminate()) {
        case TerminateReply::terminateNow:
            terminateApplication();
            break;
        case TerminateReply::terminateCancel:
            break;
        case TerminateReply::terminateLater:
            if (!waitingForReply_) {
                waitingForReply_ = true;
                if (replyReceived_) {
                    terminateApplication();  // the export had already ended
                }
            }
            break;
    }
}

void AppController::terminateForSignal() {
    if (waitingForReply_) {
        return;
    }
    waitingForReply_ = true;
    QPointer<AppController> self(this);
    coordinator_.prepareForTermination([self] {
        if (self != nullptr) {
            self->replyToApplicationShouldTerminate(true);
        }
    });
}

void AppController::terminateApplication() {
    if (terminated_) {
        return;
    }
    terminated_ = true;
    if (options_.terminate) {
        options_.terminate();
        return;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

}  // namespace fw
