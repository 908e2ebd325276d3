#include "tests/app/window/PictureSamples.h"

#include <vips/vips.h>

#include <cstdint>
#include <cstring>
#include <fstream>

#include "tests/support/FrameSourceFixtures.h"

namespace fw::testing {

namespace {

constexpr int kWidth = 8;
constexpr int kHeight = 6;

std::string takeVipsError() {
    std::string text = vips_error_buffer();
    vips_error_clear();
    return text.empty() ? "the image library failed" : text;
}

std::string writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    return file ? std::string() : "cannot write " + path.string();
}

template <typename T>
void append(std::string& out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));  // the format is little-endian, as is this machine
    out.append(bytes, sizeof(T));
}

void appendAttribute(std::string& out, const char* name, const char* type,
                     const std::string& value) {
    out.append(name).push_back('\0');
    out.append(type).push_back('\0');
    append<std::int32_t>(out, static_cast<std::int32_t>(value.size()));
    out += value;
}

// An uncompressed scan-line OpenEXR file with 32-bit float B, G and R channels.
std::string openExrBytes() {
    std::string header;
    append<std::uint32_t>(header, 20000630);  // magic number
    append<std::uint32_t>(header, 2);         // version 2, single part, scan lines
    std::string channels;
    for (const char* name : {"B", "G", "R"}) {
        channels.append(name).push_back('\0');
        append<std::int32_t>(channels, 2);  // FLOAT
        channels.append(4, '\0');           // pLinear and reserved
        append<std::int32_t>(channels, 1);  // x sampling
        append<std::int32_t>(channels, 1);  // y sampling
    }
    channels.push_back('\0');
    appendAttribute(header, "channels", "chlist", channels);
    appendAttribute(header, "compression", "compression", std::string(1, '\0'));
    std::string window;
    for (std::int32_t value : {0, 0, kWidth - 1, kHeight - 1}) {
        append(window, value);
    }
    appendAttribute(header, "dataWindow", "box2i", window);
    appendAttribute(header, "displayWindow", "box2i", window);
    appendAttribute(header, "lineOrder", "lineOrder", std::string(1, '\0'));
    std::string one;
    append<float>(one, 1.0f);
    appendAttribute(header, "pixelAspectRatio", "float", one);
    appendAttribute(header, "screenWindowCenter", "v2f", std::string(8, '\0'));
    appendAttribute(header, "screenWindowWidth", "float", one);
    header.push_back('\0');

    const std::size_t lineBytes = std::size_t(kWidth) * 3 * sizeof(float);
    const std::size_t blockBytes = 8 + lineBytes;
    std::string out = header;
    const std::size_t firstBlock = header.size() + std::size_t(kHeight) * 8;
    for (int y = 0; y < kHeight; ++y) {
        append<std::uint64_t>(out, firstBlock + std::size_t(y) * blockBytes);
    }
    for (int y = 0; y < kHeight; ++y) {
        append<std::int32_t>(out, y);
        append<std::int32_t>(out, static_cast<std::int32_t>(lineBytes));
        for (float level : {0.1f, 0.4f, 0.8f}) {  // blue, green, red
            for (int x = 0; x < kWidth; ++x) {
                append<float>(out, level);
            }
        }
    }
    return out;
}

// Portable bitmap, grey map and pixmap in their binary forms.
std::string netpbmBytes(char kind) {
    std::string out = std::string("P") + kind + "\n" + std::to_string(kWidth) + " " +
                      std::to_string(kHeight) + "\n";
    if (kind == '4') {
        for (int y = 0; y < kHeight; ++y) {
            out.push_back(static_cast<char>(y % 2 == 0 ? 0xAA : 0x55));  // 8 pixels a byte
        }
        return out;
    }
    out += "255\n";
    const int samples = kWidth * kHeight * (kind == '5' ? 1 : 3);
    for (int i = 0; i < samples; ++i) {
        out.push_back(static_cast<char>(i * 7 % 256));
    }
    return out;
}

std::string svgText() {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"8\" height=\"6\">"
           "<rect width=\"8\" height=\"6\" fill=\"#336699\"/></svg>\n";
}

// Saves a small gradient through the image library's saver for the file's suffix, with
// `options` in the saver's own option syntax.
std::string saveWithVips(const std::filesystem::path& path, const std::string& options = {}) {
    std::vector<std::uint8_t> pixels(std::size_t(kWidth) * kHeight * 3);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<std::uint8_t>(i * 5 % 256);
    }
    VipsImage* image = vips_image_new_from_memory_copy(pixels.data(), pixels.size(), kWidth,
                                                       kHeight, 3, VIPS_FORMAT_UCHAR);
    if (image == nullptr) {
        return takeVipsError();
    }
    VipsImage* saved = image;
    VipsImage* real = nullptr;
    if (path.extension() == ".hdr") {
        // Radiance holds floating-point light levels.
        if (vips_cast(image, &real, VIPS_FORMAT_FLOAT, nullptr) != 0) {
            g_object_unref(image);
            return takeVipsError();
        }
        saved = real;
    }
    const std::string target = path.string() + (options.empty() ? "" : "[" + options + "]");
    const int result = vips_image_write_to_file(saved, target.c_str(), nullptr);
    if (real != nullptr) {
        g_object_unref(real);
    }
    g_object_unref(image);
    return result == 0 ? std::string() : takeVipsError();
}

}  // namespace

std::vector<PictureSample> writePictureSamples(const std::filesystem::path& folder) {
    static const bool started = VIPS_INIT("app_panel_tests") == 0;
    std::vector<PictureSample> samples;
    auto add = [&](const char* name, auto write) {
        const std::filesystem::path path = folder / name;
        samples.push_back({path, started ? write(path) : "the image library could not start"});
    };
    auto vips = [](std::string options = {}) {
        return [options](const std::filesystem::path& path) { return saveWithVips(path, options); };
    };
    auto bytes = [](std::string content) {
        return [content](const std::filesystem::path& path) { return writeBytes(path, content); };
    };
    add("sample.jpg", vips());
    add("sample.png", vips());
    add("sample.tif", vips());
    add("sample.webp", vips());
    add("sample.heic", vips("compression=hevc"));
    add("sample.heif", vips("compression=hevc"));
    add("sample.avif", vips("compression=av1"));
    add("sample.gif", vips());
    add("sample.jp2", vips());
    add("sample.jxl", vips());
    add("sample.hdr", vips());
    add("sample.svg", bytes(svgText()));
    add("sample.pbm", bytes(netpbmBytes('4')));
    add("sample.pgm", bytes(netpbmBytes('5')));
    add("sample.ppm", bytes(netpbmBytes('6')));
    add("sample.exr", bytes(openExrBytes()));
    add("sample.pdf", [](const std::filesystem::path& path) {
        PdfPage page;
        page.mediaBox = "0 0 8 6";
        page.content = "0.2 0.4 0.6 rg 0 0 8 6 re f";
        writePdf(path.string(), {page});
        return std::string();
    });
    return samples;
}

}  // namespace fw::testing
