// MCPServerController: the one place that turns local automation on and off. It owns the
// socket server while automation runs, remembers the user's choice in the user defaults
// ("Frameweaver.LocalAutomationEnabled": true after each successful start, false after each
// stop), publishes a small state for the Automation Settings window (running, busy, a status
// line, the number of connections), and runs every start and stop one after another, in the
// order asked, whoever asks: the launch path and the settings window's switch.
//
// The lifecycle chain: every start or stop is queued; it begins on a later turn of the main
// loop, once every earlier one has finished. A failed operation neither blocks nor fails the
// later ones; only its own caller sees its error. `pendingOperations` counts the queued and
// running ones and `isTransitioning` is true while it is above 0 (set before the request
// returns, so the switch greys out at once).
//
// Connection counts arrive from the server's own threads. Each server is created with the
// generation current at its start; a new generation is drawn at every start and every stop,
// and a report is applied (on the main thread) only while its generation is still current,
// so a stopped or replaced server cannot change the count or the status.
//
// When created it removes the retired user default "Frameweaver.MCPEnabled" and, off the main
// thread, the retired credential (TokenStore.h); a failure of the latter is shown only by the
// launch entry, only when automation is not to be started.
//
// Thread-safety: a QObject of the main thread; everything runs there except
// `connectionCountChanged`, which may be called from any thread.
#pragma once

#include <QObject>
#include <QString>
#include <QUuid>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/automationcontrol/AutomationServer.h"
#include "platform/Error.h"

namespace fw::platform {
class UserDefaults;
}

namespace fw {

class MCPServerController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isEnabled READ isEnabled NOTIFY isEnabledChanged)
    Q_PROPERTY(bool isTransitioning READ isTransitioning NOTIFY isTransitioningChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(qint64 activeConnections READ activeConnections NOTIFY activeConnectionsChanged)

public:
    static constexpr const char* kEnabledKey = "Frameweaver.LocalAutomationEnabled";
    static constexpr const char* kRetiredEnabledKey = "Frameweaver.MCPEnabled";

    static constexpr const char* kStatusDisabled = "Disabled";
    static constexpr const char* kStatusRunning = "Running";
    static constexpr const char* kCouldNotStartPrefix = "Local automation could not start: ";
    static constexpr const char* kStoppedPrefix = "Local automation stopped: ";
    static constexpr const char* kCleanupFailedPrefix = "Legacy MCP cleanup failed: ";

    using Completion = std::function<void(std::optional<platform::Error>)>;
    // One lifecycle operation: does its work and then calls its completion exactly once, on
    // the main thread, with its failure if any.
    using Operation = std::function<void(Completion)>;

    struct Options {
        // Where the choice is remembered; the standard user defaults when null. Must outlive
        // the controller.
        platform::UserDefaults* defaults = nullptr;
        // Makes the socket server for a start; the real one when empty.
        AutomationServerFactory makeServer;
        // Removes the retired credential (run on a worker thread); TokenStore's when empty.
        std::function<std::optional<platform::Error>()> removeRetiredCredential;
        // The application bundle whose companion the configuration names; the running one
        // (two folders above the executable's) when empty.
        std::filesystem::path bundleURL;
    };

    // The one controller, created on first use on the main thread; lives for the process.
    static MCPServerController& shared();

    explicit MCPServerController(Options options, QObject* parent = nullptr);
    ~MCPServerController() override;

    bool isEnabled() const { return isEnabled_; }
    bool isTransitioning() const { return isTransitioning_; }
    const QString& status() const { return status_; }
    qint64 activeConnections() const { return activeConnections_; }
    int pendingOperations() const { return pendingOperations_; }
    // The failure of the retired-credential removal, once it has finished.
    const std::optional<platform::Error>& migrationError() const { return migrationError_; }

    // The launch entry: starts automation when the user default says so (a failure shows in
    // the status line and goes no further); otherwise shows a failed credential removal in the
    // status line. `done` (optional) runs when that is settled. Never fails.
    void startAtLaunchIfEnabled(std::function<void()> done = {});
    // Queues a start and calls `done` with its failure when it has run.
    void enable(Completion done = {});
    // Queues a stop and calls `done` when it has run. Never fails.
    void disable(std::function<void()> done = {});

    // A connection count reported by the server made in `generation`. Any thread.
    void connectionCountChanged(int count, QUuid generation);

    // The configuration text for this application's companion (CodexConfiguration.h).
    std::string codexConfiguration() const;

signals:
    void isEnabledChanged();
    void isTransitioningChanged();
    void statusChanged();
    void activeConnectionsChanged();

private:
    struct Queued {
        Operation operation;
        Completion done;
    };

    void enqueueLifecycleOperation(Operation operation, Completion done);
    void runNextOperation();
    void startLocalAutomation(Completion done);
    void stopLocalAutomation(Completion done);
    // The running server stopped accepting on its own: stops it and shows why, leaving the user
    // default as it is so the next launch tries again.
    void acceptLoopEnded(const platform::Error& error, QUuid generation);
    void applyConnectionCount(int count, QUuid generation);
    void migrationFinished(std::optional<platform::Error> error);
    void whenMigrationFinished(std::function<void()> then);
    // Held weakly by everything that comes back later (server completions, reports from other
    // threads, the credential removal): it expires when the controller is destroyed, which
    // happens on the main thread, where those are checked.
    std::weak_ptr<MCPServerController*> lifetime();

    void setEnabled(bool value);
    void setTransitioning(bool value);
    void setStatus(const QString& value);
    void setActiveConnections(qint64 value);
    void writeEnabledDefault(bool value);

    platform::UserDefaults& defaults_;
    AutomationServerFactory makeServer_;
    std::filesystem::path bundleURL_;

    bool isEnabled_ = false;
    bool isTransitioning_ = false;
    QString status_ = QString::fromUtf8(kStatusDisabled);
    qint64 activeConnections_ = 0;
    std::shared_ptr<AutomationServer> server_;
    std::deque<Queued> queue_;
    bool operationRunning_ = false;
    int pendingOperations_ = 0;
    bool migrationFinished_ = false;
    std::optional<platform::Error> migrationError_;
    std::vector<std::function<void()>> migrationWaiters_;
    QUuid connectionGeneration_ = QUuid::createUuid();
    std::shared_ptr<MCPServerController*> self_ = std::make_shared<MCPServerController*>(this);
};

}  // namespace fw
