// One small real file of every picture format the image table may offer, written at test
// time with the image library's own encoders where it has one and byte by byte where it has
// none. Kept apart from Qt code: the image library's headers clash with Qt's keyword macros.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace fw::testing {

struct PictureSample {
    std::filesystem::path path;
    std::string problem;  // why the file could not be written; empty when it was
};

// Writes the samples (JPEG, PNG, TIFF, WebP, HEIF, HEIC, AVIF, GIF, SVG, JPEG 2000, JPEG XL,
// PBM, PGM, PPM, Radiance, OpenEXR and PDF), each 8 × 6 pixels or points, into `folder`.
std::vector<PictureSample> writePictureSamples(const std::filesystem::path& folder);

}  // namespace fw::testing
