#include "app/render/MovieSource.h"

#include <cmath>

namespace fw {

std::string lastPathComponent(const std::string& path) {
    if (path.empty())
        return "";
    const std::size_t last = path.find_last_not_of('/');
    if (last == std::string::npos)
        return "/";
    const std::size_t slash = path.rfind('/', last);
    const std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(begin, last + 1 - begin);
}

platform::Error imageError(const std::string& path, const char* suffix,
                           std::shared_ptr<const platform::Error> underlying) {
    return platform::Error(platform::kFrameweaverErrorDomain, 1,
                           "The image \u201c" + lastPathComponent(path) + "\u201d " + suffix,
                           std::move(underlying));
}

std::variant<MovieSource, platform::Error> MovieSource::load(const std::string& path,
                                                             const Options& options) {
    auto notDecoded = [&](platform::Error cause) {
        return imageError(path, image_error::kNotDecoded,
                          std::make_shared<const platform::Error>(std::move(cause)));
    };
    MovieSource source;
    platform::Error cause;

    if (platform::isPdfFile(path)) {
        source.pdf_ = platform::PdfDocument::open(path, &cause);
        if (!source.pdf_)
            return notDecoded(cause);
        if (!source.pdf_->hasFirstPage())
            return notDecoded(
                platform::Error(platform::kPdfErrorDomain, 4, "the PDF document has no pages"));
        const double width = std::round(source.pdf_->cropWidth());
        const double height = std::round(source.pdf_->cropHeight());
        const bool quarterTurn = source.pdf_->rotation() % 180 != 0;
        source.size_ = quarterTurn ? FrameSize{height, width} : FrameSize{width, height};
    } else if (platform::isSvgFile(path)) {
        source.svg_ = platform::SvgDocument::open(path, &cause);
        if (!source.svg_)
            return notDecoded(cause);
        source.size_ =
            FrameSize{std::round(source.svg_->width()), std::round(source.svg_->height())};
    } else {
        platform::DecodeOptions decode;
        decode.minimumWidth = options.minimumWidth;
        decode.minimumHeight = options.minimumHeight;
        decode.maxPixels = options.maxPixels;
        source.raster_ = platform::ImageReader::open(path, decode, &cause);
        if (!source.raster_)
            return notDecoded(cause);
        const platform::ImageInfo& info = source.raster_->info();
        if (options.decodeCompletely) {
            for (int y = 0; y < info.height; ++y) {
                if (source.raster_->row(y, &cause) == nullptr)
                    return notDecoded(cause);
            }
            source.decoded_ = true;
        }
        source.orientation_ = info.orientation;
        source.untaggedRGB_ = info.model == platform::ColorModel::kRGB && info.iccProfile.empty();
        source.size_ = FrameSize{double(info.fullWidth), double(info.fullHeight)};
    }

    if (!(source.size_.width > 0) || !(source.size_.height > 0) ||
        !std::isfinite(source.size_.width) || !std::isfinite(source.size_.height)) {
        return notDecoded(
            platform::Error(platform::kFrameweaverErrorDomain, 1, "the image has no size"));
    }
    return source;
}

}  // namespace fw
