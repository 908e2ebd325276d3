// The export tools of automation: "export_movie" starts one export from file references and
// answers at once with the new job's identifier; "get_export_status" reports a job's state,
// progress, settings, output and failure; "cancel_export" cancels the running export. All go
// through the one export coordinator, so they see and cancel exports started by the window or
// the scripted actions too, and meet the same busy rule.
//
// Each takes the call's arguments (already checked for unknown keys) and returns the tool's
// value or throws ToolError. Main thread.
#pragma once

#include "MCP/JSON/Value.h"
#include "app/export/ExportModel.h"

namespace fw {

class ExportCoordinator;
class FileAccessManager;
class ToolArguments;

mcp::Value exportMovie(const ToolArguments& arguments, ExportCoordinator& coordinator,
                       FileAccessManager& files);
mcp::Value exportStatus(const ToolArguments& arguments, const ExportCoordinator& coordinator);
mcp::Value cancelExport(const ToolArguments& arguments, ExportCoordinator& coordinator);

// The status value of a job: "job_id", "state", "progress" (a finite fraction, clamped to
// 0–1), "completed_frames", "total_frames", "settings" (their own coded form), "output_url"
// (a plain path) and "error" (null, or {"code": "cancelled" or "export_failed", "message"}).
mcp::Value exportStatusValue(const ExportJob& job);

}  // namespace fw
