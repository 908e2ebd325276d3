// frameweaver-mcp: relays MCP between an AI client's standard streams and the Frameweaver
// application (bridge/MCPBridgeMain.h).
#include <cstdlib>

#include "bridge/MCPBridgeMain.h"

int main() {
    std::exit(fw::bridge::MCPBridgeMain::main());
}
