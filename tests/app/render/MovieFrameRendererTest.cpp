#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "app/render/MovieFrameRenderer.h"
#include "app/render/MovieSource.h"
#include "tests/support/FrameSourceFixtures.h"

namespace fw {
namespace {

using platform::PixelBuffer;
using platform::PixelFormat;
using testing::Pixels;
using testing::TestDirectory;

// One sample of plane `plane` (0 Y', 1 Cb, 2 Cr) at sample position (x, y).
int sampleAt(const PixelBuffer& buffer, int plane, int x, int y) {
    const std::uint8_t* row = buffer.planes[plane] + std::ptrdiff_t(y) * buffer.strides[plane];
    if (platform::bytesPerSample(buffer.format) == 1)
        return row[x];
    std::uint16_t value;
    std::memcpy(&value, row + 2 * x, 2);
    return value;
}

int planeWidth(const PixelBuffer& buffer, int plane) {
    const int shift = platform::chromaShiftX(buffer.format);
    return plane == 0 ? buffer.width : (buffer.width + (1 << shift) - 1) >> shift;
}
int planeHeight(const PixelBuffer& buffer, int plane) {
    const int shift = platform::chromaShiftY(buffer.format);
    return plane == 0 ? buffer.height : (buffer.height + (1 << shift) - 1) >> shift;
}

struct PlaneStats {
    double mean = 0;
    int min = 1 << 20;
    int max = -1;
};

PlaneStats statsOf(const PixelBuffer& buffer, int plane, int x0 = 0, int y0 = 0, int x1 = -1,
                   int y1 = -1) {
    if (x1 < 0)
        x1 = planeWidth(buffer, plane);
    if (y1 < 0)
        y1 = planeHeight(buffer, plane);
    PlaneStats stats;
    double sum = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const int v = sampleAt(buffer, plane, x, y);
            sum += v;
            stats.min = std::min(stats.min, v);
            stats.max = std::max(stats.max, v);
        }
    }
    stats.mean = sum / (double(x1 - x0) * double(y1 - y0));
    return stats;
}

PixelFormat formatFor(std::string_view codec) {
    if (codec == kCodecH264)
        return PixelFormat::k420v;
    if (codec == kCodecHEVC)
        return PixelFormat::kx420;
    return PixelFormat::kx422;
}

class RendererTest : public ::testing::Test {
protected:
    // Renders `path` into a new buffer of `width` × `height` for `codec`; fails the test
    // on a render error.
    std::shared_ptr<PixelBuffer> render(const std::string& path, int width, int height,
                                        std::string_view codec = kCodecHEVC) {
        auto renderer = MovieFrameRenderer::create(FrameSize{double(width), double(height)}, codec);
        EXPECT_NE(renderer, nullptr);
        if (!renderer)
            return nullptr;
        auto buffer = PixelBuffer::allocate(formatFor(codec), width, height);
        std::optional<platform::Error> error = renderer->renderImageAtPath(path, buffer.get());
        EXPECT_FALSE(error.has_value()) << error->description;
        return buffer;
    }

    // The error of rendering `path` into a correct buffer.
    std::string renderError(const std::string& path, int limit = 0) {
        auto renderer = MovieFrameRenderer::create(FrameSize{32, 16}, kCodecHEVC);
        if (limit > 0)
            renderer->setPixelLimit(std::uint64_t(limit));
        auto buffer = PixelBuffer::allocate(PixelFormat::kx420, 32, 16);
        std::optional<platform::Error> error = renderer->renderImageAtPath(path, buffer.get());
        if (!error)
            return "(no error)";
        EXPECT_EQ(error->domain, platform::kFrameweaverErrorDomain);
        EXPECT_EQ(error->code, 1);
        return error->description;
    }

    std::string solidPng(const std::string& name, std::initializer_list<std::uint8_t> rgb,
                         int w = 24, int h = 16) {
        Pixels pixels(w, h, 3);
        pixels.fill(rgb);
        const std::string path = dir.path(name);
        testing::writeImage(path, pixels);
        return path;
    }

    TestDirectory dir;
};

TEST(MovieFrameRenderer, CodecChoosesPixelFormatAndUnknownCodecsGiveNoRenderer) {
    struct Case {
        std::string codec;
        std::optional<PixelFormat> format;
    };
    const Case cases[] = {
        {"avc1", PixelFormat::k420v}, {"hvc1", PixelFormat::kx420}, {"apcn", PixelFormat::kx422},
        {"h264", std::nullopt},       {"AVC1", std::nullopt},       {"avc1 ", std::nullopt},
        {"apch", std::nullopt},       {"", std::nullopt},           {"hev1", std::nullopt},
    };
    for (const Case& c : cases) {
        auto renderer = MovieFrameRenderer::create(FrameSize{64, 32}, c.codec);
        ASSERT_EQ(renderer != nullptr, c.format.has_value()) << c.codec;
        if (renderer) {
            EXPECT_EQ(renderer->pixelFormat(), *c.format) << c.codec;
        }
    }
}

// Golden Rec. 709 video-range values of flat colours, per pixel format. 8-bit frames
// are dithered, so their mean matches the exact value and every sample lies within one
// code of it.
TEST_F(RendererTest, FlatColoursGiveRec709VideoRangeValues) {
    struct Golden {
        const char* name;
        std::uint8_t r, g, b;
        double y8, cb8, cr8;  // exact 8-bit values
        int y10, cb10, cr10;
    };
    const Golden goldens[] = {
        {"black", 0, 0, 0, 16, 128, 128, 64, 512, 512},
        {"white", 255, 255, 255, 235, 128, 128, 940, 512, 512},
        // sRGB 128 is 0.2159 in linear light, 0.4523 after the BT.709 transfer function.
        {"grey", 128, 128, 128, 115.06, 128, 128, 460, 512, 512},
        {"red", 255, 0, 0, 62.56, 102.34, 240, 250, 409, 960},
    };
    for (const Golden& golden : goldens) {
        const std::string path =
            solidPng(std::string(golden.name) + ".png", {golden.r, golden.g, golden.b});
        for (std::string_view codec : {kCodecH264, kCodecHEVC, kCodecProRes422}) {
            SCOPED_TRACE(std::string(golden.name) + " " + std::string(codec));
            auto buffer = render(path, 64, 32, codec);
            ASSERT_NE(buffer, nullptr);
            const double expected[3] = {golden.y8, golden.cb8, golden.cr8};
            const int expected10[3] = {golden.y10, golden.cb10, golden.cr10};
            for (int plane = 0; plane < 3; ++plane) {
                const PlaneStats stats = statsOf(*buffer, plane);
                if (codec == kCodecH264) {
                    EXPECT_NEAR(stats.mean, expected[plane], 0.05) << "plane " << plane;
                    EXPECT_GE(stats.min, std::floor(expected[plane] - 1e-9)) << "plane " << plane;
                    EXPECT_LE(stats.max, std::ceil(expected[plane] + 1e-9)) << "plane " << plane;
                } else {
                    EXPECT_EQ(stats.min, expected10[plane]) << "plane " << plane;
                    EXPECT_EQ(stats.max, expected10[plane]) << "plane " << plane;
                }
            }
            EXPECT_TRUE(buffer->tags.rec709Primaries && buffer->tags.rec709Transfer &&
                        buffer->tags.rec709Matrix && buffer->tags.videoRange);
        }
    }
}

// A wide image fills a tall frame edge to edge (and the other way round): no letterbox
// bars, and each half of the image lands on its half of the frame.
TEST_F(RendererTest, StretchesToFillTheFrameInsteadOfLetterboxing) {
    struct Case {
        int imageW, imageH, frameW, frameH;
    };
    for (const Case& c : {Case{80, 20, 16, 32}, Case{20, 80, 48, 12}, Case{10, 10, 64, 16}}) {
        SCOPED_TRACE(std::to_string(c.imageW) + "x" + std::to_string(c.imageH));
        // Left half white, right half mid-grey; no black anywhere in the image.
        Pixels pixels(c.imageW, c.imageH, 3);
        for (int y = 0; y < c.imageH; ++y)
            for (int x = 0; x < c.imageW; ++x)
                pixels.set(x, y,
                           x < c.imageW / 2 ? std::initializer_list<std::uint8_t>{255, 255, 255}
                                            : std::initializer_list<std::uint8_t>{128, 128, 128});
        const std::string path = dir.path("stretch.png");
        testing::writeImage(path, pixels);
        auto buffer = render(path, c.frameW, c.frameH);
        ASSERT_NE(buffer, nullptr);
        // No bar anywhere: every row and column carries the image, and each half of the
        // image lands on its own half of the frame (away from the filter's ringing).
        EXPECT_GT(statsOf(*buffer, 0).min, 200);
        const PlaneStats left = statsOf(*buffer, 0, 0, 0, c.frameW / 4, c.frameH);
        const PlaneStats right =
            statsOf(*buffer, 0, c.frameW - c.frameW / 4, 0, c.frameW, c.frameH);
        EXPECT_GE(left.min, 900);
        EXPECT_NEAR(right.mean, 460, 20);
    }
}

TEST_F(RendererTest, LanczosScaleKeepsFlatAreasExactAndGivesExactOutputSize) {
    const std::string path = solidPng("grey.png", {128, 128, 128}, 4000 / 16, 3000 / 16);
    for (auto [w, h] : {std::pair{17, 9}, std::pair{1, 1}, std::pair{501, 3}}) {
        auto buffer = render(path, w, h, kCodecProRes422);
        ASSERT_NE(buffer, nullptr);
        const PlaneStats luma = statsOf(*buffer, 0);
        EXPECT_EQ(luma.min, 460);
        EXPECT_EQ(luma.max, 460);
    }
}

// A JPEG stored 30 × 20 with EXIF orientation 6 is 20 × 30 upright; what is on the
// stored image's left is at the top of the frame.
TEST_F(RendererTest, DrawsRasterImagesUprightByTheirExifOrientation) {
    Pixels pixels(30, 20, 3);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x)
            pixels.set(x, y,
                       x < 15 ? std::initializer_list<std::uint8_t>{255, 255, 255}
                              : std::initializer_list<std::uint8_t>{0, 0, 0});
    const std::string path = dir.path("turned.jpg");
    testing::SaveOptions turned;
    turned.orientation = 6;
    turned.saverOptions = "Q=98";
    testing::writeImage(path, pixels, turned);

    EXPECT_EQ(MovieFrameRenderer::imageSizeAtPath(path), (FrameSize{20, 30}));
    auto buffer = render(path, 20, 30);
    ASSERT_NE(buffer, nullptr);
    EXPECT_GT(statsOf(*buffer, 0, 0, 0, 20, 12).mean, 900);   // top: the stored left half
    EXPECT_LT(statsOf(*buffer, 0, 0, 18, 20, 30).mean, 100);  // bottom: the stored right half
}

TEST_F(RendererTest, TransparentAreasAreBlack) {
    Pixels pixels(16, 16, 4);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            pixels.set(x, y,
                       x < 8 ? std::initializer_list<std::uint8_t>{255, 255, 255, 255}
                             : std::initializer_list<std::uint8_t>{255, 0, 0, 0});
    const std::string path = dir.path("transparent.png");
    testing::writeImage(path, pixels);
    auto buffer = render(path, 16, 16);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(statsOf(*buffer, 0, 0, 0, 8, 16).min, 940);
    // The transparent red stays black: no red in luma or chroma, none bled in by filtering.
    const PlaneStats luma = statsOf(*buffer, 0, 9, 0, 16, 16);
    EXPECT_EQ(luma.max, 64);
    EXPECT_EQ(statsOf(*buffer, 2, 6, 0, 8, 8).max, 512);
}

// An embedded profile decides what the samples mean: 128 under a linear-light profile is
// far brighter than 128 in sRGB.
TEST_F(RendererTest, AppliesTheEmbeddedColourProfile) {
    Pixels pixels(16, 16, 3);
    pixels.fill({128, 128, 128});
    const std::string tagged = dir.path("linear.png");
    testing::SaveOptions linear;
    linear.iccProfile = testing::linearRgbProfile();
    testing::writeImage(tagged, pixels, linear);
    const std::string untagged = solidPng("srgb.png", {128, 128, 128}, 16, 16);

    // 128/255 = 0.502 linear; BT.709 encodes that as 0.707: 64 + 876 × 0.707.
    EXPECT_NEAR(statsOf(*render(tagged, 16, 16), 0).mean, 683.3, 2.0);
    EXPECT_NEAR(statsOf(*render(untagged, 16, 16), 0).mean, 460, 0.5);

    // An embedded sRGB profile renders exactly as an untagged image.
    const std::string srgbTagged = dir.path("srgb-tagged.png");
    testing::SaveOptions srgb;
    srgb.iccProfile = testing::srgbProfile();
    testing::writeImage(srgbTagged, pixels, srgb);
    EXPECT_NEAR(statsOf(*render(srgbTagged, 16, 16), 0).mean, 460, 0.5);

    // A damaged profile falls back to sRGB instead of failing the frame.
    const std::string damaged = dir.path("damaged-profile.png");
    testing::SaveOptions broken;
    broken.iccProfile = std::vector<std::uint8_t>(200, 7);
    testing::writeImage(damaged, pixels, broken);
    EXPECT_NEAR(statsOf(*render(damaged, 16, 16), 0).mean, 460, 0.5);
}

TEST_F(RendererTest, ReadsTheRasterFormatsOfThePlatform) {
    Pixels pixels(24, 16, 3);
    pixels.fill({255, 255, 255});
    for (const char* name : {"white.png", "white.jpg", "white.tif", "white.webp", "white.gif"}) {
        const std::string path = dir.path(name);
        testing::writeImage(path, pixels);
        EXPECT_EQ(MovieFrameRenderer::imageSizeAtPath(path), (FrameSize{24, 16})) << name;
        EXPECT_NEAR(statsOf(*render(path, 8, 8), 0).mean, 940, 2) << name;
    }
    // CMYK without a profile: no ink is white, full black ink is black.
    Pixels ink(16, 16, 4);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            ink.set(x, y,
                    y < 8 ? std::initializer_list<std::uint8_t>{0, 0, 0, 0}
                          : std::initializer_list<std::uint8_t>{0, 0, 0, 255});
    testing::SaveOptions cmyk;
    cmyk.cmyk = true;
    cmyk.saverOptions = "Q=100";
    testing::writeImage(dir.path("cmyk.jpg"), ink, cmyk);
    auto printed = render(dir.path("cmyk.jpg"), 16, 16);
    EXPECT_NEAR(statsOf(*printed, 0, 0, 0, 16, 4).mean, 940, 3);
    EXPECT_NEAR(statsOf(*printed, 0, 0, 12, 16, 16).mean, 64, 3);
    // Grey with alpha.
    Pixels grey(8, 8, 2);
    grey.fill({255, 255});
    testing::writeImage(dir.path("grey.png"), grey);
    EXPECT_EQ(statsOf(*render(dir.path("grey.png"), 8, 8), 0).min, 940);
}

// The first page's crop box, turned by the page's rotation, fills the frame; the page is
// white paper, so a black-on-white page keeps its white.
TEST_F(RendererTest, DrawsTheFirstPdfPageCropBoxUprightOnWhitePaper) {
    const std::string path = dir.path("page.pdf");
    // Crop box 200 × 100 at (50, 50); its left half painted black. Page turned 90°
    // clockwise, so upright it is 100 × 200 with the black half on top. A second page,
    // all black, is never used.
    testing::writePdf(
        path, {testing::PdfPage{"0 0 300 200", "50 50 250 150", 90, "0 0 0 rg 50 50 100 100 re f"},
               testing::PdfPage{"0 0 300 200", "", 0, "0 0 0 rg 0 0 300 200 re f"}});
    EXPECT_EQ(MovieFrameRenderer::imageSizeAtPath(path), (FrameSize{100, 200}));

    auto buffer = render(path, 48, 64);  // separate horizontal and vertical scale
    ASSERT_NE(buffer, nullptr);
    const PlaneStats top = statsOf(*buffer, 0, 0, 0, 48, 30);
    const PlaneStats bottom = statsOf(*buffer, 0, 0, 34, 48, 64);
    EXPECT_EQ(top.max, 64);
    EXPECT_EQ(bottom.min, 940);

    // An unturned page: the black half is on the left.
    const std::string flat = dir.path("flat.pdf");
    testing::writePdf(flat, {testing::PdfPage{"0 0 200 100", "", 0, "0 0 0 rg 0 0 100 100 re f"}});
    EXPECT_EQ(MovieFrameRenderer::imageSizeAtPath(flat), (FrameSize{200, 100}));
    auto unturned = render(flat, 40, 40);
    EXPECT_EQ(statsOf(*unturned, 0, 0, 0, 18, 40).max, 64);
    EXPECT_EQ(statsOf(*unturned, 0, 22, 0, 40, 40).min, 940);
}

// A drawing is drawn straight at the frame size, not rasterised at its own small size and
// enlarged: its edges stay sharp, and it is stretched across and down separately.
TEST_F(RendererTest, DrawsSvgDrawingsStraightAtTheFrameSize) {
    // 20 × 10 pixels, the top-left quarter white, the rest black.
    const std::string path = dir.path("quarter.svg");
    testing::writeText(path,
                       "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"20\" height=\"10\">"
                       "<rect width=\"20\" height=\"10\" fill=\"black\"/>"
                       "<rect width=\"10\" height=\"5\" fill=\"white\"/></svg>\n");
    EXPECT_EQ(MovieFrameRenderer::imageSizeAtPath(path), (FrameSize{20, 10}));

    // Enlarged 20 times across and 30 times down; the edges fall at x = 200 and y = 150.
    auto buffer = render(path, 400, 300);
    ASSERT_NE(buffer, nullptr);
    // Two frame pixels from either edge are a tenth of a drawing pixel: an enlarged raster
    // would still be on its way from white to black there.
    EXPECT_EQ(statsOf(*buffer, 0, 0, 0, 198, 148).min, 940);
    EXPECT_EQ(statsOf(*buffer, 0, 202, 0, 400, 300).max, 64);
    EXPECT_EQ(statsOf(*buffer, 0, 0, 152, 400, 300).max, 64);

    // Physical units count 72 to the inch; a drawing with only a view box takes its size.
    const std::string inches = dir.path("inches.svg");
    testing::writeText(inches,
                       "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"2in\" height=\"1in\">"
                       "<rect width=\"100%\" height=\"100%\" fill=\"white\"/></svg>\n");
    EXPECT_EQ(MovieFrameRenderer::imageSizeAtPath(inches), (FrameSize{144, 72}));
    EXPECT_EQ(statsOf(*render(inches, 64, 64), 0).min, 940);
    const std::string boxed = dir.path("boxed.svg");
    testing::writeText(boxed,
                       "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 30 40\">"
                       "<rect width=\"30\" height=\"40\" fill=\"white\"/></svg>\n");
    EXPECT_EQ(MovieFrameRenderer::imageSizeAtPath(boxed), (FrameSize{30, 40}));

    // A damaged drawing cannot be decoded.
    testing::writeText(dir.path("broken.svg"),
                       "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"20\"><rect </svg");
    EXPECT_EQ(renderError(dir.path("broken.svg")),
              "The image \u201cbroken.svg\u201d could not be completely decoded.");
}

TEST_F(RendererTest, IncompatibleBufferFailsBeforeTheFileIsRead) {
    auto renderer = MovieFrameRenderer::create(FrameSize{32.9, 16.2}, kCodecH264);
    ASSERT_NE(renderer, nullptr);
    // The file does not exist: only a buffer check can give this error.
    const std::string path = dir.path("missing.png");
    struct Case {
        std::shared_ptr<PixelBuffer> buffer;
    };
    const std::shared_ptr<PixelBuffer> buffers[] = {
        nullptr,
        PixelBuffer::allocate(PixelFormat::kx420, 32, 16),
        PixelBuffer::allocate(PixelFormat::k420v, 33, 16),
        PixelBuffer::allocate(PixelFormat::k420v, 32, 17),
        PixelBuffer::allocate(PixelFormat::k420v, 16, 32),
    };
    for (const auto& buffer : buffers) {
        std::optional<platform::Error> error = renderer->renderImageAtPath(path, buffer.get());
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->description,
                  "The image \u201cmissing.png\u201d has an incompatible movie frame buffer.");
        EXPECT_EQ(error->domain, "FrameweaverErrorDomain");
        EXPECT_EQ(error->code, 1);
    }
    // The frame size is truncated: 32 × 16 is the right buffer.
    solidPng("present.png", {0, 0, 0});
    auto fits = PixelBuffer::allocate(PixelFormat::k420v, 32, 16);
    EXPECT_FALSE(renderer->renderImageAtPath(dir.path("present.png"), fits.get()).has_value());
}

TEST_F(RendererTest, FilesThatCannotBeDecodedCompletelyFailWithTheImageName) {
    const std::string expected = "could not be completely decoded.";
    // Truncated JPEG and PNG: detected only when every pixel is decoded.
    Pixels noise(256, 256, 3);
    for (std::size_t i = 0; i < noise.data.size(); ++i)
        noise.data[i] = std::uint8_t((i * 7919) >> 3);
    testing::writeImage(dir.path("cut.jpg"), noise);
    testing::truncateFile(dir.path("cut.jpg"), 0.5);
    testing::writeImage(dir.path("cut.png"), noise);
    testing::truncateFile(dir.path("cut.png"), 0.5);
    testing::writeText(dir.path("notes.txt"), "not an image\n");
    testing::writeText(dir.path("empty.png"), "");
    testing::writePdf(dir.path("nopages.pdf"), {});
    std::filesystem::create_directory(dir.path("folder.png"));
    ASSERT_EQ(::mkfifo(dir.path("pipe.png").c_str(), 0600), 0);  // must not block

    for (const char* name : {"cut.jpg", "cut.png", "notes.txt", "empty.png", "nopages.pdf",
                             "folder.png", "pipe.png", "missing.jpg"}) {
        EXPECT_EQ(renderError(dir.path(name)),
                  std::string("The image \u201c") + name + "\u201d " + expected);
        platform::Error error;
        EXPECT_EQ(MovieFrameRenderer::imageSizeAtPath(dir.path(name), &error), FrameSize{}) << name;
        EXPECT_EQ(error.description, std::string("The image \u201c") + name + "\u201d " + expected);
        EXPECT_NE(error.underlying, nullptr) << name;
    }
    // The path's last component names the image, even with trailing slashes.
    EXPECT_EQ(renderError(dir.path("folder.png") + "/"),
              "The image \u201cfolder.png\u201d could not be completely decoded.");
    EXPECT_EQ(renderError(""), "The image \u201c\u201d could not be completely decoded.");
}

// Decoding is bounded: more pixels than the limit is refused instead of decoded.
TEST_F(RendererTest, ImagesAndPagesAboveThePixelLimitAreRefused) {
    solidPng("big.png", {255, 255, 255}, 100, 100);
    EXPECT_EQ(renderError(dir.path("big.png"), 9999),
              "The image \u201cbig.png\u201d could not be completely decoded.");
    EXPECT_EQ(renderError(dir.path("big.png"), 10000), "(no error)");
    // A page is drawn at the frame size (32 × 16 here).
    testing::writePdf(dir.path("page.pdf"), {testing::PdfPage{"0 0 200 100", "", 0, ""}});
    EXPECT_EQ(renderError(dir.path("page.pdf"), 511),
              "The image \u201cpage.pdf\u201d could not be completely decoded.");
    EXPECT_EQ(renderError(dir.path("page.pdf"), 512), "(no error)");
    // So is a drawing.
    testing::writeText(dir.path("drawing.svg"),
                       "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"2\" height=\"1\"/>");
    EXPECT_EQ(renderError(dir.path("drawing.svg"), 511),
              "The image \u201cdrawing.svg\u201d could not be completely decoded.");
    EXPECT_EQ(renderError(dir.path("drawing.svg"), 512), "(no error)");
}

TEST(MovieFrameRendererNames, LastPathComponent) {
    const std::pair<std::string, std::string> cases[] = {
        {"/a/b/photo.jpg", "photo.jpg"},
        {"photo.jpg", "photo.jpg"},
        {"/a/dir/", "dir"},
        {"/", "/"},
        {"//", "/"},
        {"", ""},
        {"relative/x.png", "x.png"},
    };
    for (const auto& [path, name] : cases)
        EXPECT_EQ(lastPathComponent(path), name) << path;
}

// Renderers on different threads share nothing: each frame comes out as it does alone.
TEST_F(RendererTest, RenderersOnManyThreadsGiveTheSameFramesAsOne) {
    const std::uint8_t shades[] = {0, 40, 90, 128, 200, 255};
    std::vector<std::string> paths;
    std::vector<int> expectedLuma;
    for (std::uint8_t shade : shades) {
        const std::string name = "shade" + std::to_string(shade);
        paths.push_back(solidPng(name + ".png", {shade, shade, shade}, 40, 30));
        Pixels pixels(40, 30, 3);
        pixels.fill({shade, shade, shade});
        paths.push_back(dir.path(name + ".jpg"));
        testing::SaveOptions best;
        best.saverOptions = "Q=100";
        testing::writeImage(paths.back(), pixels, best);
        const int luma = statsOf(*render(paths[paths.size() - 2], 16, 8), 0).min;
        expectedLuma.push_back(luma);
        expectedLuma.push_back(luma);
    }
    // Documents and profile-tagged images too: each renderer has its own page renderer
    // and colour transforms.
    paths.push_back(dir.path("page.pdf"));
    testing::writePdf(paths.back(),
                      {testing::PdfPage{"0 0 200 100", "", 0, "0.5 g 0 0 200 100 re f"}});
    Pixels pixels(40, 30, 3);
    pixels.fill({128, 128, 128});
    testing::SaveOptions linear;
    linear.iccProfile = testing::linearRgbProfile();
    paths.push_back(dir.path("linear.png"));
    testing::writeImage(paths.back(), pixels, linear);
    for (std::size_t i = paths.size() - 2; i < paths.size(); ++i)
        expectedLuma.push_back(statsOf(*render(paths[i], 16, 8), 0).min);
    std::vector<std::thread> threads;
    std::vector<int> failures(6, 0);
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            auto renderer = MovieFrameRenderer::create(FrameSize{16, 8}, kCodecHEVC);
            auto buffer = PixelBuffer::allocate(PixelFormat::kx420, 16, 8);
            for (int round = 0; round < 8; ++round) {
                for (std::size_t i = 0; i < paths.size(); ++i) {
                    const std::size_t index = (i + std::size_t(t)) % paths.size();
                    if (renderer->renderImageAtPath(paths[index], buffer.get()) ||
                        std::abs(sampleAt(*buffer, 0, 8, 4) - expectedLuma[index]) > 2)
                        ++failures[std::size_t(t)];
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int f : failures)
        EXPECT_EQ(f, 0);
}

}  // namespace
}  // namespace fw
