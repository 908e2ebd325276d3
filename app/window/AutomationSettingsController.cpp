#include "app/window/AutomationSettingsController.h"

#include <QApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include "app/automationcontrol/MCPServerController.h"
#include "app/folders/FileAccessManager.h"
#include "app/window/AutomationSettingsServices.h"
#include "app/window/AutomationSettingsView.h"

namespace fw {

AutomationSettingsController& AutomationSettingsController::shared() {
    static auto* controller = new AutomationSettingsController();  // lives as long as the process
    return *controller;
}

AutomationSettingsController::AutomationSettingsController()
    : AutomationSettingsController(Options{}) {}

AutomationSettingsController::AutomationSettingsController(Options options, QObject* parent)
    : QObject(parent), options_(options) {}

AutomationSettingsController::~AutomationSettingsController() = default;

void AutomationSettingsController::showWindow() {
    if (settingsWindow_ == nullptr) {
        auto window = std::make_unique<QWidget>(
            nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                         Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint);
        window->setWindowTitle(tr(kWindowTitle));
        // Closing hides the window; it is never destroyed.
        window->setAttribute(Qt::WA_DeleteOnClose, false);
        window->setAttribute(Qt::WA_QuitOnClose, false);
        window->setFixedSize(kWidth, kHeight);
        auto* layout = new QVBoxLayout(window.get());
        layout->setContentsMargins(0, 0, 0, 0);
        view_ = new AutomationSettingsView(
            options_.access != nullptr ? *options_.access : FileAccessManager::shared(),
            options_.server != nullptr ? *options_.server : MCPServerController::shared(),
            options_.services != nullptr ? *options_.services
                                         : AutomationSettingsServices::system());
        layout->addWidget(view_);
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame(QPoint(), window->size());
            frame.moveCenter(screen->availableGeometry().center());
            window->move(frame.topLeft());
        }
        settingsWindow_ = std::move(window);
    }
    QWidget* window = settingsWindow_.get();
    if (window->isMinimized()) {
        window->showNormal();
    } else {
        window->show();
    }
    window->raise();
    window->activateWindow();
}

}  // namespace fw
