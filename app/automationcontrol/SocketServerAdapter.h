// The real AutomationServer: local automation's Unix-socket server (MCPUnixSocketServer) on
// local automation's own threads, its completions carried over to the main thread.
#pragma once

#include <functional>
#include <memory>

#include "app/automationcontrol/AutomationServer.h"

namespace mcp {
class Server;
}

namespace fw {

std::shared_ptr<AutomationServer> makeSocketServer(AutomationServer::Callbacks callbacks);

// What every connection's MCP server is given before it starts (the application's tool set).
// Set once at start-up, on the main thread, before automation is first started; servers made
// afterwards use it.
void setSocketServerSessionSetup(
    std::function<void(mcp::Server& session, std::function<bool()> isOpen)> setup);

}  // namespace fw
