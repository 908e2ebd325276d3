#include "platform/ImageDecoder.h"

#include <vips/vips.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/ImageDecoderRuntime.h"
#include "platform/OpenBeneath.h"
#include "platform/PlainJpegDecoder.h"
#include "platform/PlainPngDecoder.h"

namespace fw::platform {

namespace {

enum ErrorCode { kCannotOpen = 1, kNotAnImage = 2, kTooLarge = 3, kDecodeFailed = 4 };

// Loaders of picture formats. The decoder also has loaders for data files (CSV, matrix,
// FITS, MATLAB, medical volumes, slide scans, its own format) and one that hands files to
// a general-purpose converter able to run interpreters; none of those is a picture a
// user would put in a movie, so they are never used.
constexpr std::array<std::string_view, 12> kPictureLoaders = {
    "jpegload", "pngload",  "tiffload", "webpload", "heifload",    "gifload",
    "svgload",  "jp2kload", "jxlload",  "ppmload",  "openexrload", "radload"};

// Owns one reference to a VipsImage.
struct ImageRef {
    VipsImage* image = nullptr;
    ImageRef() = default;
    explicit ImageRef(VipsImage* i) : image(i) {}
    ImageRef(const ImageRef&) = delete;
    ImageRef& operator=(const ImageRef&) = delete;
    ~ImageRef() {
        if (image != nullptr)
            g_object_unref(image);
    }
    void reset(VipsImage* i) {
        if (image != nullptr)
            g_object_unref(image);
        image = i;
    }
};

bool fail(Error* error, int code, std::string text) {
    if (error != nullptr)
        *error = Error(kImageDecoderErrorDomain, code, std::move(text));
    return false;
}

bool failWithVips(Error* error, int code, const std::string& what) {
    std::string detail = takeVipsErrorText();
    return fail(error, code, detail.empty() ? what : what + ": " + detail);
}

// Runs the loader `nickname` on `filename` without going through the decoder's operation
// cache: the file is named by descriptor, and descriptor numbers are reused by later
// files, so a cached result could belong to another file.
VipsImage* runLoader(const char* nickname, const std::string& filename, int shrink) {
    VipsOperation* op = vips_operation_new(nickname);
    if (op == nullptr)
        return nullptr;
    g_object_set(op, "filename", filename.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, "fail_on",
                 VIPS_FAIL_ON_TRUNCATED, nullptr);
    if (shrink > 1)
        g_object_set(op, "shrink", shrink, nullptr);
    VipsImage* out = nullptr;
    if (vips_object_build(VIPS_OBJECT(op)) == 0)
        g_object_get(op, "out", &out, nullptr);
    vips_object_unref_outputs(VIPS_OBJECT(op));
    g_object_unref(op);
    return out;
}

int uprightWidth(VipsImage* image, int orientation) {
    return orientation >= 5 ? image->Ysize : image->Xsize;
}
int uprightHeight(VipsImage* image, int orientation) {
    return orientation >= 5 ? image->Xsize : image->Ysize;
}

// The largest JPEG reduction (1, 2, 4 or 8) that keeps the image at least the minimum size.
int chooseShrink(int width, int height, const DecodeOptions& options) {
    if (options.minimumWidth <= 0 || options.minimumHeight <= 0)
        return 1;
    for (int shrink : {8, 4, 2}) {
        if (width / shrink >= options.minimumWidth && height / shrink >= options.minimumHeight)
            return shrink;
    }
    return 1;
}

// Brings the decoded samples to 8 or 16 bits of grey, RGB or CMYK, with at most one alpha
// channel. Returns false with the decoder's error when that is not possible.
bool normalize(ImageRef& image, ImageInfo& out, Error* error) {
    VipsInterpretation interpretation = vips_image_get_interpretation(image.image);
    VipsBandFormat format = vips_image_get_format(image.image);
    const bool plainSamples = format == VIPS_FORMAT_UCHAR || format == VIPS_FORMAT_USHORT;
    const bool plainSpace =
        interpretation == VIPS_INTERPRETATION_B_W || interpretation == VIPS_INTERPRETATION_GREY16 ||
        interpretation == VIPS_INTERPRETATION_sRGB || interpretation == VIPS_INTERPRETATION_RGB16 ||
        interpretation == VIPS_INTERPRETATION_RGB || interpretation == VIPS_INTERPRETATION_CMYK ||
        interpretation == VIPS_INTERPRETATION_MULTIBAND;
    if (!plainSamples || !plainSpace) {
        // Lab, XYZ, scRGB, floating-point and other encodings: let the decoder bring them
        // to 16-bit sRGB. Any file profile described the old encoding and is dropped.
        VipsImage* converted = nullptr;
        if (vips_colourspace_issupported(image.image) &&
            vips_colourspace(image.image, &converted, VIPS_INTERPRETATION_RGB16, nullptr) == 0) {
            image.reset(converted);
        } else {
            takeVipsErrorText();
            VipsImage* cast = nullptr;
            if (vips_cast(image.image, &cast, VIPS_FORMAT_USHORT, nullptr) != 0)
                return failWithVips(error, kDecodeFailed, "unsupported sample format");
            image.reset(cast);
        }
        if (vips_image_get_format(image.image) != VIPS_FORMAT_USHORT) {
            VipsImage* cast = nullptr;
            if (vips_cast(image.image, &cast, VIPS_FORMAT_USHORT, nullptr) != 0)
                return failWithVips(error, kDecodeFailed, "unsupported sample format");
            image.reset(cast);
        }
        out.convertedToSRGB = true;
        out.iccProfile.clear();
        interpretation = VIPS_INTERPRETATION_RGB16;
    }

    const int bands = image.image->Bands;
    int keep = bands;
    if (interpretation == VIPS_INTERPRETATION_CMYK && bands >= 4) {
        out.model = ColorModel::kCMYK;
        keep = std::min(bands, 5);
        out.hasAlpha = keep == 5;
    } else if (bands <= 2) {
        out.model = ColorModel::kGray;
        out.hasAlpha = bands == 2;
    } else {
        out.model = ColorModel::kRGB;
        keep = std::min(bands, 4);
        out.hasAlpha = keep == 4 && vips_image_hasalpha(image.image);
        if (keep == 4 && !out.hasAlpha)
            keep = 3;
    }
    if (keep != bands) {
        VipsImage* extracted = nullptr;
        if (vips_extract_band(image.image, &extracted, 0, "n", keep, nullptr) != 0)
            return failWithVips(error, kDecodeFailed, "unsupported channel layout");
        image.reset(extracted);
    }
    out.channels = keep;
    out.bytesPerSample = vips_image_get_format(image.image) == VIPS_FORMAT_USHORT ? 2 : 1;
    return true;
}

// Where the stored pixel (sx, sy) of a width × height image lands once the image is turned
// upright by EXIF orientation 1-8.
struct UprightPosition {
    int x;
    int y;
};
UprightPosition uprightPosition(int orientation, int sx, int sy, int width, int height) {
    switch (orientation) {
        case 2:
            return {width - 1 - sx, sy};
        case 3:
            return {width - 1 - sx, height - 1 - sy};
        case 4:
            return {sx, height - 1 - sy};
        case 5:
            return {sy, sx};
        case 6:
            return {height - 1 - sy, sx};
        case 7:
            return {height - 1 - sy, width - 1 - sx};
        case 8:
            return {sy, width - 1 - sx};
        default:
            return {sx, sy};
    }
}

// Copies `rows` stored rows starting at row `top` (`src` holds them, `srcRowBytes` apart) to
// their upright places in `dst`, whose rows are `dstRowBytes` long.
void placeUpright(const std::uint8_t* src, std::size_t srcRowBytes, int top, int rows, int width,
                  int height, std::size_t pixelBytes, int orientation, std::uint8_t* dst,
                  std::size_t dstRowBytes) {
    for (int r = 0; r < rows; ++r) {
        const std::uint8_t* from = src + std::size_t(r) * srcRowBytes;
        for (int sx = 0; sx < width; ++sx, from += pixelBytes) {
            const UprightPosition to = uprightPosition(orientation, sx, top + r, width, height);
            std::memcpy(dst + std::size_t(to.y) * dstRowBytes + std::size_t(to.x) * pixelBytes,
                        from, pixelBytes);
        }
    }
}

}  // namespace

struct ImageReader::State {
    OwnedFd file;
    ImageRef image;
    VipsRegion* region = nullptr;
    int stripTop = 0;
    int stripRows = 0;
    // The whole upright image, for files stored turned (left uninitialised: every byte is
    // written before it is read).
    std::unique_ptr<std::uint8_t[]> upright;
    bool failed = false;
    // Plain PNG and JPEG files are read by the fast decoders; should one fail, the general
    // decoder reads the file again from the top and reports what is wrong with it.
    std::unique_ptr<PlainPngDecoder> png;
    std::unique_ptr<PlainJpegDecoder> jpeg;
    std::string descriptorPath;
    std::string loader;

    ~State() {
        if (region != nullptr)
            g_object_unref(region);
    }
};

namespace {

// Opens the file with the general decoder for the rows only, after a fast decoder
// failed: the header it read must agree with what callers were told.
bool reopenWithVips(const std::string& loader, const std::string& descriptorPath,
                    const ImageInfo& info, ImageRef& opened, VipsRegion*& region, Error* error) {
    ImageRef image(runLoader(loader.c_str(), descriptorPath, 1));
    if (image.image == nullptr)
        return failWithVips(error, kDecodeFailed, "the image could not be completely decoded");
    ImageInfo reopened;
    if (!normalize(image, reopened, error))
        return false;
    if (image.image->Xsize != info.width || image.image->Ysize != info.height ||
        reopened.channels != info.channels || reopened.bytesPerSample != info.bytesPerSample ||
        VIPS_IMAGE_SIZEOF_PEL(image.image) !=
            std::size_t(info.channels) * std::size_t(info.bytesPerSample))
        return fail(error, kDecodeFailed, "the image could not be completely decoded");
    region = vips_region_new(image.image);
    if (region == nullptr)
        return failWithVips(error, kDecodeFailed, "the image could not be completely decoded");
    std::swap(opened.image, image.image);
    return true;
}

}  // namespace

ImageReader::ImageReader(std::unique_ptr<State> state, ImageInfo info)
    : state_(std::move(state)), info_(std::move(info)) {}

ImageReader::~ImageReader() = default;

std::unique_ptr<ImageReader> ImageReader::open(const std::string& path,
                                               const DecodeOptions& options, Error* error) {
    ensureVipsRuntime();

    // Open the file once and let the decoder read it through the descriptor: the name
    // the decoder sees then has no characters it would read as load options, and a
    // directory, device or pipe is refused before any decoder looks at it.
    auto state = std::make_unique<State>();
    OwnedFd& file = state->file;
    if (std::string why; !openRegularFile(path, file, why)) {
        fail(error, kCannotOpen, std::move(why));
        return nullptr;
    }
    const std::string descriptorPath = "/proc/self/fd/" + std::to_string(file.get());

    const char* loaderType = vips_foreign_find_load(descriptorPath.c_str());
    if (loaderType == nullptr) {
        takeVipsErrorText();
        fail(error, kNotAnImage, "the file is not an image in a known format");
        return nullptr;
    }
    const char* nickname = vips_nickname_find(g_type_from_name(loaderType));
    std::string_view loader = nickname != nullptr ? nickname : "";
    bool allowed = false;
    for (std::string_view known : kPictureLoaders)
        allowed = allowed || known == loader;
    if (!allowed) {
        fail(error, kNotAnImage, "the file is not a picture format that can be decoded");
        return nullptr;
    }

    if (loader == "pngload") {
        if (auto png = PlainPngDecoder::open(file.get());
            png &&
            std::uint64_t(png->width()) * std::uint64_t(png->height()) <= options.maxPixels) {
            ImageInfo out;
            out.width = out.fullWidth = png->width();
            out.height = out.fullHeight = png->height();
            out.model = png->channels() <= 2 ? ColorModel::kGray : ColorModel::kRGB;
            out.hasAlpha = png->hasAlpha();
            out.channels = png->channels();
            out.bytesPerSample = png->bytesPerSample();
            out.rowBytes = png->rowBytes();
            state->png = std::move(png);
            state->descriptorPath = descriptorPath;
            state->loader = std::string(loader);
            return std::unique_ptr<ImageReader>(new ImageReader(std::move(state), std::move(out)));
        }
    }

    if (loader == "jpegload") {
        if (auto jpeg = PlainJpegDecoder::open(file.get(), options.maxPixels);
            jpeg && chooseShrink(jpeg->width(), jpeg->height(), options) == 1) {
            ImageInfo out;
            out.width = out.fullWidth = jpeg->width();
            out.height = out.fullHeight = jpeg->height();
            out.model = jpeg->channels() == 1 ? ColorModel::kGray : ColorModel::kRGB;
            out.channels = jpeg->channels();
            out.bytesPerSample = 1;
            out.rowBytes = jpeg->rowBytes();
            out.iccProfile = jpeg->iccProfile();
            state->jpeg = std::move(jpeg);
            state->descriptorPath = descriptorPath;
            state->loader = std::string(loader);
            return std::unique_ptr<ImageReader>(new ImageReader(std::move(state), std::move(out)));
        }
    }

    ImageRef image(runLoader(nickname, descriptorPath, 1));
    if (image.image == nullptr) {
        failWithVips(error, kDecodeFailed, "the image could not be opened");
        return nullptr;
    }

    ImageInfo out;
    out.orientation = vips_image_get_orientation(image.image);
    if (out.orientation < 1 || out.orientation > 8)
        out.orientation = 1;
    out.fullWidth = uprightWidth(image.image, out.orientation);
    out.fullHeight = uprightHeight(image.image, out.orientation);

    if (loader == "jpegload") {
        const int shrink = chooseShrink(out.fullWidth, out.fullHeight, options);
        if (shrink > 1) {
            image.reset(runLoader(nickname, descriptorPath, shrink));
            if (image.image == nullptr) {
                failWithVips(error, kDecodeFailed, "the image could not be opened");
                return nullptr;
            }
        }
    }

    const std::uint64_t pixels =
        std::uint64_t(image.image->Xsize) * std::uint64_t(image.image->Ysize);
    if (image.image->Xsize <= 0 || image.image->Ysize <= 0 || pixels > options.maxPixels) {
        fail(error, kTooLarge,
             "the image has " + std::to_string(image.image->Xsize) + " × " +
                 std::to_string(image.image->Ysize) + " pixels, more than can be decoded");
        return nullptr;
    }

    if (vips_image_get_typeof(image.image, VIPS_META_ICC_NAME) != 0) {
        const void* data = nullptr;
        std::size_t length = 0;
        if (vips_image_get_blob(image.image, VIPS_META_ICC_NAME, &data, &length) == 0 &&
            data != nullptr) {
            const auto* bytes = static_cast<const std::uint8_t*>(data);
            out.iccProfile.assign(bytes, bytes + length);
        }
    }

    if (!normalize(image, out, error))
        return nullptr;

    const std::size_t pixelBytes = std::size_t(out.channels) * std::size_t(out.bytesPerSample);
    if (VIPS_IMAGE_SIZEOF_PEL(image.image) != pixelBytes) {
        fail(error, kDecodeFailed, "the decoded image has an unexpected layout");
        return nullptr;
    }
    const int storedWidth = image.image->Xsize;
    const int storedHeight = image.image->Ysize;
    out.width = out.orientation >= 5 ? storedHeight : storedWidth;
    out.height = out.orientation >= 5 ? storedWidth : storedHeight;
    out.rowBytes = std::size_t(out.width) * pixelBytes;
    state->region = vips_region_new(image.image);
    if (state->region == nullptr) {
        failWithVips(error, kDecodeFailed, "the image could not be opened");
        return nullptr;
    }
    std::swap(state->image.image, image.image);
    return std::unique_ptr<ImageReader>(new ImageReader(std::move(state), std::move(out)));
}

const std::uint8_t* ImageReader::row(int y, Error* error) {
    State& state = *state_;
    if (state.failed || y < 0 || y >= info_.height) {
        fail(error, kDecodeFailed, "the image could not be completely decoded");
        return nullptr;
    }
    if (state.png || state.jpeg) {
        std::string why;
        if (const std::uint8_t* line =
                state.png ? state.png->row(y, &why) : state.jpeg->row(y, &why))
            return line;
        state.png.reset();
        state.jpeg.reset();
        if (!reopenWithVips(state.loader, state.descriptorPath, info_, state.image, state.region,
                            error)) {
            state.failed = true;
            return nullptr;
        }
    }
    VipsImage* image = state.image.image;
    const std::size_t pixelBytes = std::size_t(VIPS_IMAGE_SIZEOF_PEL(image));
    // Decoders deliver rows top to bottom in strips; the region holds the current one.
    auto prepareStrip = [&](int top) {
        constexpr int kStripRows = 64;
        VipsRect strip{0, top, image->Xsize, std::min(kStripRows, image->Ysize - top)};
        if (vips_region_prepare(state.region, &strip) != 0) {
            state.failed = true;
            return false;
        }
        state.stripTop = top;
        state.stripRows = strip.height;
        return true;
    };

    if (info_.orientation != 1) {
        if (!state.upright) {
            // A turned image is decoded whole, each strip copied straight to its upright place.
            state.upright.reset(new std::uint8_t[std::size_t(info_.height) * info_.rowBytes]);
            for (int top = 0; top < image->Ysize; top += state.stripRows) {
                if (!prepareStrip(top)) {
                    state.upright.reset();
                    failWithVips(error, kDecodeFailed, "the image could not be completely decoded");
                    return nullptr;
                }
                placeUpright(VIPS_REGION_ADDR(state.region, 0, top),
                             VIPS_REGION_LSKIP(state.region), top, state.stripRows, image->Xsize,
                             image->Ysize, pixelBytes, info_.orientation, state.upright.get(),
                             info_.rowBytes);
            }
        }
        return state.upright.get() + std::size_t(y) * info_.rowBytes;
    }

    if (state.stripRows == 0 || y >= state.stripTop + state.stripRows) {
        // Strips are asked for in order from the last one, so a sequential decoder never
        // has to go back; rows skipped by the caller are still decoded.
        int top = state.stripRows == 0 ? 0 : state.stripTop + state.stripRows;
        do {
            if (!prepareStrip(top)) {
                failWithVips(error, kDecodeFailed, "the image could not be completely decoded");
                return nullptr;
            }
            top += state.stripRows;
        } while (y >= state.stripTop + state.stripRows);
    } else if (y < state.stripTop) {
        fail(error, kDecodeFailed, "rows must be read from top to bottom");
        return nullptr;
    }
    return VIPS_REGION_ADDR(state.region, 0, y);
}

const std::vector<std::string>& decodableImageTypes() {
    // The MIME types each picture loader reads.
    struct LoaderTypes {
        std::string_view loader;
        std::array<std::string_view, 4> types;
    };
    static constexpr LoaderTypes kTypes[] = {
        {"jpegload", {"image/jpeg"}},
        {"pngload", {"image/png"}},
        {"tiffload", {"image/tiff"}},
        {"webpload", {"image/webp"}},
        {"heifload", {"image/heif", "image/heic", "image/avif"}},
        {"gifload", {"image/gif"}},
        {"svgload", {"image/svg+xml"}},
        {"jp2kload", {"image/jp2"}},
        {"jxlload", {"image/jxl"}},
        {"ppmload",
         {"image/x-portable-anymap", "image/x-portable-bitmap", "image/x-portable-graymap",
          "image/x-portable-pixmap"}},
        {"openexrload", {"image/x-exr"}},
        {"radload", {"image/vnd.radiance"}},
    };
    static const std::vector<std::string> types = [] {
        ensureVipsRuntime();
        std::vector<std::string> result;
        for (std::string_view loader : kPictureLoaders) {
            // A loader the installed library was built without reads nothing.
            if (vips_type_find("VipsOperation", std::string(loader).c_str()) == 0)
                continue;
            for (const LoaderTypes& entry : kTypes) {
                if (entry.loader != loader)
                    continue;
                for (std::string_view type : entry.types) {
                    if (!type.empty() &&
                        std::find(result.begin(), result.end(), type) == result.end())
                        result.emplace_back(type);
                }
            }
        }
        return result;
    }();
    return types;
}

std::optional<DecodedImage> decodeImage(const std::string& path, const DecodeOptions& options,
                                        Error* error) {
    std::unique_ptr<ImageReader> reader = ImageReader::open(path, options, error);
    if (!reader)
        return std::nullopt;
    DecodedImage image;
    static_cast<ImageInfo&>(image) = reader->info();
    image.pixels.resize(image.rowBytes * std::size_t(image.height));
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t* row = reader->row(y, error);
        if (row == nullptr)
            return std::nullopt;
        std::memcpy(image.pixels.data() + std::size_t(y) * image.rowBytes, row, image.rowBytes);
    }
    return image;
}

}  // namespace fw::platform
