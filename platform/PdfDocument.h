// PdfDocument: the first page of a PDF file, measured and drawn.
//
// Only page 1 is ever used. Its crop box gives the size; the page's own rotation turns
// it. Drawing fills the crop box, upright, into exactly the requested number of pixels
// (separate horizontal and vertical scale) on opaque white paper, as a document is
// printed.
//
// Thread-safety: a document is used by one thread at a time; different documents may be
// used on different threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace fw::platform {

inline constexpr const char* kPdfErrorDomain = "PdfErrorDomain";
// Code of the error that refuses a drawing larger than the caller allows.
inline constexpr int kPdfTooLargeCode = 5;

// True when the file at `path` is a PDF document: "%PDF-" within its first 1024 bytes.
bool isPdfFile(const std::string& path);

// An opaque 8-bit sRGB image, three bytes per pixel, rows top to bottom.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width × height × 3
    const std::uint8_t* row(int y) const {
        return pixels.data() + std::size_t(y) * std::size_t(width) * 3;
    }
};

class PdfDocument {
public:
    // Opens the document. Returns nothing with `*error` set (when given) when the file is
    // not a readable PDF or is locked by a password.
    static std::unique_ptr<PdfDocument> open(const std::string& path, Error* error);

    ~PdfDocument();
    PdfDocument(const PdfDocument&) = delete;
    PdfDocument& operator=(const PdfDocument&) = delete;

    bool hasFirstPage() const;
    // Width and height of page 1's crop box in points, as stored (not turned).
    double cropWidth() const;
    double cropHeight() const;
    // Page 1's rotation in degrees: 0, 90, 180 or 270.
    int rotation() const;

    // Draws page 1's crop box, upright, into `width` × `height` pixels on white paper.
    // Refuses (with an error) an empty crop box and more than `maxPixels` pixels.
    std::optional<RgbImage> renderFirstPage(int width, int height, std::uint64_t maxPixels,
                                            Error* error) const;

private:
    struct State;
    explicit PdfDocument(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace fw::platform
