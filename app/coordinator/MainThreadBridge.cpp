#include "app/coordinator/MainThreadBridge.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace fw {

bool postToMainThread(std::function<void()> work) {
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr) {
        return false;
    }
    // Queued on the application object: it lives on the main thread, and the call is dropped
    // with it if the application goes away first.
    return QMetaObject::invokeMethod(
        application, [work = std::move(work)] { work(); }, Qt::QueuedConnection);
}

}  // namespace fw
