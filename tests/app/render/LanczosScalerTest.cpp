#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "app/render/LanczosScaler.h"

namespace fw {
namespace {

TEST(LanczosAxis, WeightsOfEverySampleSumToOneAndStayInsideTheSource) {
    const std::pair<int, int> sizes[] = {{4000, 1920}, {3000, 1080}, {1000, 1280}, {1, 7},
                                         {7, 1},       {5, 5},       {2, 3}};
    for (auto [source, target] : sizes) {
        const LanczosAxis axis = LanczosAxis::make(source, target);
        ASSERT_EQ(axis.target, target);
        for (int i = 0; i < target; ++i) {
            const float* w = axis.weightsOf(i);
            const double sum = std::accumulate(w, w + axis.taps[std::size_t(i)], 0.0);
            EXPECT_NEAR(sum, 1.0, 1e-5) << source << "->" << target << " at " << i;
            EXPECT_GE(axis.first[std::size_t(i)], 0);
            EXPECT_LE(axis.first[std::size_t(i)] + axis.taps[std::size_t(i)], source);
            EXPECT_LE(axis.taps[std::size_t(i)], axis.maxTaps);
        }
    }
}

TEST(LanczosAxis, SameSizeIsTheIdentity) {
    const LanczosAxis axis = LanczosAxis::make(9, 9);
    for (int i = 0; i < 9; ++i) {
        const float* w = axis.weightsOf(i);
        for (int k = 0; k < axis.taps[std::size_t(i)]; ++k)
            EXPECT_NEAR(w[k], axis.first[std::size_t(i)] + k == i ? 1.0f : 0.0f, 1e-6f);
    }
}

// Scales a source whose pixel (x, y) is f(x, y) and returns the target rows.
std::vector<std::vector<LinearPixel>> scaleImage(int sw, int sh, int tw, int th,
                                                 const std::function<float(int, int)>& f) {
    LanczosScaler scaler;
    std::vector<std::vector<LinearPixel>> rows;
    int expectedSourceRow = 0;
    scaler.scale(
        sw, sh, tw, th,
        [&](int y, SourceRowPixels row) {
            EXPECT_EQ(y, expectedSourceRow++);  // in order, each once
            for (int x = 0; x < sw; ++x) {
                const float v = f(x, y);
                row[std::size_t(x)] = LinearPixel{v, v, v, 1.0f};
            }
            return true;
        },
        [&](int y, const LinearPixel* row) {
            EXPECT_EQ(y, int(rows.size()));
            rows.emplace_back(row, row + tw);
        });
    return rows;
}

TEST(LanczosScaler, StretchesToTheExactTargetSizeWithIndependentFactors) {
    const auto rows = scaleImage(400, 300, 192, 108, [](int, int) { return 0.25f; });
    ASSERT_EQ(rows.size(), 108u);
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 192u);
        for (const LinearPixel& p : row)
            EXPECT_NEAR(p[0], 0.25f, 1e-5f);
    }
}

TEST(LanczosScaler, ShrinkingAveragesFineDetailInsteadOfAliasing) {
    // One-pixel stripes 0/1 shrunk 4:1 must become an even 0.5, not a stripe pattern.
    const auto rows = scaleImage(400, 40, 100, 10, [](int x, int) { return float(x & 1); });
    for (std::size_t x = 5; x < 95; ++x)
        EXPECT_NEAR(rows[5][x][0], 0.5f, 0.01f) << x;
}

TEST(LanczosScaler, EnlargingKeepsAStepInPlace) {
    // Left half 0, right half 1; enlarged 3× the step stays in the middle.
    const auto rows = scaleImage(10, 4, 30, 12, [](int x, int) { return x < 5 ? 0.0f : 1.0f; });
    EXPECT_NEAR(rows[6][0][0], 0.0f, 0.02f);
    EXPECT_NEAR(rows[6][29][0], 1.0f, 0.02f);
    EXPECT_NEAR(rows[6][14][0] + rows[6][15][0], 1.0f, 0.05f);
}

}  // namespace
}  // namespace fw
