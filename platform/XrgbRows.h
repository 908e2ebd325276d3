#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fw::platform {

// Unpacks one row of native-endian 32-bit 0x__RRGGBB words, as cairo and poppler draw them,
// into packed 8-bit R, G, B. The top byte (unused or opaque alpha) is dropped.
inline void unpackXrgbRow(const std::uint8_t* src, std::uint8_t* dst, int pixels) {
    for (int x = 0; x < pixels; ++x) {
        std::uint32_t word;
        std::memcpy(&word, src + std::size_t(x) * 4, 4);
        dst[3 * x + 0] = std::uint8_t(word >> 16);
        dst[3 * x + 1] = std::uint8_t(word >> 8);
        dst[3 * x + 2] = std::uint8_t(word);
    }
}

}  // namespace fw::platform
