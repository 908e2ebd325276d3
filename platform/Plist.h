// Plist: the little the settings store, bookmarks and folder records need of libplist's C
// interface beyond its own calls: an owning pointer and binary encoding into a byte vector.
// Plain helpers, safe from any thread on distinct nodes.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace fw::platform {

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
// Owns a plist node (and everything under it).
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// The binary plist of `node`; nothing when libplist cannot encode it.
std::optional<std::vector<std::uint8_t>> toBinaryPlist(plist_t node);

}  // namespace fw::platform
