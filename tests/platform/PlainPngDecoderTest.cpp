#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vips/vips.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/ImageDecoder.h"
#include "platform/ImageDecoderRuntime.h"
#include "platform/PlainPngDecoder.h"
#include "tests/support/FrameSourceFixtures.h"

namespace fw::platform {
namespace {

using fw::testing::TestDirectory;

// Writes a noisy image (so every row filter is worth choosing) of `bands` bands at
// `bits` bits per sample, with the saver's filter choice.
std::string writeNoisyPng(const TestDirectory& dir, const std::string& name, int bands, int bits,
                          bool everyFilter, bool interlaced = false) {
    ensureVipsRuntime();
    constexpr int kWidth = 67;
    constexpr int kHeight = 41;
    const std::size_t count = std::size_t(kWidth) * kHeight * std::size_t(bands);
    std::vector<std::uint8_t> samples(count * std::size_t(bits / 8));
    std::uint32_t noise = 2024;
    for (std::size_t i = 0; i < count; ++i) {
        noise = noise * 1664525u + 1013904223u;
        // A gradient plus noise: smooth enough for the up and Paeth filters to help.
        const auto value = std::uint16_t((i * 97 % 60000) + (noise >> 22));
        if (bits == 8)
            samples[i] = std::uint8_t(value >> 8);
        else
            std::memcpy(samples.data() + 2 * i, &value, 2);
    }
    VipsImage* cast =
        vips_image_new_from_memory_copy(samples.data(), samples.size(), kWidth, kHeight, bands,
                                        bits == 8 ? VIPS_FORMAT_UCHAR : VIPS_FORMAT_USHORT);
    const std::string path = dir.path(name);
    EXPECT_EQ(vips_pngsave(cast, path.c_str(), "bitdepth", bits, "filter",
                           everyFilter ? VIPS_FOREIGN_PNG_FILTER_ALL : VIPS_FOREIGN_PNG_FILTER_NONE,
                           "interlace", interlaced ? TRUE : FALSE, nullptr),
              0);
    g_object_unref(cast);
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
    const bool taken = PlainPngDecoder::open(fd) != nullptr;
    ::close(fd);
    return taken;
}

TEST(PlainPngDecoder, DecodesEveryLayoutAsTheGeneralDecoderDoes) {
    TestDirectory dir;
    for (int bands : {1, 2, 3, 4}) {
        for (int bits : {8, 16}) {
            for (bool everyFilter : {false, true}) {
                const std::string name = std::to_string(bands) + "-" + std::to_string(bits) +
                                         (everyFilter ? "-filtered" : "") + ".png";
                SCOPED_TRACE(name);
                const std::string path = writeNoisyPng(dir, name, bands, bits, everyFilter);
                ASSERT_TRUE(takenByPlainDecoder(path));
                Error error;
                std::optional<DecodedImage> image = decodeImage(path, DecodeOptions{}, &error);
                ASSERT_TRUE(image) << error.description;
                EXPECT_EQ(image->channels, bands);
                EXPECT_EQ(image->bytesPerSample, bits / 8);
                EXPECT_EQ(image->hasAlpha, bands == 2 || bands == 4);
                EXPECT_TRUE(image->pixels == decodedByVips(path));
            }
        }
    }
}

// Files the fast decoder leaves alone still decode through the general decoder.
TEST(PlainPngDecoder, LeavesInterlacedFilesToTheGeneralDecoder) {
    TestDirectory dir;
    const std::string interlaced = writeNoisyPng(dir, "interlaced.png", 3, 8, true, true);
    EXPECT_FALSE(takenByPlainDecoder(interlaced));
    std::optional<DecodedImage> image = decodeImage(interlaced, DecodeOptions{}, nullptr);
    ASSERT_TRUE(image);
    EXPECT_TRUE(image->pixels == decodedByVips(interlaced));
}

// A damaged or cut-off file fails as it does with the general decoder, which takes the
// file over when the fast decoder finds the image data unusable.
TEST(PlainPngDecoder, DamagedImageDataIsAnError) {
    TestDirectory dir;
    const std::string damaged = writeNoisyPng(dir, "damaged.png", 3, 8, true);
    {
        std::fstream file(damaged, std::ios::in | std::ios::out | std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
        for (std::size_t i = bytes.size() / 2; i < bytes.size() / 2 + 16; ++i)
            bytes[i] = char(bytes[i] ^ 0x5a);
        file.seekp(0);
        file.write(bytes.data(), std::streamsize(bytes.size()));
    }
    const std::string truncated = writeNoisyPng(dir, "truncated.png", 4, 16, true);
    fw::testing::truncateFile(truncated, 0.6);

    for (const std::string& path : {damaged, truncated}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(takenByPlainDecoder(path));
        Error error;
        std::unique_ptr<ImageReader> reader = ImageReader::open(path, DecodeOptions{}, &error);
        ASSERT_TRUE(reader) << error.description;
        bool failed = false;
        for (int y = 0; y < reader->info().height && !failed; ++y)
            failed = reader->row(y, &error) == nullptr;
        EXPECT_TRUE(failed);
        EXPECT_EQ(error.domain, kImageDecoderErrorDomain);
        EXPECT_NE(error.description.find("could not be completely decoded"), std::string::npos)
            << error.description;
    }
}

}  // namespace
}  // namespace fw::platform
