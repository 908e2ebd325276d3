// Frame rendering: one 4000 × 3000 photograph (JPEG and PNG) into a 1920 × 1080 frame,
// for each of the three pixel formats. The single-thread cases give the cost of one
// frame; the multi-thread cases run one renderer per thread, as the export engine's
// worker pool does, and report frames per second over all threads.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <vips/vips.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/render/MovieFrameRenderer.h"
#include "platform/PixelBuffer.h"

namespace {

constexpr int kImageWidth = 4000;
constexpr int kImageHeight = 3000;
constexpr int kFrameWidth = 1920;
constexpr int kFrameHeight = 1080;

// A photograph-like test image: smooth gradients, fine detail and some sensor noise, so
// that both the JPEG and the PNG decoder do realistic work.
struct TestImages {
    std::filesystem::path directory;
    std::string jpeg;
    std::string png;

    TestImages() {
        if (VIPS_INIT("frame-renderer-benchmark") != 0)
            std::abort();
        directory = std::filesystem::temp_directory_path() /
                    ("fw-frame-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(directory);
        std::vector<std::uint8_t> pixels(std::size_t(kImageWidth) * kImageHeight * 3);
        std::uint32_t noise = 12345;
        for (int y = 0; y < kImageHeight; ++y) {
            for (int x = 0; x < kImageWidth; ++x) {
                noise = noise * 1664525u + 1013904223u;
                const double detail = 20.0 * std::sin(x * 0.05) * std::cos(y * 0.07);
                const double grain = double(noise >> 28) - 7.5;
                const double base[3] = {255.0 * x / kImageWidth, 255.0 * y / kImageHeight,
                                        128.0 + 100.0 * std::sin((x + y) * 0.002)};
                for (int c = 0; c < 3; ++c) {
                    const double v = base[c] + detail + grain;
                    pixels[(std::size_t(y) * kImageWidth + x) * 3 + c] =
                        std::uint8_t(std::clamp(v, 0.0, 255.0));
                }
            }
        }
        VipsImage* image = vips_image_new_from_memory(pixels.data(), pixels.size(), kImageWidth,
                                                      kImageHeight, 3, VIPS_FORMAT_UCHAR);
        jpeg = (directory / "photo.jpg").string();
        png = (directory / "photo.png").string();
        if (vips_image_write_to_file(image, (jpeg + "[Q=90]").c_str(), nullptr) != 0 ||
            vips_image_write_to_file(image, png.c_str(), nullptr) != 0)
            std::abort();
        g_object_unref(image);
    }
    ~TestImages() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
};

const TestImages& images() {
    static TestImages instance;
    return instance;
}

void renderFrames(benchmark::State& state, const std::string& path, std::string_view codec) {
    auto renderer = fw::MovieFrameRenderer::create(fw::FrameSize{kFrameWidth, kFrameHeight}, codec);
    auto buffer =
        fw::platform::PixelBuffer::allocate(renderer->pixelFormat(), kFrameWidth, kFrameHeight);
    for (auto _ : state) {
        if (renderer->renderImageAtPath(path, buffer.get()))
            state.SkipWithError("render failed");
        benchmark::DoNotOptimize(buffer->planes[0][0]);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_RenderJpeg(benchmark::State& state, std::string_view codec) {
    renderFrames(state, images().jpeg, codec);
}
void BM_RenderPng(benchmark::State& state, std::string_view codec) {
    renderFrames(state, images().png, codec);
}

const int kPoolThreads = int(std::max(2u, std::thread::hardware_concurrency()));

}  // namespace

BENCHMARK_CAPTURE(BM_RenderJpeg, h264_420v, fw::kCodecH264)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_RenderJpeg, hevc_x420, fw::kCodecHEVC)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_RenderJpeg, prores_x422, fw::kCodecProRes422)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_RenderPng, h264_420v, fw::kCodecH264)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_RenderPng, hevc_x420, fw::kCodecHEVC)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_RenderPng, prores_x422, fw::kCodecProRes422)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One renderer per thread on every core: frames per second of the whole pool.
BENCHMARK_CAPTURE(BM_RenderJpeg, h264_420v_pool, fw::kCodecH264)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Threads(kPoolThreads);
BENCHMARK_CAPTURE(BM_RenderPng, h264_420v_pool, fw::kCodecH264)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Threads(kPoolThreads);

BENCHMARK_MAIN();
