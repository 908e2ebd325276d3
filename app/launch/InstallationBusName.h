// The session-bus name of this installation (LocalAutomation/ActivationService.h), owned while
// the application runs. The companion starts the application by activating that name, and the
// bus answers it once the name has an owner; it also tells the companion which process that is.
//
// Main thread only. Without a session bus, or when the name cannot be had, the application runs
// on without it: the companion then waits for the socket alone.
#pragma once

namespace fw {

// Asks the session bus for this installation's name. Returns whether it is owned now.
bool claimInstallationBusName();

}  // namespace fw
