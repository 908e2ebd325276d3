#include "app/actions/Identifiers.h"

#include "app/folders/AuthorizedFolder.h"

namespace fw::actions {

std::string identifierText(const QUuid& id) {
    return id.toString(QUuid::WithoutBraces).toUpper().toStdString();
}

std::optional<QUuid> parseIdentifier(const std::string& text) {
    const QUuid id = AuthorizedFolder::parseID(text);
    if (id.isNull()) {
        return std::nullopt;
    }
    return id;
}

ExportResult<std::optional<QUuid>> chooseJob(const std::string& job) {
    if (job.empty()) {
        return std::optional<QUuid>();
    }
    if (auto id = parseIdentifier(job)) {
        return std::optional<QUuid>(*id);
    }
    return ExportError::unknownJob();
}

}  // namespace fw::actions
