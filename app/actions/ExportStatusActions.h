// "Get Export Status" and "Cancel Export": the two small actions beside "Export Movie".
// Each takes an optional job (the empty text: none) and acts on the export coordinator.
//
// Call them on the coordinator's thread (the main thread).
#pragma once

#include <string>
#include <string_view>

#include "app/actions/MovieJobEntity.h"
#include "app/coordinator/ExportCoordinator.h"

namespace fw::actions {

// The one parameter of both actions.
inline constexpr std::string_view kJobParameterTitle = "Job";

struct GetExportStatusAction {
    static constexpr std::string_view kTitle = "Get Export Status";
    static constexpr std::string_view kDescription = "Inspect the active or a recent movie export.";
    static constexpr std::string_view kParameterSummary = "Get status of ${job}";

    // The named job, else the running job, else the most recent one, as of now. Fails with
    // unknownJob ("That export job is no longer available.") when there is no such job.
    static ExportResult<MovieJobEntity> perform(const ExportCoordinator& coordinator,
                                                const std::string& job);
};

struct CancelExportAction {
    static constexpr std::string_view kTitle = "Cancel Export";
    static constexpr std::string_view kDescription = "Cancel the active movie export.";
    static constexpr std::string_view kParameterSummary = "Cancel ${job}";

    // Asks the running export to stop, when no job is named or the named job is the running
    // one; the job reaches "cancelled" shortly after. Fails with unknownJob otherwise and
    // then changes nothing.
    static ExportResult<void> perform(ExportCoordinator& coordinator, const std::string& job);
};

}  // namespace fw::actions
