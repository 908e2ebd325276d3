#include "platform/ColorTransform.h"

#include <lcms2.h>

#include <cstdlib>
#include <vector>

namespace fw::platform {

struct ColorTransform::Handles {
    cmsContext context = nullptr;
    cmsHTRANSFORM transform = nullptr;
    ~Handles() {
        if (transform != nullptr)
            cmsDeleteTransform(transform);
        if (context != nullptr)
            cmsDeleteContext(context);
    }
};

namespace {

// Profiles are owned only while the transform is built.
struct ProfileRef {
    cmsHPROFILE profile = nullptr;
    ~ProfileRef() {
        if (profile != nullptr)
            cmsCloseProfile(profile);
    }
};

cmsUInt32Number inputFormat(ColorInputLayout layout) {
    const cmsUInt32Number bytes = BYTES_SH(static_cast<cmsUInt32Number>(layout.bytesPerSample));
    const cmsUInt32Number extra = layout.hasAlpha ? EXTRA_SH(1) : 0;
    switch (layout.model) {
        case ColorInputLayout::Model::kGray:
            return COLORSPACE_SH(PT_GRAY) | CHANNELS_SH(1) | bytes | extra;
        case ColorInputLayout::Model::kRGB:
            return COLORSPACE_SH(PT_RGB) | CHANNELS_SH(3) | bytes | extra;
        case ColorInputLayout::Model::kCMYK:
            return COLORSPACE_SH(PT_CMYK) | CHANNELS_SH(4) | bytes | extra;
    }
    return 0;
}

cmsColorSpaceSignature expectedSpace(ColorInputLayout::Model model) {
    switch (model) {
        case ColorInputLayout::Model::kGray:
            return cmsSigGrayData;
        case ColorInputLayout::Model::kRGB:
            return cmsSigRgbData;
        case ColorInputLayout::Model::kCMYK:
            return cmsSigCmykData;
    }
    return cmsSigRgbData;
}

// Profile errors are expected input (a damaged profile simply means "assume sRGB"):
// keep them off standard error.
void ignoreLcmsError(cmsContext, cmsUInt32Number, const char*) {}

// True when converting from `profile` to sRGB changes no colour by more than a quarter
// of an 8-bit step: most cameras and editors embed sRGB itself, and such images need no
// conversion at all. Decided by converting a grid of colours, which also catches sRGB
// profiles whose curves are stored as tables rather than as the formula.
bool describesSRGB(cmsContext context, cmsHPROFILE profile, cmsUInt32Number intent) {
    ProfileRef srgb;
    srgb.profile = cmsCreate_sRGBProfileTHR(context);
    if (srgb.profile == nullptr)
        return false;
    cmsHTRANSFORM check = cmsCreateTransformTHR(context, profile, TYPE_RGB_16, srgb.profile,
                                                TYPE_RGB_16, intent, cmsFLAGS_NOOPTIMIZE);
    if (check == nullptr)
        return false;
    constexpr int kSteps = 9;
    constexpr int kTolerance = 64;  // a quarter of an 8-bit step, in 16-bit units
    std::vector<std::uint16_t> in;
    for (int r = 0; r < kSteps; ++r)
        for (int g = 0; g < kSteps; ++g)
            for (int b = 0; b < kSteps; ++b)
                for (int c : {r, g, b})
                    in.push_back(static_cast<std::uint16_t>(c * 65535 / (kSteps - 1)));
    for (int v = 0; v < 256; ++v)  // every grey level, where curves differ most visibly
        for (int c = 0; c < 3; ++c)
            in.push_back(static_cast<std::uint16_t>(v * 257));
    std::vector<std::uint16_t> out(in.size());
    cmsDoTransform(check, in.data(), out.data(), static_cast<cmsUInt32Number>(in.size() / 3));
    cmsDeleteTransform(check);
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (std::abs(int(in[i]) - int(out[i])) > kTolerance)
            return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<ColorTransform> ColorTransform::create(std::span<const std::uint8_t> iccProfile,
                                                       ColorInputLayout layout) {
    if (iccProfile.empty() || layout.bytesPerSample < 1 || layout.bytesPerSample > 2)
        return nullptr;
    auto handles = std::make_unique<Handles>();
    handles->context = cmsCreateContext(nullptr, nullptr);
    if (handles->context == nullptr)
        return nullptr;
    cmsSetLogErrorHandlerTHR(handles->context, ignoreLcmsError);

    ProfileRef input;
    input.profile = cmsOpenProfileFromMemTHR(handles->context, iccProfile.data(),
                                             static_cast<cmsUInt32Number>(iccProfile.size()));
    if (input.profile == nullptr || cmsGetColorSpace(input.profile) != expectedSpace(layout.model))
        return nullptr;
    ProfileRef output;
    output.profile = cmsCreate_sRGBProfileTHR(handles->context);
    if (output.profile == nullptr)
        return nullptr;

    cmsUInt32Number intent = cmsGetHeaderRenderingIntent(input.profile);
    if (!cmsIsIntentSupported(input.profile, intent, LCMS_USED_AS_INPUT))
        intent = INTENT_PERCEPTUAL;
    handles->transform =
        cmsCreateTransformTHR(handles->context, input.profile, inputFormat(layout), output.profile,
                              TYPE_RGB_16, intent, cmsFLAGS_BLACKPOINTCOMPENSATION);
    if (handles->transform == nullptr)
        return nullptr;
    auto transform = std::unique_ptr<ColorTransform>(new ColorTransform(std::move(handles)));
    if (layout.model == ColorInputLayout::Model::kRGB)
        transform->identity_ = describesSRGB(transform->handles_->context, input.profile, intent);
    return transform;
}

ColorTransform::ColorTransform(std::unique_ptr<Handles> handles) : handles_(std::move(handles)) {}

ColorTransform::~ColorTransform() = default;

void ColorTransform::convertRow(const void* input, std::uint16_t* output, int pixels) const {
    cmsDoTransform(handles_->transform, input, output, static_cast<cmsUInt32Number>(pixels));
}

}  // namespace fw::platform
