// FolderRecord: the stored record behind an authorized folder (the folder, the bookmark of
// its directory, and the path it had when the bookmark was made), and the coding of the
// record list as it is kept in the settings: a binary property list whose root is an array
// of {"folder": {"id", "name", "writable"}, "bookmark": data, "pathHint": string}.
//
// Only the authorized-folder store uses these. Plain values and functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/folders/AuthorizedFolder.h"

namespace fw {

struct FolderRecord {
    AuthorizedFolder folder;
    std::vector<std::uint8_t> bookmark;
    std::string pathHint;

    bool operator==(const FolderRecord&) const = default;
};

// The record list as binary property-list bytes; nothing if it cannot be encoded.
std::optional<std::vector<std::uint8_t>> encodeFolderRecords(
    const std::vector<FolderRecord>& records);

struct DecodedFolderRecords {
    // The records that could be read, in stored order.
    std::vector<FolderRecord> records;
    // Entries of the stored array that could not be read as a record.
    std::size_t unreadableRecords = 0;
    // The bytes were not a property-list array at all.
    bool unreadableList = false;

    bool complete() const { return unreadableRecords == 0 && !unreadableList; }
};

// Reads every record it can; an unknown key in a dictionary is ignored, a missing or
// mistyped one makes that record unreadable (and only that one).
DecodedFolderRecords decodeFolderRecords(std::span<const std::uint8_t> bytes);

}  // namespace fw
