#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vips/vips.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/ImageDecoder.h"
#include "platform/ImageDecoderRuntime.h"
#include "platform/PlainJpegDecoder.h"
#include "tests/support/FrameSourceFixtures.h"

namespace fw::platform {
namespace {

using fw::testing::Pixels;
using fw::testing::SaveOptions;
using fw::testing::TestDirectory;

// A noisy gradient of `bands` bands (1 grey, 3 colour, 4 CMYK), saved with `options`.
std::string writeNoisyJpeg(const TestDirectory& dir, const std::string& name, int bands,
                           SaveOptions options = {}) {
    Pixels pixels(83, 45, bands);
    std::uint32_t noise = 7;
    for (std::size_t i = 0; i < pixels.data.size(); ++i) {
        noise = noise * 1664525u + 1013904223u;
        pixels.data[i] = std::uint8_t((i * 13 % 200) + (noise >> 27));
    }
    options.cmyk = bands == 4;
    const std::string path = dir.path(name);
    fw::testing::writeImage(path, pixels, options);
    return path;
}

// The pixels the general decoder makes of the file.
std::vector<std::uint8_t> decodedByVips(const std::string& path) {
    VipsImage* image = vips_image_new_from_file(path.c_str(), nullptr);
    EXPECT_NE(image, nullptr);
    std::size_t size = 0;
    void* memory = vips_image_write_to_memory(image, &size);
    std::vector<std::uint8_t> pixels(static_cast<std::uint8_t*>(memory),
                                     static_cast<std::uint8_t*>(memory) + size);
    g_free(memory);
    g_object_unref(image);
    return pixels;
}

bool takenByPlainDecoder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool taken = PlainJpegDecoder::open(fd, std::uint64_t{1} << 28) != nullptr;
    ::close(fd);
    return taken;
}

// Plain files are taken and give exactly the general decoder's pixels and profile; CMYK and
// turned files are left to the general decoder, which still decodes them.
TEST(PlainJpegDecoder, DecodesPlainFilesAsTheGeneralDecoderDoesAndLeavesTheRest) {
    ensureVipsRuntime();
    TestDirectory dir;
    SaveOptions tagged;
    tagged.iccProfile = fw::testing::linearRgbProfile();
    SaveOptions turned;
    turned.orientation = 6;
    SaveOptions progressive;
    progressive.saverOptions = "interlace,Q=75";
    SaveOptions upright;
    upright.orientation = 1;
    struct Case {
        std::string path;
        bool plain;
    };
    const Case cases[] = {
        {writeNoisyJpeg(dir, "grey.jpg", 1), true},
        {writeNoisyJpeg(dir, "colour.jpg", 3), true},
        {writeNoisyJpeg(dir, "tagged.jpg", 3, tagged), true},
        {writeNoisyJpeg(dir, "progressive.jpg", 3, progressive), true},
        {writeNoisyJpeg(dir, "upright.jpg", 3, upright), true},
        {writeNoisyJpeg(dir, "cmyk.jpg", 4), false},
        {writeNoisyJpeg(dir, "turned.jpg", 3, turned), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(takenByPlainDecoder(c.path), c.plain);
        Error error;
        std::optional<DecodedImage> image = decodeImage(c.path, DecodeOptions{}, &error);
        ASSERT_TRUE(image) << error.description;
        if (c.plain) {
            EXPECT_TRUE(image->pixels == decodedByVips(c.path));
        }
    }
    std::optional<DecodedImage> image = decodeImage(cases[2].path, DecodeOptions{}, nullptr);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->iccProfile, fw::testing::linearRgbProfile());
}

// A cut-off file fails as with the general decoder, which takes the file over when the fast
// decoder meets the damage; a file the library only warns about but the general decoder
// accepts (junk after the image) still decodes.
TEST(PlainJpegDecoder, TruncatedFilesFailAndHarmlessJunkDoesNot) {
    ensureVipsRuntime();
    TestDirectory dir;
    const std::string truncated = writeNoisyJpeg(dir, "truncated.jpg", 3);
    fw::testing::truncateFile(truncated, 0.6);
    ASSERT_TRUE(takenByPlainDecoder(truncated));
    Error error;
    std::unique_ptr<ImageReader> reader = ImageReader::open(truncated, DecodeOptions{}, &error);
    ASSERT_TRUE(reader) << error.description;
    bool failed = false;
    for (int y = 0; y < reader->info().height && !failed; ++y)
        failed = reader->row(y, &error) == nullptr;
    EXPECT_TRUE(failed);
    EXPECT_EQ(error.domain, kImageDecoderErrorDomain);
    EXPECT_NE(error.description.find("could not be completely decoded"), std::string::npos)
        << error.description;

    const std::string padded = writeNoisyJpeg(dir, "padded.jpg", 3);
    std::ofstream(padded, std::ios::binary | std::ios::app) << std::string(100, 'x');
    std::optional<DecodedImage> image = decodeImage(padded, DecodeOptions{}, &error);
    ASSERT_TRUE(image) << error.description;
    EXPECT_TRUE(image->pixels == decodedByVips(padded));
}

}  // namespace
}  // namespace fw::platform
