#include "platform/SvgDocument.h"

#include <cairo.h>
#include <librsvg/rsvg.h>
#include <unistd.h>
#include <vips/vips.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/ImageDecoderRuntime.h"
#include "platform/OpenBeneath.h"
#include "platform/XrgbRows.h"

namespace fw::platform {

namespace {

enum ErrorCode { kCannotOpen = 1, kNotReadable = 2, kNoSize = 3, kDrawFailed = 5 };

// Largest SVG file read: drawings are text, and far smaller than this.
constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;
// Pixels per inch the drawing's physical units (in, cm, pt) are measured at: a point is a pixel.
constexpr double kDotsPerInch = 72.0;

void fail(Error* error, int code, std::string text) {
    if (error != nullptr)
        *error = Error(kSvgErrorDomain, code, std::move(text));
}

bool usable(double value) {
    return std::isfinite(value) && value > 0;
}

struct CairoSurface {
    cairo_surface_t* surface = nullptr;
    ~CairoSurface() {
        if (surface != nullptr)
            cairo_surface_destroy(surface);
    }
};

struct CairoContext {
    cairo_t* context = nullptr;
    ~CairoContext() {
        if (context != nullptr)
            cairo_destroy(context);
    }
};

}  // namespace

struct SvgDocument::State {
    RsvgHandle* handle = nullptr;
    ~State() {
        if (handle != nullptr)
            g_object_unref(handle);
    }
};

bool isSvgFile(const std::string& path) {
    ensureVipsRuntime();
    OwnedFd file;
    if (std::string why; !openRegularFile(path, file, why))
        return false;
    const std::string descriptorPath = "/proc/self/fd/" + std::to_string(file.get());
    const char* loader = vips_foreign_find_load(descriptorPath.c_str());
    if (loader == nullptr) {
        takeVipsErrorText();
        return false;
    }
    const char* nickname = vips_nickname_find(g_type_from_name(loader));
    return nickname != nullptr && std::string_view(nickname) == "svgload";
}

SvgDocument::SvgDocument(std::unique_ptr<State> state, double width, double height)
    : state_(std::move(state)), width_(width), height_(height) {}

SvgDocument::~SvgDocument() = default;

std::unique_ptr<SvgDocument> SvgDocument::open(const std::string& path, Error* error) {
    OwnedFd file;
    if (std::string why; !openRegularFile(path, file, why)) {
        fail(error, kCannotOpen, std::move(why));
        return nullptr;
    }
    std::vector<std::uint8_t> bytes;
    for (;;) {
        const std::size_t have = bytes.size();
        if (have >= kMaxFileBytes) {
            fail(error, kNotReadable, "the SVG file is too large to be read");
            return nullptr;
        }
        bytes.resize(have + 65536);
        const ssize_t n = ::read(file.get(), bytes.data() + have, bytes.size() - have);
        if (n < 0 && errno == EINTR) {
            bytes.resize(have);
            continue;
        }
        if (n < 0) {
            fail(error, kCannotOpen, path + ": " + std::strerror(errno));
            return nullptr;
        }
        bytes.resize(have + std::size_t(n));
        if (n == 0)
            break;
    }

    // Read from memory with no base location, so references to other files are refused.
    GError* parseError = nullptr;
    auto state = std::make_unique<State>();
    state->handle = rsvg_handle_new_from_data(bytes.data(), bytes.size(), &parseError);
    if (state->handle == nullptr) {
        std::string detail = parseError != nullptr ? parseError->message : "";
        if (parseError != nullptr)
            g_error_free(parseError);
        fail(error, kNotReadable,
             "the file is not a valid SVG drawing" + (detail.empty() ? "" : ": " + detail));
        return nullptr;
    }
    rsvg_handle_set_dpi(state->handle, kDotsPerInch);

    // The size the drawing declares; else its view box; else the extent of what it draws.
    double width = 0;
    double height = 0;
    if (!rsvg_handle_get_intrinsic_size_in_pixels(state->handle, &width, &height)) {
        gboolean hasWidth = FALSE;
        gboolean hasHeight = FALSE;
        gboolean hasViewBox = FALSE;
        RsvgLength lengthWidth;
        RsvgLength lengthHeight;
        RsvgRectangle viewBox;
        rsvg_handle_get_intrinsic_dimensions(state->handle, &hasWidth, &lengthWidth, &hasHeight,
                                             &lengthHeight, &hasViewBox, &viewBox);
        if (hasViewBox) {
            width = viewBox.width;
            height = viewBox.height;
        } else {
            RsvgRectangle ink;
            RsvgRectangle logical;
            if (rsvg_handle_get_geometry_for_layer(state->handle, nullptr, nullptr, &ink, &logical,
                                                   nullptr)) {
                width = logical.x + logical.width;
                height = logical.y + logical.height;
            }
        }
    }
    if (!usable(width) || !usable(height)) {
        fail(error, kNoSize, "the SVG drawing has no size");
        return nullptr;
    }
    return std::unique_ptr<SvgDocument>(new SvgDocument(std::move(state), width, height));
}

std::optional<RgbImage> SvgDocument::render(int width, int height, std::uint64_t maxPixels,
                                            Error* error) const {
    if (width <= 0 || height <= 0 || std::uint64_t(width) * std::uint64_t(height) > maxPixels) {
        fail(error, kSvgTooLargeCode,
             "a drawing of " + std::to_string(width) + " × " + std::to_string(height) +
                 " pixels is too large");
        return std::nullopt;
    }
    CairoSurface surface;
    surface.surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    if (cairo_surface_status(surface.surface) != CAIRO_STATUS_SUCCESS) {
        fail(error, kSvgNoBufferCode, "no drawing buffer could be had");
        return std::nullopt;
    }
    CairoContext cr;
    cr.context = cairo_create(surface.surface);
    if (cairo_status(cr.context) != CAIRO_STATUS_SUCCESS) {
        fail(error, kSvgNoBufferCode, "no drawing buffer could be had");
        return std::nullopt;
    }
    cairo_set_source_rgb(cr.context, 0, 0, 0);
    cairo_paint(cr.context);
    // The drawing at its own size, stretched across and down to the pixel size.
    cairo_scale(cr.context, width / width_, height / height_);
    const RsvgRectangle viewport{0, 0, width_, height_};
    GError* drawError = nullptr;
    if (!rsvg_handle_render_document(state_->handle, cr.context, &viewport, &drawError)) {
        std::string detail = drawError != nullptr ? drawError->message : "";
        if (drawError != nullptr)
            g_error_free(drawError);
        fail(error, kDrawFailed,
             "the SVG drawing could not be drawn" + (detail.empty() ? "" : ": " + detail));
        return std::nullopt;
    }
    cairo_surface_flush(surface.surface);

    RgbImage out;
    out.width = width;
    out.height = height;
    out.pixels.resize(std::size_t(width) * std::size_t(height) * 3);
    const unsigned char* data = cairo_image_surface_get_data(surface.surface);
    const int stride = cairo_image_surface_get_stride(surface.surface);
    for (int y = 0; y < height; ++y) {
        // Each pixel is a native-endian 32-bit 0x__RRGGBB word, already laid over black.
        const unsigned char* src = data + std::ptrdiff_t(y) * stride;
        std::uint8_t* dst = out.pixels.data() + std::size_t(y) * std::size_t(width) * 3;
        unpackXrgbRow(src, dst, width);
    }
    return out;
}

}  // namespace fw::platform
