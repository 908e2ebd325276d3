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
// At quit, after the main loop has ended: stops every socket server and ends local automation's
// threads, so none of them still runs while the process exits (whose exit handlers tear down
// libraries those threads use). Main thread only; no socket server may be started afterwards.
void shutDownSocketServers();

void setSocketServerSessionSetup(
    std::function<void(mcp::Server& session, std::function<bool()> isOpen)> setup);

}  // namespace fw
