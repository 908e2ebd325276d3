// Wires local automation into the hooks the application delegate leaves for it: when launching
// has finished, `AutomationBootstrap::finishLaunching` runs the controller's launch entry
// (which starts local automation when the user enabled it), and the menu item "Automation
// Settings…" shows the settings window.
//
// Thread-safety: main thread only.
#pragma once

#include <functional>

namespace fw {

class AppController;
class AutomationSettingsController;
class MCPServerController;

struct LocalAutomationHooks {
    // Each is asked for only when first needed; the process-wide ones when empty.
    std::function<MCPServerController&()> server;
    std::function<AutomationSettingsController&()> settings;
};

void installLocalAutomation(AppController& application, LocalAutomationHooks hooks = {});

}  // namespace fw
