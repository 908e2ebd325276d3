// AppController: the application's start and end. At launch it creates the main window and
// shows it, or keeps it hidden when the launch comes from automation; it shows the window
// again when the user starts the application a second time (unless that start comes from
// automation); it keeps the application running with no window open; and it asks before
// quitting while a movie is being exported ("Cancel the export and quit?"), letting the
// application end only once the cancelled export has ended.
//
// Thread-safety: a QObject of the main thread; everything runs there.
#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>

#include "app/launch/AutomationLaunch.h"
#include "app/window/MainWindow.h"

namespace fw {

class ExportCoordinator;
class PanelService;

struct AppControllerOptions {
    // Passed to the main window.
    MainWindowDependencies window;
    // Where the quit question is asked; Qt's application-modal alert when null.
    PanelService* panels = nullptr;
    // Ends the application; when empty, `QCoreApplication::exit(0)` on the next turn of the
    // main loop.
    std::function<void()> terminate;
};

class AppController : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kQuitMessage = "Cancel the export and quit?";
    static constexpr const char* kQuitInformative =
        "The current export will be cancelled before Frameweaver quits. Any previous movie "
        "will be preserved.";
    static constexpr const char* kKeepExporting = "Keep Exporting";
    static constexpr const char* kCancelExportAndQuit = "Cancel Export and Quit";

    using Options = AppControllerOptions;

    // What `applicationShouldTerminate` answers.
    enum class TerminateReply { terminateNow, terminateCancel, terminateLater };

    explicit AppController(Options options = {}, QObject* parent = nullptr);
    ~AppController() override;

    // The main window, made at launch; null before.
    MainWindow* windowController() const { return windowController_.get(); }

    // Launch finished: asks whether this is an automation launch (with `launchEvent` as the
    // event being handled), creates the main window, shows it or keeps it hidden, and calls
    // AutomationBootstrap::finishLaunching last.
    void applicationDidFinishLaunching(std::optional<LaunchEvent> launchEvent);
    // A later start handed over `reopenEvent`: shows and raises the window unless the reopen
    // comes from automation or there is no window yet. True when the window was shown.
    bool applicationShouldHandleReopen(std::optional<LaunchEvent> reopenEvent);
    // Always false: closing the last window does not quit.
    static bool applicationShouldTerminateAfterLastWindowClosed() { return false; }

    // The Automation Settings menu item. Does nothing until a handler is set (the item is
    // hidden meanwhile); local automation sets it.
    void showAutomationSettings();
    void setAutomationSettingsHandler(std::function<void()> handler);

    // Quit requested: now when no export runs; otherwise asks, and on "Cancel Export and
    // Quit" cancels the export and answers later (see `replyToApplicationShouldTerminate`).
    TerminateReply applicationShouldTerminate();
    // The answer to a later reply: true lets the application end.
    void replyToApplicationShouldTerminate(bool shouldTerminate);
    // The Quit menu item: asks `applicationShouldTerminate` and ends the application as it
    // answers (at once, never, or when the reply comes).
    void requestQuit();

    // A request to end from outside the windows (a termination signal from the session or
    // a terminal): no question is asked; a running export is cancelled and the application
    // ends once its end has been recorded, so no partial movie or temporary file is left.
    void terminateForSignal();

    // True once a quit was confirmed and the application waits for the export to end.
    bool isTerminating() const { return waitingForReply_; }

private:
    void terminateApplication();

    Options options_;
    std::unique_ptr<PanelService> ownPanels_;
    PanelService* panels_;
    ExportCoordinator& coordinator_;
    std::unique_ptr<MainWindow> windowController_;
    std::function<void()> automationSettingsHandler_;
    // A quit was answered "later" and waits for the reply.
    bool waitingForReply_ = false;
    // The reply came, possibly before "later" was answered (the export ended while the
    // question was open).
    bool replyReceived_ = false;
    bool terminated_ = false;
};

}  // namespace fw
