// SingleInstance: keeps one running application per user. The first start becomes the
// primary instance: it holds a lock file and listens on a local socket beside it. A later
// start finds the lock taken, hands its launch event to the primary over the socket (one
// line, answered with one line) and should then exit; the primary reports the handed-over
// event as a reopen request.
//
// Both files live in the user's runtime directory (mode 0700, so only this user can reach
// the socket). The lock, not the socket, decides who is primary, so a socket file left by
// a crashed instance is removed and replaced, and two starts at the same moment agree.
//
// Wire form of a hand-over: the start sends "FWV-LAUNCH/1 automation=<0|1>\n" and the primary
// answers "OK\n". Anything else is dropped; a connection that sends nothing valid within a
// second is closed.
//
// Thread-safety: a QObject of the main thread. `start` blocks (briefly) when handing over.
#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <filesystem>

#include "app/launch/AutomationLaunch.h"

class QLocalServer;
class QLocalSocket;

namespace fw {

class SingleInstance : public QObject {
    Q_OBJECT

public:
    enum class Role {
        // This process is the one instance and listens for later starts.
        primary,
        // Another instance runs and has taken this start's launch event: exit now.
        handedOver,
        // Another instance holds the lock but did not take the launch event in time.
        unresponsive,
        // Neither could be done (no usable directory or lock file, or listening failed): the
        // process may run on, unreachable by later starts.
        failed,
    };

    // The lock file and the socket, named "Frameweaver.instance.lock" and
    // "Frameweaver.instance", in `directory` (created with mode 0700 when missing).
    explicit SingleInstance(std::filesystem::path directory, QObject* parent = nullptr);
    // Stops listening and releases the lock; the socket file is removed.
    ~SingleInstance() override;

    // `$XDG_RUNTIME_DIR` when set to an absolute directory; else `/run/user/<uid>` when it
    // exists; else `~/.local/state/Frameweaver`.
    static std::filesystem::path defaultDirectory();

    // Becomes the primary instance, or hands `event` to the running one, trying for at most
    // `timeout` (a primary that is still starting gets that long to start listening).
    Role start(const LaunchEvent& event,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

    // Why `start` failed, as a sentence.
    const QString& errorString() const { return errorString_; }

    std::filesystem::path socketPath() const;
    std::filesystem::path lockPath() const;

signals:
    // A later start handed over its launch event (primary only).
    void reopenRequested(fw::LaunchEvent event);

private:
    bool tryLock();
    bool listen();
    bool handOver(const LaunchEvent& event, std::chrono::milliseconds remaining);
    void accept();
    void readHandOver(QLocalSocket* socket);

    std::filesystem::path directory_;
    int lockFd_ = -1;
    QLocalServer* server_ = nullptr;
    QString errorString_;
};

}  // namespace fw
