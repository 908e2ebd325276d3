#include "tests/support/TestImages.h"

#include <vips/vips.h>

#include <vector>

namespace fw::testing {

std::string writeTestImage(const std::filesystem::path& path, int width, int height,
                           std::uint8_t shade) {
    static const bool initialised = VIPS_INIT("app_export_tests") == 0;
    if (!initialised)
        return "the image library could not start";
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 3, shade);
    for (int y = 0; y < height; ++y) {
        const int x = y * width / height;
        pixels[static_cast<std::size_t>(y * width + x) * 3] = 255;
    }
    VipsImage* image = vips_image_new_from_memory_copy(pixels.data(), pixels.size(), width, height,
                                                       3, VIPS_FORMAT_UCHAR);
    if (image == nullptr)
        return vips_error_buffer();
    const int result = path.extension() == ".png" ? vips_pngsave(image, path.c_str(), nullptr)
                                                  : vips_jpegsave(image, path.c_str(), nullptr);
    g_object_unref(image);
    if (result != 0) {
        std::string reason = vips_error_buffer();
        vips_error_clear();
        return reason;
    }
    return {};
}

}  // namespace fw::testing
