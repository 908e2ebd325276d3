#include "platform/PdfDocument.h"

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

#include "platform/OpenBeneath.h"
#include "platform/XrgbRows.h"

namespace fw::platform {

namespace {

enum ErrorCode {
    kCannotOpen = 1,
    kNotReadable = 2,
    kLocked = 3,
    kNoPage = 4,
    kTooLarge = kPdfTooLargeCode,
    kRenderFailed = 6
};

bool fail(Error* error, int code, std::string text) {
    if (error != nullptr)
        *error = Error(kPdfErrorDomain, code, std::move(text));
    return false;
}

// Damaged documents are ordinary input: keep the renderer's complaints off standard error.
void ignorePopplerMessage(const std::string&, void*) {}

void quietPoppler() {
    static std::once_flag once;
    std::call_once(once, [] { poppler::set_debug_error_function(ignorePopplerMessage, nullptr); });
}

}  // namespace

bool isPdfFile(const std::string& path) {
    OwnedFd file;
    if (std::string why; !openRegularFile(path, file, why))
        return false;
    char head[1024];
    std::size_t have = 0;
    while (have < sizeof head) {
        const ssize_t n = ::read(file.get(), head + have, sizeof head - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        have += std::size_t(n);
    }
    return std::string_view(head, have).find("%PDF-") != std::string_view::npos;
}

struct PdfDocument::State {
    std::unique_ptr<poppler::document> document;
    std::unique_ptr<poppler::page> firstPage;
};

PdfDocument::PdfDocument(std::unique_ptr<State> state) : state_(std::move(state)) {}
PdfDocument::~PdfDocument() = default;

std::unique_ptr<PdfDocument> PdfDocument::open(const std::string& path, Error* error) {
    quietPoppler();
    OwnedFd file;
    if (std::string why; !openRegularFile(path, file, why)) {
        fail(error, kCannotOpen, std::move(why));
        return nullptr;
    }
    // Read through the descriptor just checked, not by name a second time.
    const std::string descriptorPath = "/proc/self/fd/" + std::to_string(file.get());
    auto state = std::make_unique<State>();
    state->document.reset(poppler::document::load_from_file(descriptorPath));
    if (!state->document) {
        fail(error, kNotReadable, "the file is not a readable PDF document");
        return nullptr;
    }
    if (state->document->is_locked()) {
        fail(error, kLocked, "the PDF document is locked with a password");
        return nullptr;
    }
    if (state->document->pages() >= 1)
        state->firstPage.reset(state->document->create_page(0));
    return std::unique_ptr<PdfDocument>(new PdfDocument(std::move(state)));
}

bool PdfDocument::hasFirstPage() const {
    return state_->firstPage != nullptr;
}

double PdfDocument::cropWidth() const {
    return hasFirstPage() ? state_->firstPage->page_rect(poppler::crop_box).width() : 0.0;
}

double PdfDocument::cropHeight() const {
    return hasFirstPage() ? state_->firstPage->page_rect(poppler::crop_box).height() : 0.0;
}

int PdfDocument::rotation() const {
    if (!hasFirstPage())
        return 0;
    switch (state_->firstPage->orientation()) {
        case poppler::page::landscape:
            return 90;
        case poppler::page::upside_down:
            return 180;
        case poppler::page::seascape:
            return 270;
        case poppler::page::portrait:
            break;
    }
    return 0;
}

std::optional<RgbImage> PdfDocument::renderFirstPage(int width, int height, std::uint64_t maxPixels,
                                                     Error* error) const {
    if (!hasFirstPage()) {
        fail(error, kNoPage, "the PDF document has no pages");
        return std::nullopt;
    }
    if (width <= 0 || height <= 0 || std::uint64_t(width) * std::uint64_t(height) > maxPixels) {
        fail(error, kTooLarge,
             "a page drawing of " + std::to_string(width) + " × " + std::to_string(height) +
                 " pixels is too large");
        return std::nullopt;
    }
    const bool quarterTurn = rotation() % 180 != 0;
    const double uprightWidth = quarterTurn ? cropHeight() : cropWidth();
    const double uprightHeight = quarterTurn ? cropWidth() : cropHeight();
    if (!(uprightWidth > 0) || !(uprightHeight > 0) || !std::isfinite(uprightWidth) ||
        !std::isfinite(uprightHeight)) {
        fail(error, kRenderFailed, "the first page's crop box is empty");
        return std::nullopt;
    }

    poppler::page_renderer renderer;
    renderer.set_render_hint(poppler::page_renderer::antialiasing, true);
    renderer.set_render_hint(poppler::page_renderer::text_antialiasing, true);
    // Documents are drawn on paper: a transparent page background would turn ordinary
    // black-on-white pages into black frames once laid over the movie's black.
    renderer.set_paper_color(0xffffffffu);
    renderer.set_image_format(poppler::image::format_argb32);
    // Resolutions in dots per inch that map the upright crop box onto the pixel size;
    // the renderer applies them to the page as turned, across and down.
    const double xres = 72.0 * width / uprightWidth;
    const double yres = 72.0 * height / uprightHeight;
    poppler::image drawn =
        renderer.render_page(state_->firstPage.get(), xres, yres, 0, 0, width, height);
    if (!drawn.is_valid() || drawn.width() <= 0 || drawn.height() <= 0) {
        fail(error, kRenderFailed, "the first page could not be drawn");
        return std::nullopt;
    }

    RgbImage out;
    out.width = width;
    out.height = height;
    out.pixels.assign(std::size_t(width) * std::size_t(height) * 3, 0xff);
    const int rows = std::min(height, drawn.height());
    const int columns = std::min(width, drawn.width());
    const char* data = drawn.const_data();
    for (int y = 0; y < rows; ++y) {
        // Each drawn pixel is a native-endian 32-bit 0xAARRGGBB word, opaque on the paper.
        const auto* src =
            reinterpret_cast<const std::uint8_t*>(data + std::ptrdiff_t(y) * drawn.bytes_per_row());
        std::uint8_t* dst = out.pixels.data() + std::size_t(y) * std::size_t(width) * 3;
        unpackXrgbRow(src, dst, columns);
    }
    return out;
}

}  // namespace fw::platform
