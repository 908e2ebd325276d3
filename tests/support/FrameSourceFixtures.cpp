#include "tests/support/FrameSourceFixtures.h"

#include <gtest/gtest.h>
#include <lcms2.h>
#include <unistd.h>
#include <vips/vips.h>

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fw::testing {

void Pixels::fill(std::initializer_list<std::uint8_t> value) {
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            set(x, y, value);
}

void Pixels::set(int x, int y, std::initializer_list<std::uint8_t> value) {
    std::size_t at = (std::size_t(y) * width + x) * bands;
    for (std::uint8_t v : value)
        data[at++] = v;
}

void writeImage(const std::string& path, const Pixels& pixels, const SaveOptions& options) {
    static const bool started = VIPS_INIT("frameweaver-tests") == 0;
    ASSERT_TRUE(started);
    VipsImage* memory =
        vips_image_new_from_memory_copy(pixels.data.data(), pixels.data.size(), pixels.width,
                                        pixels.height, pixels.bands, VIPS_FORMAT_UCHAR);
    ASSERT_NE(memory, nullptr);
    VipsImage* image = nullptr;
    const VipsInterpretation interpretation = pixels.bands <= 2 ? VIPS_INTERPRETATION_B_W
                                              : options.cmyk    ? VIPS_INTERPRETATION_CMYK
                                                                : VIPS_INTERPRETATION_sRGB;
    ASSERT_EQ(vips_copy(memory, &image, "interpretation", interpretation, nullptr), 0);
    g_object_unref(memory);
    if (options.orientation != 0)
        vips_image_set_int(image, VIPS_META_ORIENTATION, options.orientation);
    if (!options.iccProfile.empty())
        vips_image_set_blob_copy(image, VIPS_META_ICC_NAME, options.iccProfile.data(),
                                 options.iccProfile.size());
    const std::string target =
        options.saverOptions.empty() ? path : path + "[" + options.saverOptions + "]";
    const int result = vips_image_write_to_file(image, target.c_str(), nullptr);
    g_object_unref(image);
    ASSERT_EQ(result, 0) << vips_error_buffer();
}

void truncateFile(const std::string& path, double fraction) {
    const auto size = std::filesystem::file_size(path);
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size * fraction));
}

namespace {

// lcms stamps a profile with the time it was made, so each profile is made once per process:
// a test that compares a profile read back from a file with a fresh call must see equal bytes.
std::vector<std::uint8_t> savedProfile(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<std::uint8_t> bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

std::vector<std::uint8_t> makeLinearRgbProfile() {
    cmsCIExyY white{0.3127, 0.3290, 1.0};
    cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* curves[3] = {linear, linear, linear};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(linear);
    return savedProfile(profile);
}

}  // namespace

std::vector<std::uint8_t> linearRgbProfile() {
    static const std::vector<std::uint8_t> bytes = makeLinearRgbProfile();
    return bytes;
}

std::vector<std::uint8_t> srgbProfile() {
    static const std::vector<std::uint8_t> bytes = savedProfile(cmsCreate_sRGBProfile());
    return bytes;
}

void writePdf(const std::string& path, const std::vector<PdfPage>& pages) {
    // Objects: 1 catalog, 2 page tree, then a page and its content stream per page.
    std::vector<std::string> objects;
    std::ostringstream kids;
    for (std::size_t i = 0; i < pages.size(); ++i)
        kids << (3 + 2 * i) << " 0 R ";
    objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
    objects.push_back("<< /Type /Pages /Kids [" + kids.str() + "] /Count " +
                      std::to_string(pages.size()) + " >>");
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const PdfPage& page = pages[i];
        std::string dict = "<< /Type /Page /Parent 2 0 R /MediaBox [" + page.mediaBox + "]";
        if (!page.cropBox.empty())
            dict += " /CropBox [" + page.cropBox + "]";
        if (page.rotate != 0)
            dict += " /Rotate " + std::to_string(page.rotate);
        dict += " /Resources << >> /Contents " + std::to_string(4 + 2 * i) + " 0 R >>";
        objects.push_back(dict);
        objects.push_back("<< /Length " + std::to_string(page.content.size()) + " >>\nstream\n" +
                          page.content + "\nendstream");
    }
    std::string out = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(out.size());
        out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = out.size();
    out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t offset : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
        out += line;
    }
    out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
           " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
    writeText(path, out);
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

}  // namespace fw::testing
