#include "app/tools/ToolError.h"

#include "app/coordinator/ExportCoordinator.h"
#include "platform/Error.h"

namespace fw {

ToolError ToolError::from(const ExportFailure& failure) {
    const ExportError* own = failure.exportError();
    if (own == nullptr) {
        return from(*failure.error());
    }
    std::string text = own->errorDescription();
    switch (own->kind()) {
        case ExportError::Kind::busy:
            return {"export_busy", std::move(text)};
        case ExportError::Kind::unknownJob:
            return {"unknown_job", std::move(text)};
        case ExportError::Kind::cancelled:
            return {"cancelled", std::move(text)};
        case ExportError::Kind::invalid:
            break;
    }
    const bool refusedOverwrite = text.find("already exists") != std::string::npos;
    return {refusedOverwrite ? "overwrite_refused" : "invalid_export", std::move(text)};
}

ToolError ToolError::from(const platform::Error& error) {
    return {"operation_failed", error.description};
}

}  // namespace fw
