#include "app/launch/LocalAutomationHooks.h"

#include "app/automationcontrol/MCPServerController.h"
#include "app/launch/AppController.h"
#include "app/launch/AutomationLaunch.h"
#include "app/window/AutomationSettingsController.h"

namespace fw {

void installLocalAutomation(AppController& application, LocalAutomationHooks hooks) {
    if (!hooks.server) {
        hooks.server = []() -> MCPServerController& { return MCPServerController::shared(); };
    }
    if (!hooks.settings) {
        hooks.settings = []() -> AutomationSettingsController& {
            return AutomationSettingsController::shared();
        };
    }
    AutomationBootstrap::setFinishLaunchingHook(
        [server = hooks.server] { server().startAtLaunchIfEnabled(); });
    application.setAutomationSettingsHandler(
        [settings = hooks.settings] { settings().showWindow(); });
}

}  // namespace fw
