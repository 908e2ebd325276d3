// ImageDecoder: decodes the first image of a raster file (JPEG, PNG, TIFF, WebP, HEIF,
// GIF, SVG, JPEG 2000, JPEG XL, PNM, Radiance, OpenEXR, whatever the installed decoder
// reads of these), drawn upright by its EXIF orientation.
//
// `ImageReader` decodes row by row, top to bottom, holding only a strip of rows at a time
// (an image that must be turned upright is decoded whole first, and a plain PNG is
// inflated whole in one pass, which is much faster than streaming it); `decodeImage` decodes a
// whole image into memory. Either way every pixel is decoded, so a truncated or damaged
// file is an error rather than an image with a grey or missing bottom. An image whose
// decoded pixel count exceeds `DecodeOptions::maxPixels` is refused before any pixels
// are decoded, so a small file cannot claim gigabytes of memory. The file type is
// recognised by its contents, never by its name; PDF documents are not decoded here
// (see PdfDocument.h).
//
// Thread-safety: a reader is used by one thread at a time. Readers and `decodeImage`
// share no state, so any number may run at once on different threads; nothing is cached
// between decodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Error.h"

namespace fw::platform {

inline constexpr const char* kImageDecoderErrorDomain = "ImageDecoderErrorDomain";

// The colour model of decoded samples.
enum class ColorModel { kGray, kRGB, kCMYK };

struct DecodeOptions {
    // When nonzero, a decoder that can decode at a reduced size (JPEG) may do so as long
    // as the decoded upright image stays at least this wide and this high.
    int minimumWidth = 0;
    int minimumHeight = 0;
    // Largest number of decoded pixels accepted (width × height).
    std::uint64_t maxPixels = std::uint64_t{1} << 28;
};

// Layout and colour of the decoded samples: interleaved, rows top to bottom, upright.
struct ImageInfo {
    int width = 0;   // upright width in pixels, after any reduced-size decoding
    int height = 0;  // upright height
    // Size of the image as stored in the file, upright (before any reduced-size decoding).
    int fullWidth = 0;
    int fullHeight = 0;
    ColorModel model = ColorModel::kRGB;
    bool hasAlpha = false;     // the last channel is straight (unpremultiplied) alpha
    int channels = 3;          // colour channels plus alpha: 1-2 grey, 3-4 RGB, 4-5 CMYK
    int bytesPerSample = 1;    // 1 (8-bit) or 2 (16-bit, native endian)
    std::size_t rowBytes = 0;  // width × channels × bytesPerSample
    int orientation = 1;       // EXIF orientation 1-8 of the file (already applied)
    std::vector<std::uint8_t> iccProfile;  // the embedded colour profile, empty when none
    // True when the samples were converted to sRGB by the decoder from a colour space it
    // understands natively (Lab, scRGB, floating point): any file profile no longer applies.
    bool convertedToSRGB = false;
};

class ImageReader {
public:
    // Opens the image and reads its header. Returns nothing with `*error` set (domain
    // kImageDecoderErrorDomain, when `error` is given) when the file cannot be opened, is
    // not a picture the decoder reads, or is larger than `options.maxPixels`.
    static std::unique_ptr<ImageReader> open(const std::string& path, const DecodeOptions& options,
                                             Error* error);

    ~ImageReader();
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;

    const ImageInfo& info() const { return info_; }

    // Row `y` of the upright image, valid until the next call. Rows are read in order:
    // `y` is never below the `y` of an earlier call. Returns nothing with `*error` set
    // (when given) when the file turns out truncated or damaged.
    const std::uint8_t* row(int y, Error* error);

private:
    struct State;
    ImageReader(std::unique_ptr<State> state, ImageInfo info);

    std::unique_ptr<State> state_;
    ImageInfo info_;
};

// A whole decoded image.
struct DecodedImage : ImageInfo {
    std::vector<std::uint8_t> pixels;  // height × rowBytes
    const std::uint8_t* row(int y) const { return pixels.data() + rowBytes * std::size_t(y); }
};

// The MIME types of the picture formats `ImageReader` decodes with the decoders installed
// on this machine, in the order the formats are tried, without duplicates. A format the
// decoding library reads only through the general-purpose converter (BMP, for one) is not
// among them, since such files are refused.
const std::vector<std::string>& decodableImageTypes();

// Decodes the first image of the file at `path` into memory. On failure returns nothing
// and sets `*error` (domain kImageDecoderErrorDomain) when `error` is given.
std::optional<DecodedImage> decodeImage(const std::string& path, const DecodeOptions& options,
                                        Error* error);

}  // namespace fw::platform
