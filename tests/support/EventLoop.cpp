#include "tests/support/EventLoop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace fw::testing {

bool pumpUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QThread::msleep(1);
    }
    return true;
}

}  // namespace fw::testing
