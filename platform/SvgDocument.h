// SvgDocument: an SVG drawing, measured when opened and drawn later at any pixel size.
//
// A drawing is never rasterised at its own size and then resampled: it is drawn straight
// at the size asked for, stretched separately across and down to fill it exactly, so
// edges stay sharp however much the frame enlarges it. Sizes are in pixels at 72 per
// inch (a drawing measured in inches or points is as many pixels as it has points).
// Drawings come from the file alone: references to other files or to the network are
// not followed.
//
// Thread-safety: a document is used by one thread at a time; different documents may be
// used on different threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/PdfDocument.h"

namespace fw::platform {

inline constexpr const char* kSvgErrorDomain = "SvgErrorDomain";
// Code of the error that refuses a drawing larger than the caller allows.
inline constexpr int kSvgTooLargeCode = 4;
// Code of the error when no drawing buffer of the size asked for can be had.
inline constexpr int kSvgNoBufferCode = 6;

// True when the file at `path` is an SVG drawing (plain or compressed), judged by its
// contents as the image decoder judges them.
bool isSvgFile(const std::string& path);

class SvgDocument {
public:
    // Reads and parses the drawing. Returns nothing with `*error` set (when given) when
    // the file cannot be read, is not a valid SVG drawing, or has no size.
    static std::unique_ptr<SvgDocument> open(const std::string& path, Error* error);

    ~SvgDocument();
    SvgDocument(const SvgDocument&) = delete;
    SvgDocument& operator=(const SvgDocument&) = delete;

    // The drawing's own width and height in pixels, both finite and above zero.
    double width() const { return width_; }
    double height() const { return height_; }

    // Draws the whole drawing into exactly `width` × `height` pixels over opaque black.
    // Refuses (with an error) more than `maxPixels` pixels (kSvgTooLargeCode), fails when
    // no drawing buffer can be had (kSvgNoBufferCode) or the drawing fails.
    std::optional<RgbImage> render(int width, int height, std::uint64_t maxPixels,
                                   Error* error) const;

private:
    struct State;
    SvgDocument(std::unique_ptr<State> state, double width, double height);

    std::unique_ptr<State> state_;
    double width_ = 0;
    double height_ = 0;
};

}  // namespace fw::platform
