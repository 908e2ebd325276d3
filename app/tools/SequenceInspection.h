// "inspect_sequence": one page of a directory inside an authorized folder, in the order a
// person numbers frames, split into accepted images (file references ready for
// "export_movie") and rejected entries with the reason in a sentence.
//
// The directory is opened beneath the folder's own descriptor and its entries are examined
// beneath that directory, so a symbolic link, or one swapped in after authorization, never
// leads the listing outside the folder. At most 10,000 entries are listed; only the entries of
// the page are examined.
#pragma once

#include <cstddef>

#include "MCP/JSON/Value.h"

namespace fw {

class FileAccessManager;
class ToolArguments;

// The most directory entries one inspection lists.
inline constexpr std::size_t kInspectionEntryLimit = 10'000;

// Returns {"accepted", "rejected", "count", "total_entries", "next_offset"} or throws
// ToolError. Main thread (the folder store's).
mcp::Value inspectSequence(const ToolArguments& arguments, FileAccessManager& files);

}  // namespace fw
