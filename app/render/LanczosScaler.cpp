#include "app/render/LanczosScaler.h"

#include <algorithm>
#include <cmath>
#include <numbers>

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

bool LanczosScaler::scale(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight,
                          const SourceRow& sourceRow, const TargetRow& targetRow) {
    const LanczosAxis& h = axis(horizontal_, sourceWidth, targetWidth);
    const LanczosAxis& v = axis(vertical_, sourceHeight, targetHeight);
    const std::size_t width = std::size_t(targetWidth);
    const int ringRows = v.maxTaps;
    sourceRow_.resize(std::size_t(sourceWidth));
    ring_.resize(width * std::size_t(ringRows));
    targetRow_.resize(width);

    // Filters source row y horizontally into its slot of the ring.
    auto filterRow = [&](int y) {
        if (!sourceRow(y, sourceRow_.data()))
            return false;
        LinearPixel* out = ring_.data() + std::size_t(y % ringRows) * width;
        const LinearPixel* in = sourceRow_.data();
        for (int x = 0; x < targetWidth; ++x) {
            const float* w = h.weightsOf(x);
            const LinearPixel* s = in + h.first[std::size_t(x)];
            const int taps = h.taps[std::size_t(x)];
            // Four independent sums: one running sum would wait on the adder's latency
            // at every tap.
            LinearPixel acc0 = {0.0f, 0.0f, 0.0f, 0.0f};
            LinearPixel acc1 = acc0;
            LinearPixel acc2 = acc0;
            LinearPixel acc3 = acc0;
            int k = 0;
            for (; k + 4 <= taps; k += 4) {
                acc0 += w[k] * s[k];
                acc1 += w[k + 1] * s[k + 1];
                acc2 += w[k + 2] * s[k + 2];
                acc3 += w[k + 3] * s[k + 3];
            }
            for (; k < taps; ++k)
                acc0 += w[k] * s[k];
            out[x] = (acc0 + acc1) + (acc2 + acc3);
        }
        return true;
    };

    int filtered = 0;  // source rows filtered so far
    for (int y = 0; y < targetHeight; ++y) {
        const int first = v.first[std::size_t(y)];
        const int taps = v.taps[std::size_t(y)];
        // Windows only move down, so rows above `first` are no longer needed; the ring
        // holds maxTaps rows, enough for any window.
        while (filtered < first + taps)
            if (!filterRow(filtered++))
                return false;
        const float* w = v.weightsOf(y);
        LinearPixel* out = targetRow_.data();
        rows_.resize(std::size_t(taps));
        for (int k = 0; k < taps; ++k)
            rows_[std::size_t(k)] = ring_.data() + std::size_t((first + k) % ringRows) * width;
        // Four pixels at a time, summed in registers over the whole window, so each
        // filtered row is read once and the target row written once.
        std::size_t x = 0;
        for (; x + 4 <= width; x += 4) {
            LinearPixel a0 = {0.0f, 0.0f, 0.0f, 0.0f};
            LinearPixel a1 = a0;
            LinearPixel a2 = a0;
            LinearPixel a3 = a0;
            for (int k = 0; k < taps; ++k) {
                const LinearPixel* in = rows_[std::size_t(k)] + x;
                const float wk = w[k];
                a0 += wk * in[0];
                a1 += wk * in[1];
                a2 += wk * in[2];
                a3 += wk * in[3];
            }
            out[x] = a0;
            out[x + 1] = a1;
            out[x + 2] = a2;
            out[x + 3] = a3;
        }
        for (; x < width; ++x) {
            LinearPixel a = {0.0f, 0.0f, 0.0f, 0.0f};
            for (int k = 0; k < taps; ++k)
                a += w[k] * rows_[std::size_t(k)][x];
            out[x] = a;
        }
        targetRow(y, out);
    }
    return true;
}

}  // namespace fw
