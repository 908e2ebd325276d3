// LinearLight: the pixel type the frame renderer works in, and the transfer functions
// between sRGB-encoded samples and linear light.
//
// A `LinearPixel` holds linear-light red, green and blue premultiplied by alpha (so that
// filtering does not bleed colour out of transparent areas) and a fourth lane the
// renderer does not use. Laid over opaque black, a premultiplied pixel is its own colour.
//
// Thread-safety: the tables are built once, on first use, and only read afterwards.
#pragma once

#include <cstdint>

namespace fw {

typedef float LinearPixel __attribute__((vector_size(16)));

// The sRGB decoding function (IEC 61966-2-1) of a sample in [0, 1].
double srgbToLinear(double encoded);
// The Rec. 709 encoding function (ITU-R BT.709 opto-electronic transfer) of linear light in [0, 1].
double linearToRec709(double linear);

// Lookup tables of srgbToLinear for every 8-bit and every 16-bit code.
const float* srgb8ToLinearTable();   // 256 entries
const float* srgb16ToLinearTable();  // 65536 entries

// linearToRec709 for many values: clamps to [0, 1] first (NaN to 0); accurate to about 1e-6.
// Written without branches, so loops over many pixels vectorise.
class Rec709Encoder {
public:
    Rec709Encoder();
    float operator()(float linear) const { return encode(table_, linear); }

    // The same through the encoder's table, for loops that hold the table themselves.
    static float encode(const float* table, float linear) {
        float clamped = linear > 0.0f ? linear : 0.0f;
        clamped = clamped < 1.0f ? clamped : 1.0f;
        const float position = clamped * kSteps;
        const int index = static_cast<int>(position);
        const float fraction = position - static_cast<float>(index);
        return table[index] + (table[index + 1] - table[index]) * fraction;
    }
    const float* table() const { return table_; }

private:
    static constexpr int kSteps = 4096;
    const float* table_;
};

}  // namespace fw
