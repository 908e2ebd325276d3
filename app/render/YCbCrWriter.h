// YCbCrWriter: writes rows of linear-light pixels into a planar Y'CbCr movie frame as
// Rec. 709 video: BT.709 transfer function, BT.709 matrix, video range (Y' 16-235,
// Cb/Cr 16-240 at 8 bits; 64-940 / 64-960 at 10 bits).
//
// Pixels are premultiplied linear RGB laid over opaque black, so each one is clamped to
// [0, 1] and encoded as it is. Chroma is filtered [1 2 1] / 4 horizontally onto the
// left-sited samples (the position H.264, HEVC and ProRes decoders assume) and, for
// 4:2:0, averaged over each pair of rows. 8-bit frames are ordered-dithered before
// rounding so smooth gradients do not band; 10-bit frames are rounded.
//
// Thread-safety: a writer is used by one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "app/render/LinearLight.h"
#include "platform/PixelBuffer.h"

namespace fw {

class YCbCrWriter {
public:
    // Starts a frame. `buffer` must stay valid until the last row is written.
    void begin(platform::PixelBuffer* buffer);

    // Writes row `y` (buffer width pixels). Rows must come in order 0, 1, 2, ...
    void writeRow(int y, const LinearPixel* row);

private:
    void writeChromaRow(int chromaY, const float* cb, const float* cr, const float* cb2,
                        const float* cr2);
    // Ordered-dither thresholds from (x, y) of the matrix on, for a whole row.
    const float* ditherRow(int x, int y) const;

    platform::PixelBuffer* buffer_ = nullptr;
    Rec709Encoder encode_;
    // Full-resolution Cb and Cr of the even row waiting for its odd partner (4:2:0).
    std::vector<float> cb_, cr_, cbNext_, crNext_;
    std::vector<float> codes_;   // code values of the row being stored
    std::vector<float> dither_;  // 8 rows of thresholds, ditherWidth_ + 8 long
    int ditherWidth_ = -1;
};

}  // namespace fw
