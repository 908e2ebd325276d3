// MovieSource: one image file, decoded, ready to become a movie frame.
//
// A source is a raster image (upright by its EXIF orientation), the first page of a PDF
// document or an SVG drawing (both measured now, drawn later straight at the frame size). A raster
// is either decoded completely when it is loaded, or opened for its rows to be decoded as they are
// used (the frame renderer's way: memory stays at a strip of rows however large the image). PDF and
// SVG files are recognised by their contents, never by their names.
//
// Thread-safety: a source is used by one thread at a time; loading shares no state, so
// sources may be loaded on many threads at once.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/render/MovieFrameRenderer.h"
#include "platform/Error.h"
#include "platform/ImageDecoder.h"
#include "platform/PdfDocument.h"
#include "platform/SvgDocument.h"

namespace fw {

class MovieSource {
public:
    // Loading limits. A zero minimum size decodes at full size.
    struct Options {
        // A raster image may be decoded at a reduced size while it stays at least this
        // large (upright), so the final resampling still has the detail it needs.
        int minimumWidth = 0;
        int minimumHeight = 0;
        // Largest decoded raster, in pixels; larger images are refused.
        std::uint64_t maxPixels = std::uint64_t{1} << 28;
        // Decode every pixel while loading (true), or only open the raster for its rows
        // to be read once with `rasterReader()` (false); a damaged file then fails on
        // the row where the damage is found.
        bool decodeCompletely = true;
    };

    // Loads the file at `path`. Fails with "The image “<name>” could not be completely
    // decoded." (the decoder's error underneath) when it is neither a raster image nor a
    // PDF document or SVG drawing, when it cannot be decoded completely, or when its size
    // is zero.
    static std::variant<MovieSource, platform::Error> load(const std::string& path,
                                                           const Options& options);
    static std::variant<MovieSource, platform::Error> load(const std::string& path) {
        return load(path, Options{});
    }

    // The raster's layout and colour, or nothing for a PDF document or SVG drawing.
    const platform::ImageInfo* raster() const { return raster_ ? &raster_->info() : nullptr; }
    // The raster's rows, once, top to bottom; nothing for a PDF document, an SVG drawing,
    // or once the rows were decoded during a complete load.
    platform::ImageReader* rasterReader() { return decoded_ ? nullptr : raster_.get(); }
    // The document of a PDF file, or nothing for a raster image.
    const platform::PdfDocument* pdf() const { return pdf_.get(); }
    // The drawing of an SVG file, or nothing otherwise.
    const platform::SvgDocument* svg() const { return svg_.get(); }
    // Upright pixel size of the file's image (before any reduced-size decoding), the
    // first page's size in points, turned with the page, or the drawing's size, each
    // dimension rounded. Never zero.
    FrameSize size() const { return size_; }
    // EXIF orientation of the raster, 1-8; 1 when absent.
    int orientation() const { return orientation_; }
    // The raster declares an RGB colour model and embeds no colour profile.
    bool untaggedRGB() const { return untaggedRGB_; }

private:
    MovieSource() = default;

    std::unique_ptr<platform::ImageReader> raster_;
    bool decoded_ = false;
    std::unique_ptr<platform::PdfDocument> pdf_;
    std::unique_ptr<platform::SvgDocument> svg_;
    FrameSize size_;
    int orientation_ = 1;
    bool untaggedRGB_ = false;
};

// "The image “<last path component of path>” <suffix>", domain FrameweaverErrorDomain, code 1.
platform::Error imageError(const std::string& path, const char* suffix,
                           std::shared_ptr<const platform::Error> underlying = nullptr);

// The last component of a path, as a file name: trailing slashes are ignored.
std::string lastPathComponent(const std::string& path);

namespace image_error {
inline constexpr const char* kNotDecoded = "could not be completely decoded.";
inline constexpr const char* kIncompatibleBuffer = "has an incompatible movie frame buffer.";
inline constexpr const char* kNotPrepared = "could not be prepared for rendering.";
inline constexpr const char* kNoVectorBuffer = "could not allocate a vector drawing buffer.";
inline constexpr const char* kNotDrawn = "could not be drawn into a movie frame.";
inline constexpr const char* kNoRec709Frame = "could not prepare the Rec. 709 movie frame.";
inline constexpr const char* kNotRendered = "could not be rendered into a movie frame.";
}  // namespace image_error

}  // namespace fw
