#include "platform/Plist.h"

namespace fw::platform {

std::optional<std::vector<std::uint8_t>> toBinaryPlist(plist_t node) {
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    if (bytes == nullptr) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out(bytes, bytes + length);
    plist_to_bin_free(bytes);
    return out;
}

}  // namespace fw::platform
