#include "app/folders/FolderRecord.h"

#include <plist/plist.h>

#include <cstring>
#include <limits>
#include <memory>

#include "platform/Plist.h"

namespace fw {

namespace {

plist_t itemOfType(plist_t dict, const char* key, plist_type type) {
    plist_t node = plist_dict_get_item(dict, key);
    return node != nullptr && plist_get_node_type(node) == type ? node : nullptr;
}

std::optional<std::string> stringItem(plist_t dict, const char* key) {
    plist_t node = itemOfType(dict, key, PLIST_STRING);
    if (node == nullptr) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return std::string(text != nullptr ? text : "", text != nullptr ? length : 0);
}

std::optional<FolderRecord> decodeRecord(plist_t dict) {
    if (plist_get_node_type(dict) != PLIST_DICT) {
        return std::nullopt;
    }
    plist_t folder = itemOfType(dict, "folder", PLIST_DICT);
    plist_t bookmark = itemOfType(dict, "bookmark", PLIST_DATA);
    auto pathHint = stringItem(dict, "pathHint");
    if (folder == nullptr || bookmark == nullptr || !pathHint) {
        return std::nullopt;
    }
    auto idText = stringItem(folder, "id");
    auto name = stringItem(folder, "name");
    plist_t writable = itemOfType(folder, "writable", PLIST_BOOLEAN);
    if (!idText || !name || writable == nullptr) {
        return std::nullopt;
    }
    FolderRecord record;
    record.folder.id = AuthorizedFolder::parseID(*idText);
    if (record.folder.id.isNull()) {
        return std::nullopt;
    }
    record.folder.name = std::move(*name);
    record.folder.writable = plist_bool_val_is_true(writable) != 0;
    std::uint64_t length = 0;
    const char* bytes = plist_get_data_ptr(bookmark, &length);
    if (bytes != nullptr) {
        record.bookmark.assign(bytes, bytes + length);
    }
    record.pathHint = std::move(*pathHint);
    return record;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> encodeFolderRecords(
    const std::vector<FolderRecord>& records) {
    platform::PlistPtr array(plist_new_array());
    for (const FolderRecord& record : records) {
        if (record.folder.name.find('\0') != std::string::npos ||
            record.pathHint.find('\0') != std::string::npos) {
            return std::nullopt;  // a property-list text cannot hold it
        }
        plist_t folder = plist_new_dict();
        plist_dict_set_item(folder, "id", plist_new_string(record.folder.idString().c_str()));
        plist_dict_set_item(folder, "name", plist_new_string(record.folder.name.c_str()));
        plist_dict_set_item(folder, "writable", plist_new_bool(record.folder.writable ? 1 : 0));
        plist_t dict = plist_new_dict();
        plist_dict_set_item(dict, "folder", folder);
        plist_dict_set_item(dict, "bookmark",
                            plist_new_data(reinterpret_cast<const char*>(record.bookmark.data()),
                                           record.bookmark.size()));
        plist_dict_set_item(dict, "pathHint", plist_new_string(record.pathHint.c_str()));
        plist_array_append_item(array.get(), dict);
    }
    return platform::toBinaryPlist(array.get());
}

DecodedFolderRecords decodeFolderRecords(std::span<const std::uint8_t> bytes) {
    DecodedFolderRecords decoded;
    plist_t root = nullptr;
    if (bytes.size() >= 8 && bytes.size() <= std::numeric_limits<std::uint32_t>::max() &&
        std::memcmp(bytes.data(), "bplist00", 8) == 0) {
        plist_from_bin(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::uint32_t>(bytes.size()), &root);
    }
    platform::PlistPtr owned(root);
    if (root == nullptr || plist_get_node_type(root) != PLIST_ARRAY) {
        decoded.unreadableList = true;
        return decoded;
    }
    const std::uint32_t count = plist_array_get_size(root);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (auto record = decodeRecord(plist_array_get_item(root, i))) {
            decoded.records.push_back(std::move(*record));
        } else {
            ++decoded.unreadableRecords;
        }
    }
    return decoded;
}

}  // namespace fw
