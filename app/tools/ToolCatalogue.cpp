#include "app/tools/ToolCatalogue.h"

#include <initializer_list>
#include <string>
#include <utility>

#include "app/folders/FileAccessManager.h"
#include "app/tools/ToolArguments.h"

namespace fw {
namespace {

using mcp::Value;

// {"type": "object", "properties", "required", "additionalProperties": false}: every input and
// output schema, the file reference and the item schemas, "required" always present.
Value objectSchema(mcp::Object properties, std::initializer_list<const char*> required) {
    mcp::Array names;
    for (const char* name : required) {
        names.emplace_back(name);
    }
    return Value::object({{"type", "object"},
                          {"properties", std::move(properties)},
                          {"required", std::move(names)},
                          {"additionalProperties", false}});
}

Value typed(const char* type) {
    return Value::object({{"type", type}});
}

Value uuidString() {
    return Value::object({{"type", "string"}, {"format", "uuid"}});
}

Value integerRange(std::int64_t minimum, std::int64_t maximum) {
    return Value::object({{"type", "integer"}, {"minimum", minimum}, {"maximum", maximum}});
}

Value enumeration(std::initializer_list<const char*> cases) {
    mcp::Array values;
    for (const char* name : cases) {
        values.emplace_back(name);
    }
    return Value::object({{"type", "string"}, {"enum", std::move(values)}});
}

Value arrayOf(Value items) {
    return Value::object({{"type", "array"}, {"items", std::move(items)}});
}

Value nullable(const char* type) {
    return Value::object({{"type", Value::array({type, "null"})}});
}

Value fileReferenceSchema() {
    return objectSchema({{"folder_id", uuidString()}, {"relative_path", typed("string")}},
                        {"folder_id", "relative_path"});
}

mcp::Tool::Annotations readOnly() {
    mcp::Tool::Annotations annotations;
    annotations.readOnlyHint = true;
    return annotations;
}

mcp::Tool tool(const char* name, const char* description, Value input, Value output,
               mcp::Tool::Annotations annotations) {
    mcp::Tool made;
    made.name = name;
    made.description = description;
    made.inputSchema = std::move(input);
    made.outputSchema = std::move(output);
    made.annotations = std::move(annotations);
    return made;
}

std::vector<mcp::Tool> buildDefinitions() {
    std::vector<mcp::Tool> tools;
    tools.push_back(tool(
        "get_capabilities",
        "Show supported movie settings, deterministic defaults, and export limits.",
        objectSchema({}, {}),
        objectSchema({{"defaults", typed("object")},
                      {"limits", typed("object")},
                      {"codecs", arrayOf(typed("string"))},
                      {"qualities", arrayOf(typed("string"))},
                      {"file_references", typed("string")}},
                     {"defaults", "limits", "codecs", "qualities", "file_references"}),
        readOnly()));
    tools.push_back(tool(
        "list_authorized_folders", "List folder identifiers the user authorized in Frameweaver.",
        objectSchema({}, {}),
        objectSchema({{"folders", arrayOf(objectSchema({{"id", uuidString()},
                                                        {"name", typed("string")},
                                                        {"writable", typed("boolean")}},
                                                       {"id", "name", "writable"}))}},
                     {"folders"}),
        readOnly()));
    tools.push_back(tool(
        "inspect_sequence",
        "List supported images in numeric filename order, with rejected entries and reasons. "
        "Paths are relative to an authorized folder.",
        objectSchema(
            {{"folder_id", uuidString()},
             {"relative_path",
              Value::object({{"type", "string"},
                             {"description",
                              "Optional subfolder; omit to inspect the authorized folder root."}})},
             {"offset", Value::object({{"type", "integer"}, {"minimum", 0}})},
             {"limit", integerRange(1, 500)}},
            {"folder_id"}),
        objectSchema(
            {{"accepted", arrayOf(fileReferenceSchema())},
             {"rejected", arrayOf(objectSchema({{"name", typed("string")},
                                                {"reason", typed("string")}},
                                               {"name", "reason"}))},
             {"count", typed("integer")},
             {"total_entries", typed("integer")},
             {"next_offset", nullable("integer")}},
            {"accepted", "rejected", "count", "total_entries", "next_offset"}),
        readOnly()));
    tools.push_back(tool(
        "export_movie",
        "Start one movie export and return its job ID promptly. The input list is explicit "
        "order and may contain duplicates; output must be in a writable authorized folder.",
        objectSchema(
            {{"inputs", Value::object({{"type", "array"},
                                       {"items", fileReferenceSchema()},
                                       {"minItems", 1}})},
             {"output", fileReferenceSchema()},
             {"width", integerRange(1, 3840)},
             {"height", integerRange(1, 2160)},
             {"frame_rate", integerRange(1, 30)},
             {"codec", enumeration({"h264", "hevc", "prores422"})},
             {"quality", enumeration({"standard", "high", "custom"})},
             {"custom_bitrate_mbps",
              Value::object({{"type", "number"}, {"minimum", 0.1}, {"maximum", 50}})},
             {"overwrite", typed("boolean")}},
            {"inputs", "output", "width", "height"}),
        objectSchema({{"job_id", uuidString()}, {"state", typed("string")}},
                     {"job_id", "state"}),
        {}));
    tools.push_back(tool(
        "get_export_status",
        "Read a job's progress, effective settings, output location, or failure. Omit job_id "
        "for the active or most recent job.",
        objectSchema({{"job_id", uuidString()}}, {}),
        objectSchema({{"job_id", typed("string")},
                      {"state", typed("string")},
                      {"progress", typed("number")},
                      {"completed_frames", typed("integer")},
                      {"total_frames", typed("integer")},
                      {"settings", typed("object")},
                      {"output_url", typed("string")},
                      {"error", nullable("object")}},
                     {"job_id", "state", "progress", "completed_frames", "total_frames",
                      "settings", "output_url", "error"}),
        readOnly()));
    tools.push_back(tool(
        "cancel_export",
        "Cancel a running export by job ID, or omit job_id to cancel the active export.",
        objectSchema({{"job_id", uuidString()}}, {}),
        objectSchema({{"cancelled", typed("boolean")}, {"job_id", nullable("string")}},
                     {"cancelled", "job_id"}),
        {}));
    return tools;
}

}  // namespace

const std::vector<mcp::Tool>& movieToolDefinitions() {
    static const std::vector<mcp::Tool> definitions = buildDefinitions();
    return definitions;
}

mcp::Value capabilitiesValue() {
    return Value::object(
        {{"defaults", Value::object({{"frame_rate", 30},
                                     {"codec", "hevc"},
                                     {"quality", "high"},
                                     {"overwrite", false}})},
         {"limits", Value::object({{"maximum_width", 3840},
                                   {"maximum_height", 2160},
                                   {"maximum_frame_rate", 30},
                                   {"concurrent_exports", 1}})},
         {"codecs", Value::array({"h264", "hevc", "prores422"})},
         {"qualities", Value::array({"standard", "high", "custom"})},
         {"file_references",
          "Authorized folder UUID plus a relative path; arbitrary file URLs are refused."}});
}

mcp::Value authorizedFoldersValue(const FileAccessManager& files) {
    mcp::Array folders;
    folders.reserve(files.folders().size());
    for (const AuthorizedFolder& folder : files.folders()) {
        folders.push_back(Value::object({{"id", uuidText(folder.id)},
                                         {"name", folder.name},
                                         {"writable", folder.writable}}));
    }
    return Value::object({{"folders", std::move(folders)}});
}

}  // namespace fw
