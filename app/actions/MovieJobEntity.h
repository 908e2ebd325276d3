// MovieJobEntity: a read-only snapshot of one export job of the coordinator, as "Get Export
// Status" returns it and both status actions take it; MovieJobQuery lists the jobs the
// coordinator still knows and finds them again by identifier.
//
// The entity is a plain value copied from the job when made and never refreshed. The query
// reads the coordinator on its thread (the main thread) and keeps no state.
#pragma once

#include <QUrl>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/actions/DisplayRepresentation.h"
#include "app/export/ExportModel.h"

namespace fw {
class ExportCoordinator;
}

namespace fw::actions {

struct MovieJobEntity {
    static constexpr std::string_view kTypeName = "Movie Export Job";
    // The titles of the entity's properties, in order.
    static constexpr std::string_view kStateTitle = "State";
    static constexpr std::string_view kProgressTitle = "Progress";
    static constexpr std::string_view kCompletedFramesTitle = "Frames Completed";
    static constexpr std::string_view kTotalFramesTitle = "Total Frames";
    static constexpr std::string_view kOutputTitle = "Output";
    static constexpr std::string_view kErrorTitle = "Error";

    std::string id;     // the job's identifier, upper-case 8-4-4-4-12
    std::string state;  // "running", "completed", "failed" or "cancelled"
    double progress = 0.0;
    std::int64_t completedFrames = 0;
    std::int64_t totalFrames = 0;
    QUrl outputURL;
    // A failed or cancelled job's error text; absent while running and after success.
    std::optional<std::string> error;

    explicit MovieJobEntity(const ExportJob& job);

    // Title: the movie's file name; subtitle such as "running · 12/40 frames".
    DisplayRepresentation displayRepresentation() const;

    bool operator==(const MovieJobEntity&) const = default;
};

class MovieJobQuery {
public:
    explicit MovieJobQuery(const ExportCoordinator& coordinator) : coordinator_(coordinator) {}

    // The running job first, then the recent jobs newest first.
    std::vector<MovieJobEntity> suggestedEntities() const;
    // The jobs of `identifiers` in the request's order (a repeated identifier repeats its
    // job); identifiers that are not identifiers, or name no known job, are dropped.
    std::vector<MovieJobEntity> entities(const std::vector<std::string>& identifiers) const;

private:
    const ExportCoordinator& coordinator_;
};

}  // namespace fw::actions
