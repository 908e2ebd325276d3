#include "app/render/MovieFrameRenderer.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "app/render/LanczosScaler.h"
#include "app/render/LinearLight.h"
#include "app/render/MovieSource.h"
#include "app/render/YCbCrWriter.h"
#include "platform/ColorTransform.h"
#include "platform/MovieWriter.h"

namespace fw {

using platform::ColorModel;
using platform::Error;
using platform::ImageInfo;
using platform::PixelBuffer;
using platform::PixelFormat;

namespace {

// Largest frame side accepted; the movie writer's limits are far below it.
constexpr double kMaxFrameSide = 32768;

std::optional<PixelFormat> pixelFormatForCodec(std::string_view codec) {
    if (auto videoCodec = platform::videoCodecForType(codec))
        return platform::pixelFormatFor(*videoCodec);
    return std::nullopt;
}

platform::ColorInputLayout inputLayout(const ImageInfo& image) {
    platform::ColorInputLayout layout;
    switch (image.model) {
        case ColorModel::kGray:
            layout.model = platform::ColorInputLayout::Model::kGray;
            break;
        case ColorModel::kRGB:
            layout.model = platform::ColorInputLayout::Model::kRGB;
            break;
        case ColorModel::kCMYK:
            layout.model = platform::ColorInputLayout::Model::kCMYK;
            break;
    }
    layout.bytesPerSample = image.bytesPerSample;
    layout.hasAlpha = image.hasAlpha;
    return layout;
}

// Converts one decoded row to premultiplied linear light, assuming sRGB samples (no
// usable profile). CMYK without a profile takes the plain complement formula.
template <typename Sample>
void linearizeRow(const ImageInfo& image, const std::uint8_t* row, const float* table,
                  SourceRowPixels out) {
    const auto* in = reinterpret_cast<const Sample*>(row);
    const int width = image.width;
    const int channels = image.channels;
    constexpr float kMax = sizeof(Sample) == 1 ? 255.0f : 65535.0f;
    switch (image.model) {
        case ColorModel::kGray:
            for (int x = 0; x < width; ++x) {
                const Sample* p = in + std::size_t(x) * std::size_t(channels);
                const float alpha = image.hasAlpha ? static_cast<float>(p[1]) / kMax : 1.0f;
                const float v = table[p[0]] * alpha;
                out[std::size_t(x)] = LinearPixel{v, v, v, alpha};
            }
            break;
        case ColorModel::kRGB:
            if (!image.hasAlpha) {
                for (int x = 0; x < width; ++x) {
                    const Sample* p = in + std::size_t(x) * 3;
                    out[std::size_t(x)] = LinearPixel{table[p[0]], table[p[1]], table[p[2]], 1.0f};
                }
            } else {
                for (int x = 0; x < width; ++x) {
                    const Sample* p = in + std::size_t(x) * 4;
                    const float alpha = static_cast<float>(p[3]) / kMax;
                    out[std::size_t(x)] = LinearPixel{table[p[0]] * alpha, table[p[1]] * alpha,
                                                      table[p[2]] * alpha, alpha};
                }
            }
            break;
        case ColorModel::kCMYK: {
            const float* table16 = srgb16ToLinearTable();
            for (int x = 0; x < width; ++x) {
                const Sample* p = in + std::size_t(x) * std::size_t(channels);
                const float k = 1.0f - static_cast<float>(p[3]) / kMax;
                float rgb[3];
                for (int c = 0; c < 3; ++c) {
                    const float encoded = (1.0f - static_cast<float>(p[c]) / kMax) * k;
                    rgb[c] = table16[static_cast<int>(encoded * 65535.0f + 0.5f)];
                }
                const float alpha = image.hasAlpha ? static_cast<float>(p[4]) / kMax : 1.0f;
                out[std::size_t(x)] =
                    LinearPixel{rgb[0] * alpha, rgb[1] * alpha, rgb[2] * alpha, alpha};
            }
            break;
        }
    }
}

template <typename Sample>
float alphaAt(const ImageInfo& image, const std::uint8_t* row, int x) {
    const auto* p =
        reinterpret_cast<const Sample*>(row) + std::size_t(x) * std::size_t(image.channels);
    constexpr float kMax = sizeof(Sample) == 1 ? 255.0f : 65535.0f;
    return static_cast<float>(p[image.channels - 1]) / kMax;
}

}  // namespace

// Working memory and colour state a renderer keeps from frame to frame. Nothing in it is
// shared with other renderers.
struct MovieFrameRenderer::Scratch {
    LanczosScaler scaler;
    YCbCrWriter writer;
    std::vector<std::uint16_t> converted;  // one row of profile-converted sRGB samples
    std::vector<LinearPixel> row;          // one row of linear pixels (drawn pages)
    // The transform of the last embedded profile seen: frames of one export usually
    // share their camera's or editor's profile.
    std::vector<std::uint8_t> profile;
    platform::ColorInputLayout profileLayout;
    std::unique_ptr<platform::ColorTransform> transform;
    bool profileUnusable = false;

    const platform::ColorTransform* transformFor(const ImageInfo& image) {
        if (image.iccProfile.empty() || image.convertedToSRGB)
            return nullptr;
        const platform::ColorInputLayout layout = inputLayout(image);
        const bool same = profile == image.iccProfile && profileLayout.model == layout.model &&
                          profileLayout.bytesPerSample == layout.bytesPerSample &&
                          profileLayout.hasAlpha == layout.hasAlpha;
        if (!same) {
            profile = image.iccProfile;
            profileLayout = layout;
            transform = platform::ColorTransform::create(profile, layout);
            profileUnusable = transform == nullptr;
        }
        // An unusable profile means sRGB is assumed; an sRGB profile needs no conversion.
        if (profileUnusable || transform->isIdentity())
            return nullptr;
        return transform.get();
    }
};

MovieFrameRenderer::MovieFrameRenderer(FrameSize frameSize, PixelFormat format)
    : frameSize_(frameSize), pixelFormat_(format), scratch_(std::make_unique<Scratch>()) {}

MovieFrameRenderer::~MovieFrameRenderer() = default;

std::unique_ptr<MovieFrameRenderer> MovieFrameRenderer::create(FrameSize frameSize,
                                                               std::string_view codec) {
    const std::optional<PixelFormat> format = pixelFormatForCodec(codec);
    if (!format)
        return nullptr;
    const bool usable = std::isfinite(frameSize.width) && std::isfinite(frameSize.height) &&
                        frameSize.width >= 1 && frameSize.height >= 1 &&
                        frameSize.width < kMaxFrameSide && frameSize.height < kMaxFrameSide;
    if (!usable)
        return nullptr;
    return std::unique_ptr<MovieFrameRenderer>(new MovieFrameRenderer(frameSize, *format));
}

FrameSize MovieFrameRenderer::imageSizeAtPath(const std::string& path, Error* error) {
    std::variant<MovieSource, Error> loaded = MovieSource::load(path);
    if (auto* failure = std::get_if<Error>(&loaded)) {
        if (error != nullptr)
            *error = std::move(*failure);
        return FrameSize{};
    }
    return std::get<MovieSource>(loaded).size();
}

std::optional<Error> MovieFrameRenderer::renderImageAtPath(const std::string& path,
                                                           PixelBuffer* buffer) {
    const int width = static_cast<int>(frameSize_.width);
    const int height = static_cast<int>(frameSize_.height);
    const bool bufferFits = buffer != nullptr && buffer->format == pixelFormat_ &&
                            buffer->width == width && buffer->height == height &&
                            buffer->planes[0] != nullptr && buffer->planes[1] != nullptr &&
                            buffer->planes[2] != nullptr;
    if (!bufferFits)
        return imageError(path, image_error::kIncompatibleBuffer);

    Scratch& scratch = *scratch_;
    try {
        // A reduced-size decode must leave the final Lanczos step at least a halving on
        // each axis, so the frame keeps all the detail the full image would give it.
        MovieSource::Options options;
        options.minimumWidth = 2 * width;
        options.minimumHeight = 2 * height;
        options.maxPixels = pixelLimit_;
        options.decodeCompletely = false;
        std::variant<MovieSource, Error> loaded = MovieSource::load(path, options);
        if (auto* failure = std::get_if<Error>(&loaded))
            return std::move(*failure);
        MovieSource& source = std::get<MovieSource>(loaded);

        buffer->tags = platform::ColorTags{true, true, true, true};
        scratch.writer.begin(buffer);

        // Documents and drawings are drawn straight at the frame size, stretched across
        // and down by their own renderer: no Lanczos step follows.
        if (source.pdf() != nullptr || source.svg() != nullptr) {
            Error cause;
            std::optional<platform::RgbImage> drawn;
            try {
                drawn =
                    source.pdf() != nullptr
                        ? source.pdf()->renderFirstPage(width, height, options.maxPixels, &cause)
                        : source.svg()->render(width, height, options.maxPixels, &cause);
            } catch (const std::bad_alloc&) {
                return imageError(path, image_error::kNoVectorBuffer);
            }
            if (!drawn) {
                const char* suffix = image_error::kNotDrawn;
                if (source.pdf() != nullptr ? cause.code == platform::kPdfTooLargeCode
                                            : cause.code == platform::kSvgTooLargeCode)
                    suffix = image_error::kNotDecoded;
                if (source.svg() != nullptr && cause.code == platform::kSvgNoBufferCode)
                    suffix = image_error::kNoVectorBuffer;
                return imageError(path, suffix, std::make_shared<const Error>(std::move(cause)));
            }
            const float* table = srgb8ToLinearTable();
            scratch.row.resize(std::size_t(width));
            for (int y = 0; y < height; ++y) {
                const std::uint8_t* p = drawn->row(y);
                for (int x = 0; x < width; ++x, p += 3)
                    scratch.row[std::size_t(x)] =
                        LinearPixel{table[p[0]], table[p[1]], table[p[2]], 1.0f};
                scratch.writer.writeRow(y, scratch.row.data());
            }
            return std::nullopt;
        }

        const ImageInfo& image = *source.raster();
        platform::ImageReader& reader = *source.rasterReader();
        const platform::ColorTransform* transform = scratch.transformFor(image);
        Error decodeFailure;
        bool decoded = true;
        // Reads source row y, or records why it could not be decoded.
        auto readRow = [&](int y) -> const std::uint8_t* {
            const std::uint8_t* row = decoded ? reader.row(y, &decodeFailure) : nullptr;
            decoded = row != nullptr;
            return row;
        };
        LanczosScaler::SourceRow sourceRow;
        if (transform != nullptr) {
            scratch.converted.resize(std::size_t(image.width) * 3);
            sourceRow = [&](int y, SourceRowPixels out) {
                const std::uint8_t* row = readRow(y);
                if (row == nullptr)
                    return false;
                std::uint16_t* rgb = scratch.converted.data();
                transform->convertRow(row, rgb, image.width);
                const float* table = srgb16ToLinearTable();
                for (int x = 0; x < image.width; ++x) {
                    const std::uint16_t* p = rgb + std::size_t(x) * 3;
                    float alpha = 1.0f;
                    if (image.hasAlpha)
                        alpha = image.bytesPerSample == 1 ? alphaAt<std::uint8_t>(image, row, x)
                                                          : alphaAt<std::uint16_t>(image, row, x);
                    out[std::size_t(x)] = LinearPixel{table[p[0]] * alpha, table[p[1]] * alpha,
                                                      table[p[2]] * alpha, alpha};
                }
                return true;
            };
        } else {
            sourceRow = [&](int y, SourceRowPixels out) {
                const std::uint8_t* row = readRow(y);
                if (row == nullptr)
                    return false;
                if (image.bytesPerSample == 1)
                    linearizeRow<std::uint8_t>(image, row, srgb8ToLinearTable(), out);
                else
                    linearizeRow<std::uint16_t>(image, row, srgb16ToLinearTable(), out);
                return true;
            };
        }
        const bool scaled = scratch.scaler.scale(
            image.width, image.height, width, height, sourceRow,
            [&scratch](int y, const LinearPixel* row) { scratch.writer.writeRow(y, row); });
        if (!scaled) {
            return imageError(path, image_error::kNotDecoded,
                              std::make_shared<const Error>(std::move(decodeFailure)));
        }
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return imageError(path, image_error::kNotRendered,
                          std::make_shared<const Error>(platform::kFrameweaverErrorDomain, 1,
                                                        "Not enough memory to render the frame."));
    }
}

}  // namespace fw
