#include "app/render/YCbCrWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/render/PixelLoops.h"

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

// Converts one row to Rec. 709 Y' (as float code values) and full-resolution Cb and Cr.
FW_PIXEL_LOOP
void encodeRow(const LinearPixel* row, int width, float lumaScale, float lumaOffset,
               float* __restrict luma, float* __restrict cb, float* __restrict cr) {
    const float* in = reinterpret_cast<const float*>(row);
    for (int x = 0; x < width; ++x) {
        const float r = rec709FromLinear(in[4 * x]);
        const float g = rec709FromLinear(in[4 * x + 1]);
        const float b = rec709FromLinear(in[4 * x + 2]);
        const float yy = kR * r + kG * g + kB * b;
        cb[x] = (b - yy) * kCbScale;
        cr[x] = (r - yy) * kCrScale;
        luma[x] = lumaOffset + lumaScale * yy;
    }
}

// Rounds code values to 8 bits after adding the dither thresholds.
FW_PIXEL_LOOP
void store8(const float* __restrict codes, const float* __restrict noise, int count,
            std::uint8_t* __restrict out) {
    for (int x = 0; x < count; ++x) {
        float v = codes[x] + noise[x] + 0.5f;
        v = v > 0.0f ? v : 0.0f;
        v = v < 255.0f ? v : 255.0f;
        out[x] = static_cast<std::uint8_t>(static_cast<int>(v));
    }
}

// Rounds code values to 10 bits in little-endian 16-bit words.
FW_PIXEL_LOOP
void store10(const float* __restrict codes, int count, std::uint8_t* __restrict out) {
    for (int x = 0; x < count; ++x) {
        float v = codes[x] + 0.5f;
        v = v > 0.0f ? v : 0.0f;
        v = v < 1023.0f ? v : 1023.0f;
        const auto word = static_cast<std::uint16_t>(static_cast<int>(v));
        std::memcpy(out + 2 * std::size_t(x), &word, 2);  // little-endian host
    }
}

// Chroma code values of left-sited samples: [1 2 1] / 4 across, averaged over two rows
// when a second row is given.
FW_PIXEL_LOOP
void chromaCodes(const float* __restrict c, const float* __restrict c2, int width, int chromaWidth,
                 float scale, float offset, float* __restrict out) {
    const float rowWeight = c2 != nullptr ? 0.125f : 0.25f;
    auto at = [&](int cx) {
        const int x = 2 * cx;
        const int left = std::max(x - 1, 0);
        const int right = std::min(x + 1, width - 1);
        float sum = c[left] + 2.0f * c[x] + c[right];
        if (c2 != nullptr)
            sum += c2[left] + 2.0f * c2[x] + c2[right];
        return offset + scale * rowWeight * sum;
    };
    out[0] = at(0);
    // Inside the row both neighbours exist.
    const int inner = std::max(1, (width - 1) / 2);
    if (c2 != nullptr) {
        for (int cx = 1; cx < inner; ++cx) {
            const int x = 2 * cx;
            out[cx] = offset + scale * rowWeight *
                                   ((c[x - 1] + 2.0f * c[x] + c[x + 1]) +
                                    (c2[x - 1] + 2.0f * c2[x] + c2[x + 1]));
        }
    } else {
        for (int cx = 1; cx < inner; ++cx) {
            const int x = 2 * cx;
            out[cx] = offset + scale * rowWeight * (c[x - 1] + 2.0f * c[x] + c[x + 1]);
        }
    }
    for (int cx = std::max(1, inner); cx < chromaWidth; ++cx)
        out[cx] = at(cx);
}

}  // namespace

void YCbCrWriter::begin(platform::PixelBuffer* buffer) {
    buffer_ = buffer;
    const std::size_t width = std::size_t(buffer->width);
    cb_.resize(width);
    cr_.resize(width);
    cbNext_.resize(width);
    crNext_.resize(width);
    codes_.resize(width);
    if (ditherWidth_ != buffer->width) {
        // Each row of the ordered-dither matrix repeated across the frame, for the luma
        // (x, y) and for the two chroma planes, which take the matrix at other offsets.
        ditherWidth_ = buffer->width;
        dither_.resize(8 * (width + 8));
        for (int y = 0; y < 8; ++y)
            for (std::size_t x = 0; x < width + 8; ++x)
                dither_[std::size_t(y) * (width + 8) + x] = dither(int(x), y);
    }
}

const float* YCbCrWriter::ditherRow(int x, int y) const {
    return dither_.data() + std::size_t(y & 7) * (std::size_t(ditherWidth_) + 8) +
           std::size_t(x & 7);
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
    encodeRow(row, width, lumaScale, lumaOffset, codes_.data(), cb, cr);
    if (eightBit)
        store8(codes_.data(), ditherRow(0, y), width, luma);
    else
        store10(codes_.data(), width, luma);

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

    chromaCodes(cb, cb2, width, chromaWidth, scale, offset, codes_.data());
    if (eightBit)
        store8(codes_.data(), ditherRow(0, chromaY + 3), chromaWidth, planeCb);
    else
        store10(codes_.data(), chromaWidth, planeCb);
    chromaCodes(cr, cr2, width, chromaWidth, scale, offset, codes_.data());
    if (eightBit)
        store8(codes_.data(), ditherRow(5, chromaY), chromaWidth, planeCr);
    else
        store10(codes_.data(), chromaWidth, planeCr);
}

}  // namespace fw
