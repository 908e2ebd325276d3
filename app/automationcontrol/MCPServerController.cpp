#include "app/automationcontrol/MCPServerController.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <QTimer>
#include <utility>

#include "LocalAutomation/MCPPeerIdentity.h"
#include "app/automationcontrol/CodexConfiguration.h"
#include "app/automationcontrol/SocketServerAdapter.h"
#include "app/automationcontrol/TokenStore.h"
#include "app/coordinator/MainThreadBridge.h"
#include "platform/UserDefaults.h"

namespace fw {

MCPServerController& MCPServerController::shared() {
    static MCPServerController* controller = new MCPServerController(Options{});  // process-long
    return *controller;
}

MCPServerController::MCPServerController(Options options, QObject* parent)
    : QObject(parent),
      defaults_(options.defaults != nullptr ? *options.defaults
                                            : platform::UserDefaults::standard()),
      makeServer_(options.makeServer ? std::move(options.makeServer) : makeSocketServer),
      bundleURL_(std::move(options.bundleURL)) {
    if (bundleURL_.empty()) {
        bundleURL_ = automation::MCPPeerIdentity::appBundleURL(
            QCoreApplication::applicationFilePath().toStdString());
    }
    // A failed write only means the retired key is removed again next time.
    (void)defaults_.remove(kRetiredEnabledKey);

    // The secret service may take a while to answer (or not at all, until the timeout): the
    // removal runs on a worker so that it never holds up the first paint of a window.
    std::function<std::optional<platform::Error>()> remove =
        std::move(options.removeRetiredCredential);
    if (!remove) {
        remove = []() -> std::optional<platform::Error> {
            if (auto failure = TokenStore::removeRetiredCredential()) {
                return failure->toError();
            }
            return std::nullopt;
        };
    }
    QThreadPool::globalInstance()->start([remove = std::move(remove), alive = lifetime()] {
        std::optional<platform::Error> error = remove();
        postToMainThread([alive, error = std::move(error)] {
            if (auto controller = alive.lock()) {
                (*controller)->migrationFinished(error);
            }
        });
    });
}

MCPServerController::~MCPServerController() = default;

std::weak_ptr<MCPServerController*> MCPServerController::lifetime() {
    return self_;
}

void MCPServerController::migrationFinished(std::optional<platform::Error> error) {
    migrationError_ = std::move(error);
    migrationFinished_ = true;
    for (auto& waiter : std::exchange(migrationWaiters_, {})) {
        waiter();
    }
}

void MCPServerController::whenMigrationFinished(std::function<void()> then) {
    if (migrationFinished_) {
        then();
    } else {
        migrationWaiters_.push_back(std::move(then));
    }
}

// --- Entry points ---

void MCPServerController::startAtLaunchIfEnabled(std::function<void()> done) {
    if (defaults_.boolForKey(kEnabledKey)) {
        enqueueLifecycleOperation(
            [this](Completion finished) { startLocalAutomation(std::move(finished)); },
            [this, done = std::move(done)](std::optional<platform::Error> error) {
                if (error) {
                    setStatus(QString::fromUtf8(kCouldNotStartPrefix) +
                              QString::fromStdString(error->description));
                }
                if (done) {
                    done();
                }
            });
        return;
    }
    whenMigrationFinished([this, done = std::move(done)] {
        // Shown only while nothing has been started or stopped since: the removal runs in the
        // background and must not overwrite what the switch has done meanwhile.
        if (migrationError_ && !isEnabled_ && pendingOperations_ == 0 &&
            status_ == QLatin1String(kStatusDisabled)) {
            setStatus(QString::fromUtf8(kCleanupFailedPrefix) +
                      QString::fromStdString(migrationError_->description));
        }
        if (done) {
            done();
        }
    });
}

void MCPServerController::enable(Completion done) {
    enqueueLifecycleOperation(
        [this](Completion finished) { startLocalAutomation(std::move(finished)); },
        std::move(done));
}

void MCPServerController::disable(std::function<void()> done) {
    enqueueLifecycleOperation(
        [this](Completion finished) { stopLocalAutomation(std::move(finished)); },
        [done = std::move(done)](const std::optional<platform::Error>&) {
            if (done) {
                done();
            }
        });
}

// --- The lifecycle chain ---

void MCPServerController::enqueueLifecycleOperation(Operation operation, Completion done) {
    ++pendingOperations_;
    setTransitioning(true);
    queue_.push_back(Queued{std::move(operation), std::move(done)});
    if (!operationRunning_) {
        operationRunning_ = true;
        QTimer::singleShot(0, this, [this] { runNextOperation(); });
    }
}

void MCPServerController::runNextOperation() {
    if (queue_.empty()) {
        operationRunning_ = false;
        return;
    }
    Queued next = std::move(queue_.front());
    queue_.pop_front();
    auto finished = std::make_shared<bool>(false);
    next.operation([this, alive = lifetime(), finished, done = std::move(next.done)](
                       std::optional<platform::Error> error) {
        if (alive.expired() || *finished) {
            return;
        }
        *finished = true;
        --pendingOperations_;
        setTransitioning(pendingOperations_ > 0);
        // The next operation starts on a later turn whatever the caller does with the result.
        QTimer::singleShot(0, this, [this] { runNextOperation(); });
        if (done) {
            done(std::move(error));
        }
    });
}

void MCPServerController::startLocalAutomation(Completion done) {
    if (server_ != nullptr) {
        done(std::nullopt);  // already running: no change at all
        return;
    }
    const QUuid generation = QUuid::createUuid();
    connectionGeneration_ = generation;
    AutomationServer::Callbacks callbacks;
    callbacks.connectionCountChanged = [alive = lifetime(), generation](int count) {
        postToMainThread([alive, generation, count] {
            if (auto controller = alive.lock()) {
                (*controller)->applyConnectionCount(count, generation);
            }
        });
    };
    callbacks.acceptLoopEnded = [alive = lifetime(), generation](platform::Error error) {
        postToMainThread([alive, generation, error = std::move(error)] {
            if (auto controller = alive.lock()) {
                (*controller)->acceptLoopEnded(error, generation);
            }
        });
    };
    std::shared_ptr<AutomationServer> server = makeServer_(std::move(callbacks));
    server->start([this, alive = lifetime(), server, done = std::move(done)](
                      std::optional<platform::Error> error) {
        if (alive.expired()) {
            return;
        }
        if (error) {
            setStatus(QString::fromUtf8(kCouldNotStartPrefix) +
                      QString::fromStdString(error->description));
            done(std::move(error));
            return;
        }
        server_ = server;
        setEnabled(true);
        setStatus(QString::fromUtf8(kStatusRunning));
        writeEnabledDefault(true);
        done(std::nullopt);
    });
}

void MCPServerController::stopLocalAutomation(Completion done) {
    // From here on, reports of the old server (also the 0 its stop reports) are ignored.
    connectionGeneration_ = QUuid::createUuid();
    std::shared_ptr<AutomationServer> server = std::exchange(server_, nullptr);
    auto finish = [this, done = std::move(done)] {
        setEnabled(false);
        setActiveConnections(0);
        setStatus(QString::fromUtf8(kStatusDisabled));
        writeEnabledDefault(false);
        done(std::nullopt);
    };
    if (server == nullptr) {
        finish();
        return;
    }
    server->stop([alive = lifetime(), server, finish = std::move(finish)] {
        if (!alive.expired()) {
            finish();
        }
    });
}

void MCPServerController::acceptLoopEnded(const platform::Error& error, QUuid generation) {
    if (generation != connectionGeneration_) {
        return;
    }
    enqueueLifecycleOperation(
        [this, error, generation](Completion done) {
            if (generation != connectionGeneration_ || server_ == nullptr) {
                done(std::nullopt);  // stopped or replaced meanwhile
                return;
            }
            connectionGeneration_ = QUuid::createUuid();
            std::shared_ptr<AutomationServer> server = std::exchange(server_, nullptr);
            server->stop([this, alive = lifetime(), server, error, done = std::move(done)] {
                if (alive.expired()) {
                    return;
                }
                // The user default stays true: the next launch tries again.
                setEnabled(false);
                setActiveConnections(0);
                setStatus(QString::fromUtf8(kStoppedPrefix) +
                          QString::fromStdString(error.description));
                done(std::nullopt);
            });
        },
        {});
}

// --- Connection counts ---

void MCPServerController::connectionCountChanged(int count, QUuid generation) {
    postToMainThread([alive = lifetime(), count, generation] {
        if (auto controller = alive.lock()) {
            (*controller)->applyConnectionCount(count, generation);
        }
    });
}

void MCPServerController::applyConnectionCount(int count, QUuid generation) {
    if (generation != connectionGeneration_) {
        return;
    }
    setActiveConnections(count);
    if (isEnabled_) {
        setStatus(count != 0 ? QStringLiteral("Connected (%1)").arg(count)
                             : QString::fromUtf8(kStatusRunning));
    }
}

std::string MCPServerController::codexConfiguration() const {
    return fw::codexConfiguration(bundleURL_);
}

// --- Published fields ---

void MCPServerController::setEnabled(bool value) {
    if (std::exchange(isEnabled_, value) != value) {
        emit isEnabledChanged();
    }
}

void MCPServerController::setTransitioning(bool value) {
    if (std::exchange(isTransitioning_, value) != value) {
        emit isTransitioningChanged();
    }
}

void MCPServerController::setStatus(const QString& value) {
    if (status_ != value) {
        status_ = value;
        emit statusChanged();
    }
}

void MCPServerController::setActiveConnections(qint64 value) {
    if (std::exchange(activeConnections_, value) != value) {
        emit activeConnectionsChanged();
    }
}

void MCPServerController::writeEnabledDefault(bool value) {
    // A failed write leaves the previous choice for the next launch; nothing else depends on it.
    (void)defaults_.set(kEnabledKey, value);
}

}  // namespace fw
