#include "bridge/MCPBridgeMain.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "LocalAutomation/MCPPeerIdentity.h"
#include "LocalAutomation/MCPUnixSocket.h"
#include "LocalAutomation/MCPUnixSocketHandle.h"
#include "LocalAutomation/MCPUnixSocketLineReader.h"
#include "bridge/ApplicationLauncher.h"
#include "bridge/BridgeConnection.h"
#include "bridge/BridgeError.h"
#include "bridge/BridgeMessages.h"
#include "bridge/BridgeRelay.h"

namespace fw::bridge {

namespace identity = automation::MCPPeerIdentity;
using automation::IdentityError;

StartupServices StartupServices::system(const std::filesystem::path& appBundle) {
    StartupServices services;
    services.checkPeer = [appBundle](int descriptor) {
        identity::validatePeer(descriptor, identity::appBundleIdentifier, appBundle);
    };
    services.validateApplication = [appBundle] { identity::validateAppSignature(appBundle); };
    services.isApplicationRunning = [appBundle] { return bridge::isApplicationRunning(appBundle); };
    services.launchApplication = [appBundle](MonotonicTime deadline) {
        return bridge::launchApplication(appBundle, UserSession::find(), deadline);
    };
    return services;
}

namespace {

// The relay over the connected descriptor; returns the exit status.
int relay(int descriptor) {
    // The input relay may still be blocked on standard input when the program ends; it holds the
    // socket's handle so the descriptor stays its own until then.
    auto handle = std::make_shared<automation::MCPUnixSocketHandle>(descriptor);
    auto pending = std::make_shared<PendingRequests>();
    std::thread([handle, pending] {
        automation::MCPUnixSocketLineReader input(STDIN_FILENO);
        relayStandardInputToSocket(input, handle->descriptor(), stderr, *pending);
    }).detach();

    automation::MCPUnixSocketLineReader socket(handle->descriptor());
    RelayEnd end = RelayEnd::closed;
    try {
        end = relaySocketToStandardOutput(socket, STDOUT_FILENO, stderr, *pending);
    } catch (...) {
        handle->shutdown();
        throw;
    }
    handle->shutdown();
    return end == RelayEnd::closed ? 0 : 1;
}

void pause(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

}  // namespace

int MCPBridgeMain::connectOrLaunch(const std::filesystem::path& appBundle,
                                   const std::string& socketPath, MonotonicTime deadline,
                                   const StartupServices& services) {
    if (auto descriptor = attemptConnection(socketPath, deadline, services.checkPeer)) {
        return *descriptor;
    }
    // Nobody listens. A running application may be starting, or have automation off: it is
    // waited for, not launched again.
    LaunchedApplication launched;
    if (!services.isApplicationRunning()) {
        services.validateApplication();
        launched = services.launchApplication(deadline);
        if (identity::resolvedURL(launched.bundle) != appBundle) {
            throw IdentityError::peerInstallation();
        }
    }
    while (true) {
        checkDeadline(deadline);
        pause(services.retryPause);
        if (auto descriptor = attemptConnection(socketPath, deadline, services.checkPeer)) {
            return *descriptor;
        }
        // An application that ended will never listen: say so now, not at the deadline.
        if (launched.endedEarly) {
            if (auto ended = launched.endedEarly()) {
                throw LaunchError(*ended);
            }
        }
    }
}

int MCPBridgeMain::run() {
    StartupDeadlineGuard guard(monotonicNow() + kStartupBudgetNanoseconds);
    StartupTimer timer(guard);

    const std::filesystem::path executable = identity::currentExecutableURL();
    const std::filesystem::path appBundle =
        identity::resolvedURL(identity::appBundleURL(executable));
    if (executable != identity::bridgeExecutableURL(appBundle)) {
        throw IdentityError::peerInstallation();
    }
    const std::string socketPath = identity::socketURL(appBundle).string();
    const int descriptor = connectOrLaunch(appBundle, socketPath, guard.deadline(),
                                           StartupServices::system(appBundle));
    try {
        guard.complete();
    } catch (...) {
        automation::MCPUnixSocket::close(descriptor);
        throw;
    }
    timer.cancel();
    return relay(descriptor);
}

void MCPBridgeMain::fail(const std::exception& error) {
    messages::write(stderr, messages::general(error.what()));
    std::exit(1);
}

int MCPBridgeMain::main() {
    // Writes to a closed pipe or socket fail with EPIPE instead of ending the program.
    (void)std::signal(SIGPIPE, SIG_IGN);
    try {
        return run();
    } catch (const std::exception& error) {
        fail(error);
    }
}

}  // namespace fw::bridge
