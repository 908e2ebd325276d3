#include "app/render/YCbCrWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace fw {

namespace {

// BT.709 luma coefficients and the chroma scale factors derived from them.
constexpr float kR = 0.2126f;
constexpr float kG = 0.7152f;
constexpr float kB = 0.0722f;
constexpr float kCbScale = 1.0f / 1.8556f;  // 2 × (1 − kB)
constexpr float kCrScale = 1.0f / 1.5748f;  // 2 × (1 − kR)

// 8 × 8 ordered-dither thresholds, centred on zero, in (−0.5, 0.5).
constexpr int kBayer[8][8] = {{0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
                              {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
                              {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
                              {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};

inline float dither(int x, int y) {
    return (static_cast<float>(kBayer[y & 7][x & 7]) + 0.5f) / 64.0f - 0.5f;
}

inline std::uint8_t to8(float value, float noise) {
    return static_cast<std::uint8_t>(std::clamp(value + noise + 0.5f, 0.0f, 255.0f));
}

inline std::uint16_t to10(float value) {
    return static_cast<std::uint16_t>(std::clamp(value + 0.5f, 0.0f, 1023.0f));
}

inline void store16(std::uint8_t* plane, int x, std::uint16_t value) {
    std::memcpy(plane + 2 * std::size_t(x), &value, 2);  // little-endian host
}

}  // namespace

void YCbCrWriter::begin(platform::PixelBuffer* buffer) {
    buffer_ = buffer;
    const std::size_t width = std::size_t(buffer->width);
    cb_.resize(width);
    cr_.resize(width);
    cbNext_.resize(width);
    crNext_.resize(width);
}

void YCbCrWriter::writeRow(int y, const LinearPixel* row) {
    platform::PixelBuffer& buffer = *buffer_;
    const int width = buffer.width;
    const bool eightBit = buffer.format == platform::PixelFormat::k420v;
    const bool halfHeight = platform::chromaShiftY(buffer.format) == 1;
    std::uint8_t* luma = buffer.planes[0] + std::ptrdiff_t(y) * buffer.strides[0];

    // Rows of a 4:2:0 pair: the even row waits in cb_/cr_, the odd one goes to *Next_.
    const bool secondOfPair = halfHeight && (y & 1) == 1;
    float* cb = secondOfPair ? cbNext_.data() : cb_.data();
    float* cr = secondOfPair ? crNext_.data() : cr_.data();

    const float lumaScale = eightBit ? 219.0f : 876.0f;
    const float lumaOffset = eightBit ? 16.0f : 64.0f;
    for (int x = 0; x < width; ++x) {
        const LinearPixel p = row[x];
        const float r = encode_(p[0]);
        const float g = encode_(p[1]);
        const float b = encode_(p[2]);
        const float yy = kR * r + kG * g + kB * b;
        cb[x] = (b - yy) * kCbScale;
        cr[x] = (r - yy) * kCrScale;
        const float code = lumaOffset + lumaScale * yy;
        if (eightBit) {
            luma[x] = to8(code, dither(x, y));
        } else {
            store16(luma, x, to10(code));
        }
    }

    const int lastRow = buffer.height - 1;
    if (!halfHeight) {
        writeChromaRow(y, cb, cr, nullptr, nullptr);
    } else if (secondOfPair) {
        writeChromaRow(y / 2, cb_.data(), cr_.data(), cbNext_.data(), crNext_.data());
    } else if (y == lastRow) {
        // An odd frame height leaves the last row without a partner.
        writeChromaRow(y / 2, cb_.data(), cr_.data(), nullptr, nullptr);
    }
}

void YCbCrWriter::writeChromaRow(int chromaY, const float* cb, const float* cr, const float* cb2,
                                 const float* cr2) {
    platform::PixelBuffer& buffer = *buffer_;
    const int width = buffer.width;
    const int chromaWidth = (width + 1) / 2;
    const bool eightBit = buffer.format == platform::PixelFormat::k420v;
    std::uint8_t* planeCb = buffer.planes[1] + std::ptrdiff_t(chromaY) * buffer.strides[1];
    std::uint8_t* planeCr = buffer.planes[2] + std::ptrdiff_t(chromaY) * buffer.strides[2];
    const float scale = eightBit ? 224.0f : 896.0f;
    const float offset = eightBit ? 128.0f : 512.0f;
    // Averaging two rows halves the weights; one row carries them alone.
    const float rowWeight = cb2 != nullptr ? 0.125f : 0.25f;

    for (int cx = 0; cx < chromaWidth; ++cx) {
        const int x = 2 * cx;
        const int left = std::max(x - 1, 0);
        const int right = std::min(x + 1, width - 1);
        float u = cb[left] + 2.0f * cb[x] + cb[right];
        float v = cr[left] + 2.0f * cr[x] + cr[right];
        if (cb2 != nullptr) {
            u += cb2[left] + 2.0f * cb2[x] + cb2[right];
            v += cr2[left] + 2.0f * cr2[x] + cr2[right];
        }
        const float codeU = offset + scale * rowWeight * u;
        const float codeV = offset + scale * rowWeight * v;
        if (eightBit) {
            planeCb[cx] = to8(codeU, dither(cx, chromaY + 3));
            planeCr[cx] = to8(codeV, dither(cx + 5, chromaY));
        } else {
            store16(planeCb, cx, to10(codeU));
            store16(planeCr, cx, to10(codeV));
        }
    }
}

}  // namespace fw
