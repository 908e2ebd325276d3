// MovieMCPTools: the application's MCP tool set. Six tools through which an automation client
// lists the authorized folders, inspects an image sequence, starts a movie export, reads its
// status and cancels it: "get_capabilities", "list_authorized_folders", "inspect_sequence",
// "export_movie", "get_export_status", "cancel_export".
//
// The socket server calls `registerOn` once for the `mcp::Server` of every accepted connection,
// before it starts that server:
//
//   MovieMCPTools::registerOn(*server, [transport] { return transport->isOpen(); });
//   co_await server->start(transport);
//
// It registers a "tools/list" handler (the tool table, or no tools once `isOpen` answers false)
// and a "tools/call" handler, which hops from the server's strand to the Qt main thread through
// the Asio–Qt bridge (app/coordinator/MainThreadBridge.h), runs `callTool` there and resumes on
// the strand with the result. Every outcome is a tool result: one text block holding the compact
// JSON of a value, that value as structured content, and `isError`; a failure's value is
// {"error": {"code", "message"}}. Nothing escapes a call as a protocol error.
//
// Automation never names a file by its path: a file is a folder identifier plus a path
// relative to that folder, resolved through the folder store, and the export reaches its files
// beneath the folders' descriptors.
//
// The tool set keeps nothing between calls. It reads the export coordinator and the folder
// store on every call: the process-wide ones unless `Services` names others (tests).
//
// Thread-safety: `registerOn` and `toolDefinitions` may be called from any thread. `callTool`
// runs on the Qt main thread only (it asserts so), as do the coordinator and the folder store.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "MCP/Messages/Tool.h"
#include "MCP/Messages/Tools.h"

namespace mcp {
class Server;
}

namespace fw {

class ExportCoordinator;
class FileAccessManager;

// Where the tools find the export service and the folder store; null members mean the
// process-wide ones (`ExportCoordinator::shared()`, `FileAccessManager::shared()`), looked up on
// the main thread at every call. Given ones must outlive every server registered with them.
struct MovieToolServices {
    ExportCoordinator* coordinator = nullptr;
    FileAccessManager* files = nullptr;
};

class MovieMCPTools {
public:
    using Services = MovieToolServices;

    // Answers whether the connection is still open; called from any thread, never blocks.
    using OpenTest = std::function<bool()>;

    // The largest encoded tool result, in bytes (128 KiB); exactly this many is accepted.
    static constexpr std::size_t kResultByteLimit = 131'072;

    // Registers the "tools/list" and "tools/call" handlers on `server`, in this order. Call it
    // once per server, before the server starts. Any thread; never fails.
    static void registerOn(mcp::Server& server, OpenTest isOpen, Services services = {});

    // The six tool definitions, in the order "tools/list" gives them; built once per process.
    static const std::vector<mcp::Tool>& toolDefinitions();

    // Runs one tool call: dispatch by exact name, the argument checks, the tool, and the
    // encoding of its outcome. Main thread only; never throws.
    static mcp::CallTool::Result callTool(const std::string& name,
                                          const std::optional<mcp::Object>& arguments,
                                          const Services& services = {});
};

}  // namespace fw
