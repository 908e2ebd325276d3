// Small image and PDF files written at test time for the frame-source tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TestDirectory.h"

namespace fw::testing {

// Interleaved 8-bit pixels, `bands` per pixel (1 grey, 2 grey+alpha, 3 RGB, 4 RGBA).
struct Pixels {
    int width = 0;
    int height = 0;
    int bands = 3;
    std::vector<std::uint8_t> data;

    Pixels(int w, int h, int b) : width(w), height(h), bands(b), data(std::size_t(w) * h * b) {}
    void fill(std::initializer_list<std::uint8_t> value);
    void set(int x, int y, std::initializer_list<std::uint8_t> value);
};

struct SaveOptions {
    int orientation = 0;                   // EXIF orientation to record, 0 for none
    std::vector<std::uint8_t> iccProfile;  // profile to embed, empty for none
    std::string saverOptions;              // e.g. "Q=95" for JPEG
    bool cmyk = false;                     // four bands are cyan, magenta, yellow and black
};

// Writes `pixels` to `path`; the suffix picks the format (.png, .jpg, .tif, .webp, .gif).
void writeImage(const std::string& path, const Pixels& pixels, const SaveOptions& options = {});

// Cuts the file at `path` down to `fraction` of its size.
void truncateFile(const std::string& path, double fraction);

// An ICC profile with sRGB primaries and a linear (gamma 1.0) transfer function.
std::vector<std::uint8_t> linearRgbProfile();
// The sRGB profile, as an editor embeds it.
std::vector<std::uint8_t> srgbProfile();

struct PdfPage {
    std::string mediaBox = "0 0 200 100";
    std::string cropBox;  // empty: none
    int rotate = 0;
    std::string content;  // page content stream
};
// Writes a PDF document with the given pages.
void writePdf(const std::string& path, const std::vector<PdfPage>& pages);

void writeText(const std::string& path, const std::string& text);

}  // namespace fw::testing
