#include "app/render/LanczosScaler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "app/render/PixelLoops.h"

namespace fw {

namespace {

constexpr double kLobes = 3.0;

double sinc(double x) {
    if (x == 0.0)
        return 1.0;
    const double px = std::numbers::pi * x;
    return std::sin(px) / px;
}

double lanczos3(double x) {
    if (x <= -kLobes || x >= kLobes)
        return 0.0;
    return sinc(x) * sinc(x / kLobes);
}

}  // namespace

LanczosAxis LanczosAxis::make(int source, int target) {
    LanczosAxis axis;
    axis.source = source;
    axis.target = target;
    const double factor = static_cast<double>(target) / source;
    // Shrinking widens the kernel so it low-passes at the target's sampling rate.
    const double kernelScale = std::min(factor, 1.0);
    const double support = kLobes / kernelScale;

    std::vector<std::vector<double>> perTarget(static_cast<std::size_t>(target));
    axis.first.resize(static_cast<std::size_t>(target));
    axis.taps.resize(static_cast<std::size_t>(target));
    for (int i = 0; i < target; ++i) {
        const double center = (i + 0.5) / factor - 0.5;
        const int lo = static_cast<int>(std::floor(center - support)) + 1;
        const int hi = static_cast<int>(std::ceil(center + support)) - 1;
        // Positions outside the image repeat its edge pixels: fold their weight there.
        const int firstIndex = std::clamp(lo, 0, source - 1);
        const int lastIndex = std::clamp(hi, 0, source - 1);
        std::vector<double>& w = perTarget[std::size_t(i)];
        w.assign(std::size_t(lastIndex - firstIndex + 1), 0.0);
        double sum = 0.0;
        for (int j = lo; j <= hi; ++j) {
            const double weight = lanczos3((j - center) * kernelScale);
            w[std::size_t(std::clamp(j, 0, source - 1) - firstIndex)] += weight;
            sum += weight;
        }
        if (sum == 0.0) {
            w.assign(w.size(), 0.0);
            w[std::size_t(std::clamp(static_cast<int>(std::lround(center)), firstIndex, lastIndex) -
                          firstIndex)] = 1.0;
            sum = 1.0;
        }
        for (double& weight : w)
            weight /= sum;
        axis.first[std::size_t(i)] = firstIndex;
        axis.taps[std::size_t(i)] = static_cast<int>(w.size());
        axis.maxTaps = std::max(axis.maxTaps, static_cast<int>(w.size()));
    }
    axis.weights.assign(std::size_t(target) * std::size_t(axis.maxTaps), 0.0f);
    for (int i = 0; i < target; ++i) {
        const std::vector<double>& w = perTarget[std::size_t(i)];
        float* out = axis.weights.data() + std::size_t(i) * std::size_t(axis.maxTaps);
        for (std::size_t k = 0; k < w.size(); ++k)
            out[k] = static_cast<float>(w[k]);
    }
    return axis;
}

const LanczosAxis& LanczosScaler::axis(LanczosAxis& cached, int source, int target) {
    if (cached.source != source || cached.target != target)
        cached = LanczosAxis::make(source, target);
    return cached;
}

namespace {

constexpr int kGroup = LanczosScaler::kRowsPerGroup;

// One pixel of the four rows of a group: red, green, blue, alpha of each row in turn.
typedef float GroupPixel __attribute__((vector_size(sizeof(float) * 4 * kGroup)));

// Filters a group of source rows horizontally: target pixel x of group row r goes to
// out[r][x]. Two independent sums per pixel, so the adds do not all wait on one another.
FW_PIXEL_LOOP
void filterGroup(const LinearPixel* __restrict group, const LanczosAxis& h,
                 LinearPixel* const* out) {
    const int targetWidth = h.target;
    const int maxTaps = h.maxTaps;
    const int* first = h.first.data();
    const int* taps = h.taps.data();
    const float* weights = h.weights.data();
    for (int x = 0; x < targetWidth; ++x) {
        const LinearPixel* s = group + std::size_t(first[x]) * kGroup;
        const float* w = weights + std::size_t(x) * std::size_t(maxTaps);
        const int n = taps[x];
        GroupPixel a0 = {};
        GroupPixel a1 = {};
        int k = 0;
        for (; k + 2 <= n; k += 2) {
            GroupPixel p0;
            GroupPixel p1;
            std::memcpy(&p0, s + std::size_t(k) * kGroup, sizeof p0);
            std::memcpy(&p1, s + std::size_t(k + 1) * kGroup, sizeof p1);
            a0 += w[k] * p0;
            a1 += w[k + 1] * p1;
        }
        if (k < n) {
            GroupPixel p0;
            std::memcpy(&p0, s + std::size_t(k) * kGroup, sizeof p0);
            a0 += w[k] * p0;
        }
        const GroupPixel sum = a0 + a1;
        for (int r = 0; r < kGroup; ++r)
            std::memcpy(out[r] + x, reinterpret_cast<const float*>(&sum) + 4 * r,
                        sizeof(LinearPixel));
    }
}

// out[i] = sum over k of w[k] × rows[k][i], for i < n, in chunks that stay in the first-level
// cache while every row of the window is added in.
FW_PIXEL_LOOP
void filterColumns(float* __restrict out, const float* const* rows, const float* w, int taps,
                   std::size_t n) {
    constexpr std::size_t kChunk = 1024;
    for (std::size_t begin = 0; begin < n; begin += kChunk) {
        const std::size_t end = std::min(n, begin + kChunk);
        int k = 0;
        {
            const float* __restrict r0 = rows[0];
            const float w0 = w[0];
            for (std::size_t i = begin; i < end; ++i)
                out[i] = w0 * r0[i];
            k = 1;
        }
        for (; k + 2 <= taps; k += 2) {
            const float* __restrict r0 = rows[k];
            const float* __restrict r1 = rows[k + 1];
            const float w0 = w[k];
            const float w1 = w[k + 1];
            for (std::size_t i = begin; i < end; ++i)
                out[i] += w0 * r0[i] + w1 * r1[i];
        }
        if (k < taps) {
            const float* __restrict r0 = rows[k];
            const float w0 = w[k];
            for (std::size_t i = begin; i < end; ++i)
                out[i] += w0 * r0[i];
        }
    }
}

}  // namespace

bool LanczosScaler::scale(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight,
                          const SourceRow& sourceRow, const TargetRow& targetRow) {
    const LanczosAxis& h = axis(horizontal_, sourceWidth, targetWidth);
    const LanczosAxis& v = axis(vertical_, sourceHeight, targetHeight);
    const std::size_t width = std::size_t(targetWidth);
    // A window reaches at most maxTaps rows; the group that completes it may run up to
    // kGroup - 1 rows further. The extra row takes the results of rows past the bottom.
    const int ringRows = v.maxTaps + kGroup;
    group_.resize(std::size_t(sourceWidth) * kGroup);
    ring_.resize(width * std::size_t(ringRows + 1));
    targetRow_.resize(width);
    LinearPixel* const spare = ring_.data() + width * std::size_t(ringRows);

    // Filters source rows top ..< top + kGroup horizontally into their slots of the ring.
    auto filterRows = [&](int top) {
        LinearPixel* out[kGroup];
        for (int r = 0; r < kGroup; ++r) {
            const int y = top + r;
            if (y >= sourceHeight) {
                out[r] = spare;
                continue;
            }
            if (!sourceRow(y, SourceRowPixels{group_.data() + r, kGroup}))
                return false;
            out[r] = ring_.data() + std::size_t(y % ringRows) * width;
        }
        filterGroup(group_.data(), h, out);
        return true;
    };

    int filtered = 0;  // source rows filtered so far
    for (int y = 0; y < targetHeight; ++y) {
        const int first = v.first[std::size_t(y)];
        const int taps = v.taps[std::size_t(y)];
        // Windows only move down, so rows above `first` are no longer needed.
        while (filtered < first + taps) {
            if (!filterRows(filtered))
                return false;
            filtered += kGroup;
        }
        rows_.resize(std::size_t(taps));
        for (int k = 0; k < taps; ++k)
            rows_[std::size_t(k)] = reinterpret_cast<const float*>(
                ring_.data() + std::size_t((first + k) % ringRows) * width);
        filterColumns(reinterpret_cast<float*>(targetRow_.data()), rows_.data(), v.weightsOf(y),
                      taps, width * 4);
        targetRow(y, targetRow_.data());
    }
    return true;
}

}  // namespace fw
