// LanczosScaler: separable Lanczos-3 resampling of linear-light rows to an exact size.
//
// The horizontal and vertical factors are independent (target / source on each axis),
// so an image is stretched to exactly the target size whatever its aspect ratio. When
// shrinking, the kernel is widened by the reduction factor so every source pixel counts;
// edges repeat the outermost pixel. Weights of each output sample sum to one.
//
// The scaler streams: it asks for source rows in order, keeps only the few horizontally
// filtered rows the vertical filter needs, and hands out each target row as soon as it is
// complete. Its memory is a few rows, whatever the image size.
//
// Source rows are taken four at a time and filtered horizontally together: the four rows'
// pixels lie side by side in memory, so one vector operation applies a weight to the same
// pixel of all four rows (the weights of a column are the same in every row).
//
// Thread-safety: a scaler is used by one thread at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "app/render/LinearLight.h"

namespace fw {

// Lanczos-3 weights for resampling one axis of `source` samples to `target` samples.
struct LanczosAxis {
    int source = 0;
    int target = 0;
    int maxTaps = 0;             // widest window of any target sample
    std::vector<int> first;      // first source index used by each target sample
    std::vector<int> taps;       // number of source samples used by each target sample
    std::vector<float> weights;  // target × maxTaps, window order, zero-padded

    static LanczosAxis make(int source, int target);
    const float* weightsOf(int index) const {
        return weights.data() + std::size_t(index) * std::size_t(maxTaps);
    }
};

// Where a source row's pixels go: pixel x at pixels[x * stride].
struct SourceRowPixels {
    LinearPixel* pixels;
    std::size_t stride;
    LinearPixel& operator[](std::size_t x) const { return pixels[x * stride]; }
};

class LanczosScaler {
public:
    // Fills `row` (sourceWidth pixels) with source row `y` and returns true, or returns
    // false when the row cannot be had (scaling then stops). Rows are asked for in
    // increasing order, each once.
    using SourceRow = std::function<bool(int y, SourceRowPixels row)>;
    // Receives target row `y` (targetWidth pixels); rows come in increasing order.
    using TargetRow = std::function<void(int y, const LinearPixel* row)>;

    // Resamples a sourceWidth × sourceHeight image to targetWidth × targetHeight.
    // All sizes must be at least 1. Returns false when a source row could not be had.
    bool scale(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight,
               const SourceRow& sourceRow, const TargetRow& targetRow);

    // Source rows filtered horizontally together.
    static constexpr int kRowsPerGroup = 4;

private:
    const LanczosAxis& axis(LanczosAxis& cached, int source, int target);

    LanczosAxis horizontal_;
    LanczosAxis vertical_;
    std::vector<LinearPixel> group_;  // kRowsPerGroup source rows, pixel by pixel
    std::vector<LinearPixel> ring_;   // horizontally filtered rows
    std::vector<LinearPixel> targetRow_;
    std::vector<const float*> rows_;  // the ring rows of the current window
};

}  // namespace fw
