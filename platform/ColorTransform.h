// ColorTransform: converts pixel rows described by an embedded ICC profile to sRGB.
//
// The output is sRGB-encoded RGB, 16 bits per channel, three channels per pixel; any
// alpha channel of the input is skipped (the caller carries alpha itself). sRGB shares
// its primaries and white point with Rec. 709, so the result needs only a change of
// transfer function to reach Rec. 709.
//
// Thread-safety: a transform is used by one thread at a time. Each transform owns its own
// colour-management context, so different transforms may be used on different threads
// at once.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace fw::platform {

// The layout of the input samples: colour model, bytes per sample and whether a straight
// alpha channel follows the colour channels.
struct ColorInputLayout {
    enum class Model { kGray, kRGB, kCMYK };
    Model model = Model::kRGB;
    int bytesPerSample = 1;  // 1 or 2 (native endian)
    bool hasAlpha = false;
};

class ColorTransform {
public:
    // A transform from `iccProfile` to sRGB for samples of `layout`. Returns nothing when
    // the profile cannot be read, does not describe the layout's colour model, or no
    // transform can be built; the caller then assumes sRGB.
    static std::unique_ptr<ColorTransform> create(std::span<const std::uint8_t> iccProfile,
                                                  ColorInputLayout layout);

    ~ColorTransform();
    ColorTransform(const ColorTransform&) = delete;
    ColorTransform& operator=(const ColorTransform&) = delete;

    // Converts `pixels` pixels from `input` into `output` (3 × pixels values).
    void convertRow(const void* input, std::uint16_t* output, int pixels) const;

    // True when the profile describes sRGB itself (no colour moves by more than a quarter
    // of an 8-bit step): the samples can be used as they are, without `convertRow`.
    bool isIdentity() const { return identity_; }

private:
    struct Handles;
    explicit ColorTransform(std::unique_ptr<Handles> handles);

    std::unique_ptr<Handles> handles_;
    bool identity_ = false;
};

}  // namespace fw::platform
