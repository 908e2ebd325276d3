// The file references of the automation tools: {"folder_id", "relative_path"}, an authorized
// folder's identifier and a path inside that folder. A reference is resolved only through the
// folder store, never taken as a path from the caller.
//
// Main thread (the folder store's).
#pragma once

#include <filesystem>

#include "MCP/JSON/Value.h"
#include "app/export/ExportModel.h"

namespace fw {

class FileAccessManager;

struct ResolvedFileReference {
    FolderFileReference reference;  // as the caller named it
    std::filesystem::path path;     // the file inside the folder, as the store resolved it
};

// Checks `value` and resolves it for reading or writing. Throws ToolError "invalid_path" "A
// file reference must be an object." when it is no object, "unknown_argument" for a member
// other than the two, the readers' errors for "folder_id" (a UUID) and then "relative_path"
// (a string), and the folder store's failure ("operation_failed") for an unknown or
// unavailable folder, an input-only folder used for writing, or a path that breaks the path
// rule or leaves its folder.
ResolvedFileReference resolveFileReference(const mcp::Value& value, bool forWriting,
                                           FileAccessManager& files);

}  // namespace fw
