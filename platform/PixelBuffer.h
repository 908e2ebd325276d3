// PixelBuffer: one planar Y'CbCr movie frame, as the movie writer's encoder takes it.
//
// The frame renderer writes into a buffer; the movie writer hands buffers out of its
// pool and encodes them. The buffer itself owns no pixels: `storage` keeps the memory
// of whoever made it (an FFmpeg frame from the writer's pool, or a plain allocation in
// tests) alive for as long as the buffer exists. A buffer is used by one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace fw::platform {

// Four-character codes of the three frame layouts. All are video range (Y' 16-235,
// Cb/Cr 16-240 at 8 bits; 64-940 / 64-960 at 10 bits).
enum class PixelFormat : std::uint32_t {
    k420v = 0x34323076,  // '420v': 8-bit 4:2:0, one byte per sample
    kx420 = 0x78343230,  // 'x420': 10-bit 4:2:0, little-endian 16-bit words
    kx422 = 0x78343232,  // 'x422': 10-bit 4:2:2, little-endian 16-bit words
};

// Bytes per sample of a format: 1 for 8-bit, 2 for the 10-bit formats.
constexpr int bytesPerSample(PixelFormat f) {
    return f == PixelFormat::k420v ? 1 : 2;
}
// Horizontal and vertical chroma subsampling shifts (1 = halved).
constexpr int chromaShiftX(PixelFormat) {
    return 1;
}
constexpr int chromaShiftY(PixelFormat f) {
    return f == PixelFormat::kx422 ? 0 : 1;
}

// The bytes of one row and the number of rows of a plane of a `width` × `height` frame.
struct PlaneShape {
    int rowBytes;
    int rows;
};

// The luma plane, then the two chroma planes.
constexpr std::array<PlaneShape, 3> planeShapes(PixelFormat format, int width, int height) {
    const int bps = bytesPerSample(format);
    const int chromaWidth = (width + (1 << chromaShiftX(format)) - 1) >> chromaShiftX(format);
    const int chromaHeight = (height + (1 << chromaShiftY(format)) - 1) >> chromaShiftY(format);
    return {PlaneShape{width * bps, height}, PlaneShape{chromaWidth * bps, chromaHeight},
            PlaneShape{chromaWidth * bps, chromaHeight}};
}

// Colour tags that travel with a frame into the movie.
struct ColorTags {
    bool rec709Primaries = false;
    bool rec709Transfer = false;
    bool rec709Matrix = false;
    bool videoRange = false;
};

struct PixelBuffer {
    PixelFormat format = PixelFormat::k420v;
    int width = 0;
    int height = 0;
    // Planes Y', Cb, Cr; stride in bytes of each plane's rows.
    std::array<std::uint8_t*, 3> planes{};
    std::array<std::ptrdiff_t, 3> strides{};
    ColorTags tags;
    // Keeps the memory behind `planes` alive.
    std::shared_ptr<void> storage;

    // A buffer with its own zeroed memory, for callers outside the writer (tests, probes).
    static std::shared_ptr<PixelBuffer> allocate(PixelFormat format, int width, int height);
};

}  // namespace fw::platform
