// The catalogue of the automation tools: the six tool definitions "tools/list" gives (names,
// descriptions, annotations, input and output schemas), and the two tools that only describe
// the system, "get_capabilities" and "list_authorized_folders".
#pragma once

#include <vector>

#include "MCP/JSON/Value.h"
#include "MCP/Messages/Tool.h"

namespace fw {

class FileAccessManager;

// The six definitions in "tools/list" order; built once per process. Any thread.
const std::vector<mcp::Tool>& movieToolDefinitions();

// "get_capabilities": the supported settings, the defaults "export_movie" applies and the
// limits the export service enforces. Always the same value.
mcp::Value capabilitiesValue();

// "list_authorized_folders": {"folders": [{"id", "name", "writable"}, ...]} in the store's
// order; touches nothing on disk. Main thread.
mcp::Value authorizedFoldersValue(const FileAccessManager& files);

}  // namespace fw
