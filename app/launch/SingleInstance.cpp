#include "app/launch/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace fw {

namespace {

constexpr const char* kSocketName = "Frameweaver.instance";
constexpr const char* kLockName = "Frameweaver.instance.lock";
constexpr QByteArrayView kHandOverPrefix = "FWV-LAUNCH/1 automation=";
constexpr QByteArrayView kAnswer = "OK\n";
// Longest line a primary reads from a later start.
constexpr qint64 kMaxLine = 64;
constexpr int kConnectionTimeoutMs = 1000;

QString toQString(const std::filesystem::path& path) {
    return QString::fromStdString(path);
}

bool isDirectory(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

}  // namespace

SingleInstance::SingleInstance(std::filesystem::path directory, QObject* parent)
    : QObject(parent), directory_(std::move(directory)) {}

SingleInstance::~SingleInstance() {
    if (server_ != nullptr) {
        server_->close();  // removes the socket file it made
    }
    if (lockFd_ >= 0) {
        ::close(lockFd_);  // releases the lock
    }
}

std::filesystem::path SingleInstance::defaultDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr) {
        const std::filesystem::path path(runtime);
        if (path.is_absolute() && isDirectory(path)) {
            return path;
        }
    }
    const std::filesystem::path userRun =
        std::filesystem::path("/run/user") / std::to_string(::geteuid());
    if (isDirectory(userRun)) {
        return userRun;
    }
    const char* home = std::getenv("HOME");
    const std::filesystem::path base = home != nullptr && *home == '/'
                                           ? std::filesystem::path(home)
                                           : std::filesystem::temp_directory_path();
    return base / ".local" / "state" / "Frameweaver";
}

std::filesystem::path SingleInstance::socketPath() const {
    return directory_ / kSocketName;
}

std::filesystem::path SingleInstance::lockPath() const {
    return directory_ / kLockName;
}

SingleInstance::Role SingleInstance::start(const LaunchEvent& event,
                                           std::chrono::milliseconds timeout) {
    errorString_.clear();
    if (!isDirectory(directory_)) {
        std::error_code error;
        std::filesystem::create_directories(directory_, error);
        if (error || ::chmod(directory_.c_str(), 0700) != 0) {
            errorString_ =
                QStringLiteral("The folder %1 could not be created: %2.")
                    .arg(toQString(directory_),
                         QString::fromStdString(error ? error.message() : std::strerror(errno)));
            return Role::failed;
        }
    }
    lockFd_ = ::open(lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        errorString_ =
            QStringLiteral("The lock file %1 could not be opened: %2.")
                .arg(toQString(lockPath()), QString::fromLocal8Bit(std::strerror(errno)));
        return Role::failed;
    }

    QDeadlineTimer deadline(timeout);
    while (true) {
        if (tryLock()) {
            return listen() ? Role::primary : Role::failed;
        }
        // Another instance holds the lock. It may still be starting: retry until it listens,
        // or until it has gone away and the lock can be taken.
        const auto remaining =
            std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 0));
        if (handOver(event, std::min(remaining, std::chrono::milliseconds(500)))) {
            ::close(lockFd_);
            lockFd_ = -1;
            return Role::handedOver;
        }
        if (deadline.hasExpired()) {
            break;
        }
        QThread::msleep(50);
    }
    ::close(lockFd_);
    lockFd_ = -1;
    errorString_ = QStringLiteral("Frameweaver is already running but did not answer.");
    return Role::unresponsive;
}

bool SingleInstance::tryLock() {
    while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool SingleInstance::listen() {
    // We hold the lock: any socket file here was left by an instance that has gone.
    QLocalServer::removeServer(toQString(socketPath()));
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(toQString(socketPath()))) {
        errorString_ = QStringLiteral("Frameweaver could not listen on %1: %2.")
                           .arg(toQString(socketPath()), server_->errorString());
        delete server_;
        server_ = nullptr;
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
    return true;
}

bool SingleInstance::handOver(const LaunchEvent& event, std::chrono::milliseconds remaining) {
    const int waitMs = static_cast<int>(std::max<qint64>(remaining.count(), 1));
    QLocalSocket socket;
    socket.connectToServer(toQString(socketPath()));
    if (!socket.waitForConnected(waitMs)) {
        return false;
    }
    QByteArray line = kHandOverPrefix.toByteArray();
    line += event.automation ? "1\n" : "0\n";
    socket.write(line);
    if (!socket.waitForBytesWritten(waitMs)) {
        return false;
    }
    QByteArray answer;
    QDeadlineTimer deadline(waitMs);
    while (!answer.contains('\n') && answer.size() <= kMaxLine && !deadline.hasExpired()) {
        if (!socket.waitForReadyRead(
                static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)))) {
            break;
        }
        answer += socket.readAll();
    }
    return answer == kAnswer;
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        socket->setParent(this);
        auto* timer = new QTimer(socket);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::errorOccurred, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readHandOver(socket); });
        timer->start(kConnectionTimeoutMs);
        if (socket->bytesAvailable() > 0) {
            readHandOver(socket);
        }
    }
}

void SingleInstance::readHandOver(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxLine) {
            socket->abort();
        }
        return;
    }
    const QByteArray line = socket->readLine(kMaxLine + 1);
    socket->disconnect(this);  // one hand-over per connection
    LaunchEvent event;
    if (line == kHandOverPrefix.toByteArray() + "1\n") {
        event.automation = true;
    } else if (line != kHandOverPrefix.toByteArray() + "0\n") {
        socket->abort();
        return;
    }
    socket->write(kAnswer.data(), kAnswer.size());
    socket->disconnectFromServer();
    emit reopenRequested(event);
}

}  // namespace fw
