// Guards the picture quality of the frame renderer against changes made for speed: photo-like
// images, shrunk by the same factors as 4000 × 3000 photographs into a 1080p frame, must
// render to within 50 dB PSNR of frames recorded from a known-good renderer
// (tests/app/data/render/*.yuv, every plane of the buffer, rows packed).
//
// To record the frames again (only after a deliberate change of the picture), run this test
// with FW_WRITE_RENDER_REFERENCE set to a directory; it writes the frames there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "app/render/MovieFrameRenderer.h"
#include "tests/support/FrameSourceFixtures.h"

namespace fw {
namespace {

using platform::PixelBuffer;
using platform::PixelFormat;
using testing::Pixels;

// 600 × 450 into 288 × 162 shrinks by 2.083 horizontally and 2.778 vertically, as
// 4000 × 3000 into 1920 × 1080 does.
constexpr int kImageWidth = 600;
constexpr int kImageHeight = 450;
constexpr int kFrameWidth = 288;
constexpr int kFrameHeight = 162;

// Smooth gradients, fine detail near the frame's sampling limit and sensor-like grain; with
// `alpha`, a fourth band fading from opaque to transparent with a fully transparent hole.
Pixels photo(bool alpha) {
    Pixels pixels(kImageWidth, kImageHeight, alpha ? 4 : 3);
    std::uint32_t noise = 12345;
    for (int y = 0; y < kImageHeight; ++y) {
        for (int x = 0; x < kImageWidth; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const double detail = 20.0 * std::sin(x * 0.35) * std::cos(y * 0.45);
            const double grain = double(noise >> 28) - 7.5;
            const double base[3] = {255.0 * x / kImageWidth, 255.0 * y / kImageHeight,
                                    128.0 + 100.0 * std::sin((x + y) * 0.015)};
            std::uint8_t* p =
                pixels.data.data() + (std::size_t(y) * kImageWidth + x) * pixels.bands;
            for (int c = 0; c < 3; ++c)
                p[c] = std::uint8_t(std::clamp(base[c] + detail + grain, 0.0, 255.0));
            if (alpha) {
                const bool hole = std::hypot(x - 300.0, y - 225.0) < 60.0;
                p[3] = hole ? 0 : std::uint8_t(255 - 200 * x / kImageWidth);
            }
        }
    }
    return pixels;
}

// The planes of a buffer, rows packed without padding.
std::vector<std::uint8_t> packedPlanes(const PixelBuffer& buffer) {
    std::vector<std::uint8_t> bytes;
    const auto shapes = platform::planeShapes(buffer.format, buffer.width, buffer.height);
    for (int plane = 0; plane < 3; ++plane) {
        for (int y = 0; y < shapes[plane].rows; ++y) {
            const std::uint8_t* row =
                buffer.planes[plane] + std::ptrdiff_t(y) * buffer.strides[plane];
            bytes.insert(bytes.end(), row, row + shapes[plane].rowBytes);
        }
    }
    return bytes;
}

// PSNR in dB of `actual` against `expected` over all samples of all planes.
double psnr(const std::vector<std::uint8_t>& expected, const std::vector<std::uint8_t>& actual,
            PixelFormat format) {
    const bool wide = platform::bytesPerSample(format) == 2;
    const double peak = wide ? 1023.0 : 255.0;
    double squares = 0;
    std::size_t samples = 0;
    for (std::size_t i = 0; i < expected.size(); i += wide ? 2 : 1, ++samples) {
        int a = expected[i];
        int b = actual[i];
        if (wide) {
            a |= expected[i + 1] << 8;
            b |= actual[i + 1] << 8;
        }
        squares += double(a - b) * double(a - b);
    }
    if (squares == 0)
        return INFINITY;
    return 10.0 * std::log10(peak * peak / (squares / double(samples)));
}

struct ReferenceCase {
    const char* name;  // the image file's name; the frame is recorded as <name>.yuv
    bool alpha;
    bool linearProfile;
    const char* saverOptions;
    std::string_view codec;
};

TEST(RenderReference, PhotographsRenderAsTheReferenceFrames) {
    const ReferenceCase cases[] = {
        {"photo.jpg", false, false, "Q=90", kCodecH264},
        {"photo.png", false, false, "", kCodecHEVC},
        {"photo-alpha.png", true, false, "", kCodecH264},
        {"photo-linear.png", false, true, "", kCodecH264},
    };
    testing::TestDirectory dir;
    const char* record = std::getenv("FW_WRITE_RENDER_REFERENCE");
    for (const ReferenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        testing::SaveOptions options;
        options.saverOptions = c.saverOptions;
        if (c.linearProfile)
            options.iccProfile = testing::linearRgbProfile();
        const std::string path = dir.path(c.name);
        testing::writeImage(path, photo(c.alpha), options);

        auto renderer = MovieFrameRenderer::create(FrameSize{kFrameWidth, kFrameHeight}, c.codec);
        ASSERT_NE(renderer, nullptr);
        auto buffer = PixelBuffer::allocate(renderer->pixelFormat(), kFrameWidth, kFrameHeight);
        std::optional<platform::Error> error = renderer->renderImageAtPath(path, buffer.get());
        ASSERT_FALSE(error.has_value()) << error->description;
        const std::vector<std::uint8_t> frame = packedPlanes(*buffer);

        const std::string reference = std::string(c.name) + ".yuv";
        if (record != nullptr) {
            std::ofstream out(std::string(record) + "/" + reference, std::ios::binary);
            out.write(reinterpret_cast<const char*>(frame.data()), std::streamsize(frame.size()));
            ASSERT_TRUE(out.good());
            continue;
        }
        std::ifstream in(std::string(FW_TEST_DATA_DIR) + "/render/" + reference, std::ios::binary);
        ASSERT_TRUE(in.good()) << "missing reference frame " << reference;
        const std::vector<std::uint8_t> expected{std::istreambuf_iterator<char>(in), {}};
        ASSERT_EQ(expected.size(), frame.size());
        EXPECT_GT(psnr(expected, frame, buffer->format), 50.0);
    }
}

}  // namespace
}  // namespace fw
