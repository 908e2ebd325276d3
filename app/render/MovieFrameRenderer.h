// MovieFrameRenderer: turns one image file into one movie frame.
//
// A renderer is made once per export for a fixed frame size and codec. For each frame
// the caller hands it an image path and an empty pixel buffer; the renderer decodes the
// image, stretches it to exactly the frame size (independent horizontal and vertical
// Lanczos-3 factors in linear light; the aspect ratio is not kept, nothing is
// letterboxed), lays it over opaque black and writes it into the buffer as Rec. 709
// video-range Y'CbCr (8-bit 4:2:0 with dithering, 10-bit 4:2:0 or 10-bit 4:2:2).
//
// Thread-safety: one renderer is used by one thread at a time. Renderers share nothing
// mutable, so an export may run one renderer per worker thread. `imageSizeAtPath` needs
// no renderer and may be called from any thread.
//
// Failures are errors in `platform::kFrameweaverErrorDomain`, code 1, reading
// "The image “<file name>” <reason>", with the cause underneath where there is one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/PixelBuffer.h"

namespace fw {

class MovieSource;

// The codec type strings the renderer knows, and the pixel format each one takes.
inline constexpr std::string_view kCodecH264 = "avc1";       // '420v'
inline constexpr std::string_view kCodecHEVC = "hvc1";       // 'x420'
inline constexpr std::string_view kCodecProRes422 = "apcn";  // 'x422'

// A width and height in pixels (or, for a PDF page, in points).
struct FrameSize {
    double width = 0;
    double height = 0;
    friend bool operator==(const FrameSize&, const FrameSize&) = default;
};

class MovieFrameRenderer {
public:
    // The renderer for frames of `frameSize` pixels (each dimension truncated to an
    // integer) encoded with `codec` (one of the codec strings above). Returns nothing for
    // any other codec string or a frame size that is not at least 1 × 1 pixel.
    static std::unique_ptr<MovieFrameRenderer> create(FrameSize frameSize, std::string_view codec);

    // The upright pixel size of a raster image, or the page size in points of a PDF's
    // first page (width and height swapped for a page turned a quarter). On failure
    // returns the zero size and, when `error` is given, sets it.
    static FrameSize imageSizeAtPath(const std::string& path, platform::Error* error = nullptr);

    ~MovieFrameRenderer();
    MovieFrameRenderer(const MovieFrameRenderer&) = delete;
    MovieFrameRenderer& operator=(const MovieFrameRenderer&) = delete;

    // Renders the image at `path` into `buffer`, which must have the renderer's pixel
    // format and exactly the frame size (checked before the file is opened). Returns
    // nothing on success, otherwise the error; on failure the buffer's contents are
    // unspecified. Sets the buffer's Rec. 709 colour tags on success.
    std::optional<platform::Error> renderImageAtPath(const std::string& path,
                                                     platform::PixelBuffer* buffer);

    FrameSize frameSize() const { return frameSize_; }
    platform::PixelFormat pixelFormat() const { return pixelFormat_; }
    void setPixelFormat(platform::PixelFormat format) { pixelFormat_ = format; }

    // Largest decoded image or drawn page, in pixels (width × height); larger ones fail
    // with "could not be completely decoded." instead of exhausting memory.
    static constexpr std::uint64_t kDefaultPixelLimit = std::uint64_t{1} << 28;
    void setPixelLimit(std::uint64_t pixels) { pixelLimit_ = pixels; }

private:
    struct Scratch;

    MovieFrameRenderer(FrameSize frameSize, platform::PixelFormat format);

    FrameSize frameSize_;
    platform::PixelFormat pixelFormat_;
    std::uint64_t pixelLimit_ = kDefaultPixelLimit;
    // Per-renderer working memory and colour transforms, reused from frame to frame.
    std::unique_ptr<Scratch> scratch_;
};

}  // namespace fw
