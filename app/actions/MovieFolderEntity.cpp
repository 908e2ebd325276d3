#include "app/actions/MovieFolderEntity.h"

#include <algorithm>

#include "app/folders/FileAccessManager.h"

namespace fw::actions {

std::vector<MovieFolderEntity> MovieFolderQuery::entities(
    const std::vector<std::string>& identifiers) const {
    std::vector<MovieFolderEntity> found;
    for (const AuthorizedFolder& folder : files_.folders()) {
        const std::string id = folder.idString();
        if (std::find(identifiers.begin(), identifiers.end(), id) != identifiers.end()) {
            found.emplace_back(folder);
        }
    }
    return found;
}

std::vector<MovieFolderEntity> MovieFolderQuery::suggestedEntities() const {
    std::vector<MovieFolderEntity> suggested;
    for (const AuthorizedFolder& folder : files_.folders()) {
        if (folder.writable) {
            suggested.emplace_back(folder);
        }
    }
    return suggested;
}

}  // namespace fw::actions
