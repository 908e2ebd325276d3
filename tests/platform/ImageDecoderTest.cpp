#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>

#include "platform/ColorTransform.h"
#include "platform/ImageDecoder.h"
#include "platform/PdfDocument.h"
#include "tests/support/FrameSourceFixtures.h"

namespace fw::platform {
namespace {

using fw::testing::Pixels;
using fw::testing::TestDirectory;

std::string writeGrey(const TestDirectory& dir, const std::string& name, int w, int h,
                      const fw::testing::SaveOptions& options = {}) {
    Pixels pixels(w, h, 3);
    pixels.fill({100, 150, 200});
    const std::string path = dir.path(name);
    fw::testing::writeImage(path, pixels, options);
    return path;
}

// A large JPEG may be decoded at 1/2, 1/4 or 1/8 of its size, but never below the
// minimum the caller asks for.
TEST(ImageDecoder, ReducedSizeDecodingKeepsTheMinimumSize) {
    TestDirectory dir;
    const std::string path = writeGrey(dir, "large.jpg", 1600, 1200);
    struct Case {
        int minimumWidth, minimumHeight, width, height;
    };
    const Case cases[] = {
        {0, 0, 1600, 1200},      // no minimum: full size
        {200, 150, 200, 150},    // 1/8
        {201, 150, 400, 300},    // just above 1/8 in one direction: 1/4
        {800, 10, 800, 600},     // 1/2
        {801, 600, 1600, 1200},  // anything less than full would be too small
    };
    for (const Case& c : cases) {
        DecodeOptions options;
        options.minimumWidth = c.minimumWidth;
        options.minimumHeight = c.minimumHeight;
        Error error;
        std::optional<DecodedImage> image = decodeImage(path, options, &error);
        ASSERT_TRUE(image) << error.description;
        EXPECT_EQ(image->width, c.width) << c.minimumWidth << "x" << c.minimumHeight;
        EXPECT_EQ(image->height, c.height) << c.minimumWidth << "x" << c.minimumHeight;
        EXPECT_EQ(image->fullWidth, 1600);
        EXPECT_EQ(image->fullHeight, 1200);
    }
    // Other formats are always decoded at full size.
    const std::string png = writeGrey(dir, "large.png", 1600, 1200);
    DecodeOptions options;
    options.minimumWidth = 100;
    options.minimumHeight = 100;
    EXPECT_EQ(decodeImage(png, options, nullptr)->width, 1600);
}

TEST(ImageDecoder, RefusesImagesAboveThePixelLimitBeforeDecoding) {
    TestDirectory dir;
    const std::string path = writeGrey(dir, "wide.png", 300, 200);
    DecodeOptions options;
    options.maxPixels = 300 * 200 - 1;
    Error error;
    EXPECT_FALSE(decodeImage(path, options, &error));
    EXPECT_EQ(error.domain, kImageDecoderErrorDomain);
    EXPECT_NE(error.description.find("300 × 200"), std::string::npos) << error.description;
    options.maxPixels = 300 * 200;
    EXPECT_TRUE(decodeImage(path, options, &error));
}

// Names are file names, never load options: brackets and the like are taken literally.
TEST(ImageDecoder, ReadsFilesWhoseNamesLookLikeLoadOptions) {
    TestDirectory dir;
    const std::string plain = writeGrey(dir, "photo.jpg", 64, 48);
    const std::string odd = dir.path("photo.jpg[shrink=8]");
    std::filesystem::copy_file(plain, odd);
    Error error;
    std::optional<DecodedImage> image = decodeImage(odd, DecodeOptions{}, &error);
    ASSERT_TRUE(image) << error.description;
    EXPECT_EQ(image->width, 64);
}

TEST(ImageDecoder, ReportsLayoutOrientationAndProfile) {
    TestDirectory dir;
    fw::testing::SaveOptions options;
    options.orientation = 8;
    options.iccProfile = fw::testing::linearRgbProfile();
    options.saverOptions = "Q=100";
    const std::string path = writeGrey(dir, "tagged.jpg", 40, 10, options);
    std::optional<DecodedImage> image = decodeImage(path, DecodeOptions{}, nullptr);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->model, ColorModel::kRGB);
    EXPECT_EQ(image->channels, 3);
    EXPECT_FALSE(image->hasAlpha);
    EXPECT_EQ(image->orientation, 8);
    EXPECT_EQ(image->width, 10);
    EXPECT_EQ(image->height, 40);
    EXPECT_EQ(image->iccProfile, options.iccProfile);
    EXPECT_NEAR(image->row(39)[0], 100, 3);
}

// A JPEG stored 32 × 16 in 8 × 8 blocks of distinct colours comes out upright for every EXIF
// orientation: each upright block holds the stored block the orientation brings there.
TEST(ImageDecoder, TurnsEveryExifOrientationUpright) {
    constexpr int kWidth = 32;
    constexpr int kHeight = 16;
    auto colour = [](int sx, int sy) {
        return std::array<int, 3>{(sx / 8) * 60, (sy / 8) * 120, 30};
    };
    Pixels pixels(kWidth, kHeight, 3);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const auto c = colour(x, y);
            pixels.set(x, y, {std::uint8_t(c[0]), std::uint8_t(c[1]), std::uint8_t(c[2])});
        }
    }
    // The stored pixel each upright pixel shows, as EXIF defines the orientations.
    auto storedFor = [](int o, int x, int y) -> std::pair<int, int> {
        switch (o) {
            case 2:
                return {kWidth - 1 - x, y};
            case 3:
                return {kWidth - 1 - x, kHeight - 1 - y};
            case 4:
                return {x, kHeight - 1 - y};
            case 5:
                return {y, x};
            case 6:
                return {y, kHeight - 1 - x};
            case 7:
                return {kWidth - 1 - y, kHeight - 1 - x};
            case 8:
                return {kWidth - 1 - y, x};
            default:
                return {x, y};
        }
    };
    TestDirectory dir;
    for (int o = 1; o <= 8; ++o) {
        SCOPED_TRACE(o);
        fw::testing::SaveOptions options;
        options.orientation = o;
        options.saverOptions = "Q=100";
        const std::string path = dir.path("turned" + std::to_string(o) + ".jpg");
        fw::testing::writeImage(path, pixels, options);
        std::optional<DecodedImage> image = decodeImage(path, DecodeOptions{}, nullptr);
        ASSERT_TRUE(image);
        const bool swapped = o >= 5;
        ASSERT_EQ(image->width, swapped ? kHeight : kWidth);
        ASSERT_EQ(image->height, swapped ? kWidth : kHeight);
        // The centre of every upright 8 × 8 block.
        for (int y = 4; y < image->height; y += 8) {
            const std::uint8_t* row = image->row(y);
            for (int x = 4; x < image->width; x += 8) {
                const auto [sx, sy] = storedFor(o, x, y);
                const auto expected = colour(sx, sy);
                for (int b = 0; b < 3; ++b) {
                    EXPECT_NEAR(row[x * 3 + b], expected[b], 12) << x << "," << y << " band " << b;
                }
            }
        }
    }
}

TEST(ColorTransform, ConvertsToSRGBAndRecognisesSRGBItself) {
    const ColorInputLayout rgb8{ColorInputLayout::Model::kRGB, 1, false};
    auto srgb = ColorTransform::create(fw::testing::srgbProfile(), rgb8);
    ASSERT_NE(srgb, nullptr);
    EXPECT_TRUE(srgb->isIdentity());

    auto linear = ColorTransform::create(fw::testing::linearRgbProfile(), rgb8);
    ASSERT_NE(linear, nullptr);
    EXPECT_FALSE(linear->isIdentity());
    // Linear 0.502 is sRGB-encoded 0.735.
    const std::uint8_t grey[3] = {128, 128, 128};
    std::uint16_t out[3] = {};
    linear->convertRow(grey, out, 1);
    EXPECT_NEAR(out[0] / 65535.0, 0.7353, 0.002);

    // A profile of another colour model, or no profile at all, gives no transform.
    const ColorInputLayout grey8{ColorInputLayout::Model::kGray, 1, false};
    EXPECT_EQ(ColorTransform::create(fw::testing::srgbProfile(), grey8), nullptr);
    EXPECT_EQ(ColorTransform::create(std::vector<std::uint8_t>(300, 1), rgb8), nullptr);
    EXPECT_EQ(ColorTransform::create({}, rgb8), nullptr);
}

TEST(PdfDocument, RecognisesDocumentsByTheirContentsOnly) {
    TestDirectory dir;
    fw::testing::writePdf(dir.path("document.png"), {fw::testing::PdfPage{}});
    std::filesystem::rename(writeGrey(dir, "picture.png", 8, 8), dir.path("picture.pdf"));
    EXPECT_TRUE(isPdfFile(dir.path("document.png")));
    EXPECT_FALSE(isPdfFile(dir.path("picture.pdf")));
    EXPECT_FALSE(isPdfFile(dir.path("missing.pdf")));
    // The picture named .pdf is still a picture.
    EXPECT_TRUE(decodeImage(dir.path("picture.pdf"), DecodeOptions{}, nullptr));
}

TEST(PdfDocument, RefusesDrawingsAboveThePixelLimit) {
    TestDirectory dir;
    fw::testing::writePdf(dir.path("page.pdf"), {fw::testing::PdfPage{}});
    auto document = PdfDocument::open(dir.path("page.pdf"), nullptr);
    ASSERT_NE(document, nullptr);
    Error error;
    EXPECT_FALSE(document->renderFirstPage(100, 100, 9999, &error));
    EXPECT_EQ(error.code, kPdfTooLargeCode);
    std::optional<RgbImage> page = document->renderFirstPage(100, 100, 10000, &error);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->row(50)[0], 255);  // white paper
}

}  // namespace
}  // namespace fw::platform
