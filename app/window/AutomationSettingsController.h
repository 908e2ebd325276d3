// AutomationSettingsController: owns the one Automation Settings window, made on its first
// `showWindow` and kept for the whole process: closing it only hides it, so the next
// `showWindow` brings back the same window where the user left it (it is centred only when
// made). Reached from the application menu's "Automation Settings…".
//
// The window: 680 × 590, titled "Automation Settings", closable and minimisable, not
// resizable; its content is an AutomationSettingsView.
//
// Thread-safety: a QObject of the main thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <memory>

class QWidget;

namespace fw {

class AutomationSettingsServices;
class AutomationSettingsView;
class FileAccessManager;
class MCPServerController;

class AutomationSettingsController : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kWindowTitle = "Automation Settings";
    static constexpr int kWidth = 680;
    static constexpr int kHeight = 590;

    // What the window shows and uses; null members mean the process-wide ones (Qt's panels and
    // clipboard for `services`). Given ones must outlive the controller.
    struct Options {
        FileAccessManager* access = nullptr;
        MCPServerController* server = nullptr;
        AutomationSettingsServices* services = nullptr;
    };

    // The one controller, created on first use on the main thread; lives for the process.
    static AutomationSettingsController& shared();

    AutomationSettingsController();
    explicit AutomationSettingsController(Options options, QObject* parent = nullptr);
    ~AutomationSettingsController() override;

    // Shows the window (making it the first time), in front, and activates the application.
    void showWindow();

    // The window; null until first shown.
    QWidget* settingsWindow() const { return settingsWindow_.get(); }
    AutomationSettingsView* view() const { return view_; }

private:
    Options options_;
    std::unique_ptr<QWidget> settingsWindow_;
    AutomationSettingsView* view_ = nullptr;
};

}  // namespace fw
