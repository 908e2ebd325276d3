// MovieFolderEntity: a snapshot of one folder the user authorized for automation, as the
// "Output Folder" of "Export Movie" names it; MovieFolderQuery finds such folders in the
// folder store.
//
// The entity is a plain value taken when a script asks and never refreshed. The query reads
// the store's folder list on the store's thread (the main thread) and keeps no state.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/actions/DisplayRepresentation.h"
#include "app/folders/AuthorizedFolder.h"

namespace fw {
class FileAccessManager;
}

namespace fw::actions {

struct MovieFolderEntity {
    static constexpr std::string_view kTypeName = "Authorized Movie Folder";

    std::string id;  // the folder's identifier, upper-case 8-4-4-4-12
    std::string name;
    bool writable = false;  // authorized for output

    explicit MovieFolderEntity(const AuthorizedFolder& folder)
        : id(folder.idString()), name(folder.name), writable(folder.writable) {}

    // The folder's name as the title; no subtitle.
    DisplayRepresentation displayRepresentation() const { return {name, std::nullopt}; }

    bool operator==(const MovieFolderEntity&) const = default;
};

class MovieFolderQuery {
public:
    explicit MovieFolderQuery(const FileAccessManager& files) : files_(files) {}

    // The folders whose identifier text equals one of `identifiers` exactly (case-sensitive),
    // in the store's order, each once; unknown identifiers are dropped.
    std::vector<MovieFolderEntity> entities(const std::vector<std::string>& identifiers) const;
    // The folders authorized for output, in the store's order.
    std::vector<MovieFolderEntity> suggestedEntities() const;

private:
    const FileAccessManager& files_;
};

}  // namespace fw::actions
