#include "app/launch/InstallationBusName.h"

#include <QDBusConnection>
#include <QString>
#include <exception>

#include "LocalAutomation/ActivationService.h"
#include "LocalAutomation/MCPPeerIdentity.h"

namespace fw {

bool claimInstallationBusName() {
    namespace identity = automation::MCPPeerIdentity;
    std::string name;
    try {
        const auto bundle =
            identity::resolvedURL(identity::appBundleURL(identity::currentExecutableURL()));
        name = automation::activation::busName(bundle.string());
    } catch (const std::exception&) {
        return false;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.registerService(QString::fromStdString(name));
}

}  // namespace fw
