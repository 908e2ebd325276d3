#include "app/actions/MovieJobEntity.h"

#include <QFileInfo>
#include <cstdio>

#include "app/coordinator/ExportCoordinator.h"
#include "app/actions/Identifiers.h"

namespace fw::actions {

MovieJobEntity::MovieJobEntity(const ExportJob& job)
    : id(identifierText(job.id)),
      state(rawValue(job.state)),
      progress(job.progress),
      completedFrames(job.completedFrames),
      totalFrames(job.totalFrames),
      outputURL(job.outputURL),
      error(job.error) {}

DisplayRepresentation MovieJobEntity::displayRepresentation() const {
    char counts[48];
    std::snprintf(counts, sizeof counts, "%lld/%lld", static_cast<long long>(completedFrames),
                  static_cast<long long>(totalFrames));
    return {outputURL.fileName().toStdString(), state + " \u00B7 " + counts + " frames"};
}

std::vector<MovieJobEntity> MovieJobQuery::suggestedEntities() const {
    std::vector<MovieJobEntity> suggested;
    if (const auto& active = coordinator_.activeJob()) {
        suggested.emplace_back(*active);
    }
    for (const ExportJob& job : coordinator_.recentJobs()) {
        suggested.emplace_back(job);
    }
    return suggested;
}

std::vector<MovieJobEntity> MovieJobQuery::entities(
    const std::vector<std::string>& identifiers) const {
    std::vector<MovieJobEntity> found;
    for (const std::string& identifier : identifiers) {
        const auto id = parseIdentifier(identifier);
        if (!id) {
            continue;
        }
        if (auto job = coordinator_.job(*id)) {
            found.emplace_back(*job);
        }
    }
    return found;
}

}  // namespace fw::actions
