#include "app/actions/ExportStatusActions.h"

#include "app/actions/Identifiers.h"

namespace fw::actions {

ExportResult<MovieJobEntity> GetExportStatusAction::perform(const ExportCoordinator& coordinator,
                                                            const std::string& job) {
    auto chosen = chooseJob(job);
    if (!chosen) {
        return chosen.failure();
    }
    if (auto found = coordinator.job(chosen.value())) {
        return MovieJobEntity(*found);
    }
    return ExportError::unknownJob();
}

ExportResult<void> CancelExportAction::perform(ExportCoordinator& coordinator,
                                               const std::string& job) {
    auto chosen = chooseJob(job);
    if (!chosen) {
        return chosen.failure();
    }
    return coordinator.cancelExport(chosen.value());
}

}  // namespace fw::actions
