#include "app/tools/FileReference.h"

#include "app/folders/FileAccessManager.h"
#include "app/tools/ToolArguments.h"
#include "app/tools/ToolError.h"

namespace fw {

ResolvedFileReference resolveFileReference(const mcp::Value& value, bool forWriting,
                                           FileAccessManager& files) {
    const mcp::Object* object = value.objectValue();
    if (object == nullptr) {
        throw ToolError("invalid_path", tool_errors::kNotAnObject);
    }
    const ToolArguments members(*object);
    members.rejectUnknown({"folder_id", "relative_path"});
    ResolvedFileReference resolved;
    resolved.reference.folderID = members.uuid("folder_id");
    resolved.reference.relativePath = members.string("relative_path");
    auto path = files.resolve(resolved.reference.folderID, resolved.reference.relativePath,
                              forWriting);
    if (!path) {
        throw ToolError::from(path.error());
    }
    resolved.path = std::move(path).value();
    return resolved;
}

}  // namespace fw
