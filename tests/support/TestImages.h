// Small image files made at test time. Kept apart from Qt code: the image library's
// headers clash with Qt's keyword macros.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace fw::testing {

// Writes an RGB image of one grey shade with a red diagonal, as PNG or JPEG by the file's
// extension. Returns the empty string on success, else the reason.
std::string writeTestImage(const std::filesystem::path& path, int width, int height,
                           std::uint8_t shade);

}  // namespace fw::testing
