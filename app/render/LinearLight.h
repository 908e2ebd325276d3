// LinearLight: the pixel type the frame renderer works in, and the transfer functions
// between sRGB-encoded samples and linear light.
//
// A `LinearPixel` holds linear-light red, green and blue premultiplied by alpha (so that
// filtering does not bleed colour out of transparent areas) and a fourth lane the
// renderer does not use. Laid over opaque black, a premultiplied pixel is its own colour.
//
// Thread-safety: the tables are built once, on first use, and only read afterwards.
#pragma once

#include <bit>
#include <cmath>
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

// linearToRec709 computed without a table or branches, so loops over many pixels
// vectorise: clamps to [0, 1] first (NaN to 0); within about 3e-7 of the exact function.
inline float rec709FromLinear(float linear) {
    float l = linear > 0.0f ? linear : 0.0f;
    l = l < 1.0f ? l : 1.0f;
    // l^0.45 = 2^(0.45 log2 l); only needed from 0.018 on, where the power segment starts.
    const float x = l > 0.018f ? l : 0.018f;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    int exponent = static_cast<int>(bits >> 23) - 127;
    float m = std::bit_cast<float>((bits & 0x7FFFFFu) | 0x3F800000u);  // [1, 2)
    const bool upper = m > 1.5f;  // keep m in [0.75, 1.5] so the series below converges fast
    m = upper ? 0.5f * m : m;
    exponent += upper ? 1 : 0;
    // ln m = 2 atanh(s), s = (m - 1) / (m + 1), |s| <= 0.2
    const float s = (m - 1.0f) / (m + 1.0f);
    const float s2 = s * s;
    const float ln =
        2.0f * s * (1.0f + s2 * (1.0f / 3 + s2 * (1.0f / 5 + s2 * (1.0f / 7 + s2 * (1.0f / 9)))));
    const float y = 0.45f * (static_cast<float>(exponent) + ln * 1.44269504f);  // [-2.7, 0]
    const float floor = std::floor(y);
    const int whole = static_cast<int>(floor);
    const float t = (y - floor) * 0.693147181f;  // 2^f = e^t, f in [0, 1)
    const float e =
        1.0f +
        t * (1.0f +
             t * (1.0f / 2 +
                  t * (1.0f / 6 +
                       t * (1.0f / 24 +
                            t * (1.0f / 120 +
                                 t * (1.0f / 720 + t * (1.0f / 5040 + t * (1.0f / 40320))))))));
    const float power = std::bit_cast<float>(std::bit_cast<std::uint32_t>(e) +
                                             (static_cast<std::uint32_t>(whole) << 23));
    return l <= 0.018f ? 4.5f * l : 1.099f * power - 0.099f;
}

}  // namespace fw
