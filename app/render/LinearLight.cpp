#include "app/render/LinearLight.h"

#include <array>
#include <cmath>
#include <vector>

namespace fw {

double srgbToLinear(double encoded) {
    if (encoded <= 0.04045)
        return encoded / 12.92;
    return std::pow((encoded + 0.055) / 1.055, 2.4);
}

double linearToRec709(double linear) {
    if (linear <= 0.0)
        return 0.0;
    if (linear >= 1.0)
        return 1.0;
    if (linear < 0.018)
        return 4.5 * linear;
    return 1.099 * std::pow(linear, 0.45) - 0.099;
}

const float* srgb8ToLinearTable() {
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int i = 0; i < 256; ++i)
            t[i] = static_cast<float>(srgbToLinear(i / 255.0));
        return t;
    }();
    return table.data();
}

const float* srgb16ToLinearTable() {
    static const std::vector<float> table = [] {
        std::vector<float> t(65536);
        for (int i = 0; i < 65536; ++i)
            t[i] = static_cast<float>(srgbToLinear(i / 65535.0));
        return t;
    }();
    return table.data();
}

namespace {
// kSteps + 2 entries: the interpolation at exactly 1.0 - epsilon reads index kSteps.
constexpr int kEncoderSteps = 4096;
const float* rec709Table() {
    static const std::vector<float> table = [] {
        std::vector<float> t(kEncoderSteps + 2);
        for (int i = 0; i <= kEncoderSteps + 1; ++i)
            t[i] = static_cast<float>(linearToRec709(static_cast<double>(i) / kEncoderSteps));
        return t;
    }();
    return table.data();
}
}  // namespace

Rec709Encoder::Rec709Encoder() : table_(rec709Table()) {}

}  // namespace fw
