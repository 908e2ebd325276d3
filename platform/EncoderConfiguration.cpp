#include "platform/EncoderConfiguration.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <limits>
#include <mutex>
#include <string>

namespace fw::platform::detail {
namespace {

// The largest average bit rate handed to an encoder, in bits per second.
constexpr std::uint64_t kMaximumBitRate = 1'000'000'000;

// The frame rate used before the probe tries the real one.
constexpr int kNeutralFrameRate = 25;

struct EncoderPlan {
    const char* encoder;
    AVPixelFormat pixelFormat;
    const char* profile;  // value of the encoder's own "profile" option
};

EncoderPlan planFor(VideoCodec codec) {
    switch (codec) {
        case VideoCodec::kH264:
            return {"libx264", AV_PIX_FMT_YUV420P, "high"};
        case VideoCodec::kHEVC:
            return {"libx265", AV_PIX_FMT_YUV420P10LE, "main10"};
        case VideoCodec::kProRes422:
            break;
    }
    // prores_ks writes ProRes HQ unless its own profile option says otherwise; "standard"
    // is ProRes 422 ('apcn').
    return {"prores_ks", AV_PIX_FMT_YUV422P10LE, "standard"};
}

// Constant rate factors of the two constant-quality modes; chosen by measurement, see
// docs/encoder-quality.md.
constexpr const char* kX264StandardCrf = "23";
constexpr const char* kX264HighCrf = "18";
constexpr const char* kX265StandardCrf = "23";
constexpr const char* kX265HighCrf = "18";

// The encoder's own options for `settings` up to `stage`, in the order they are applied.
std::vector<std::pair<std::string, std::string>> privateOptions(const MovieSettings& settings,
                                                                EncoderStage stage) {
    std::vector<std::pair<std::string, std::string>> options;
    const EncoderPlan plan = planFor(settings.codec);
    if (stage >= EncoderStage::kProfile) {
        options.emplace_back("profile", plan.profile);
    }
    if (stage < EncoderStage::kComplete || settings.codec == VideoCodec::kProRes422) {
        return options;
    }
    const bool hevc = settings.codec == VideoCodec::kHEVC;
    if (settings.qualityMode == kQualityStandard) {
        options.emplace_back("crf", hevc ? kX265StandardCrf : kX264StandardCrf);
    } else if (settings.qualityMode == kQualityHigh) {
        options.emplace_back("crf", hevc ? kX265HighCrf : kX264HighCrf);
    }
    if (hevc) {
        // x265 reports to the console on its own unless told otherwise.
        options.emplace_back("x265-params", "log-level=error");
    }
    return options;
}

}  // namespace

EncoderOpenResult openEncoder(const MovieSettings& settings, EncoderStage stage,
                              bool globalHeader) {
    quietLibraryLogging();
    EncoderOpenResult result;
    const EncoderPlan plan = planFor(settings.codec);
    const AVCodec* codec = avcodec_find_encoder_by_name(plan.encoder);
    if (codec == nullptr) {
        result.errorCode = AVERROR_ENCODER_NOT_FOUND;
        return result;
    }
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) {
        result.errorCode = AVERROR(ENOMEM);
        return result;
    }
    const int frameRate =
        stage >= EncoderStage::kFrameRate ? settings.frameRate : kNeutralFrameRate;
    context->width = settings.width;
    context->height = settings.height;
    context->pix_fmt = plan.pixelFormat;
    context->sample_aspect_ratio = AVRational{1, 1};
    context->time_base = AVRational{1, frameRate};
    context->framerate = AVRational{frameRate, 1};
    // The encoders' own threads: x264 and x265 frame threads, ProRes slices and frames.
    context->thread_count = 0;
    if (globalHeader) {
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (stage >= EncoderStage::kComplete) {
        context->color_primaries = AVCOL_PRI_BT709;
        context->color_trc = AVCOL_TRC_BT709;
        context->colorspace = AVCOL_SPC_BT709;
        context->color_range = AVCOL_RANGE_MPEG;
        if (settings.codec != VideoCodec::kProRes422) {
            // One key frame at least every three seconds.
            context->gop_size = 3 * settings.frameRate;
            context->keyint_min = 1;
            if (settings.qualityMode == kQualityCustomBitRate) {
                // Far beyond any encoder's reach, but kept from overflowing the fields.
                const auto average = static_cast<std::int64_t>(
                    std::min<std::uint64_t>(settings.averageBitRate, kMaximumBitRate));
                const std::int64_t maximum = average * 3 / 2;
                context->bit_rate = average;
                context->rc_max_rate = maximum;
                // One second at the maximum rate.
                context->rc_buffer_size = static_cast<int>(
                    std::min<std::int64_t>(maximum, std::numeric_limits<int>::max()));
            }
        }
    }
    for (const auto& [name, value] : privateOptions(settings, stage)) {
        const int status = av_opt_set(context->priv_data, name.c_str(), value.c_str(), 0);
        if (status == AVERROR_OPTION_NOT_FOUND) {
            result.errorCode = status;
            result.missingOption = name;
            return result;
        }
        if (status < 0) {
            result.errorCode = status;
            return result;
        }
    }
    if (const int status = avcodec_open2(context.get(), codec, nullptr); status < 0) {
        result.errorCode = status;
        return result;
    }
    result.context = std::move(context);
    return result;
}

AVPixelFormat avPixelFormat(PixelFormat format) {
    switch (format) {
        case PixelFormat::k420v:
            return AV_PIX_FMT_YUV420P;
        case PixelFormat::kx420:
            return AV_PIX_FMT_YUV420P10LE;
        case PixelFormat::kx422:
            break;
    }
    return AV_PIX_FMT_YUV422P10LE;
}

unsigned int movieCodecTag(VideoCodec codec) {
    switch (codec) {
        case VideoCodec::kH264:
            return MKTAG('a', 'v', 'c', '1');
        case VideoCodec::kHEVC:
            return MKTAG('h', 'v', 'c', '1');
        case VideoCodec::kProRes422:
            break;
    }
    return MKTAG('a', 'p', 'c', 'n');
}

Error ffmpegError(int errorCode) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(errorCode, text, sizeof text);
    return Error("FFmpegErrorDomain", errorCode, text);
}

void quietLibraryLogging() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

}  // namespace fw::platform::detail

namespace fw::platform {

const char* codecTypeString(VideoCodec codec) {
    switch (codec) {
        case VideoCodec::kH264:
            return "avc1";
        case VideoCodec::kHEVC:
            return "hvc1";
        case VideoCodec::kProRes422:
            break;
    }
    return "apcn";
}

std::optional<VideoCodec> videoCodecForType(std::string_view type) {
    for (VideoCodec codec : {VideoCodec::kH264, VideoCodec::kHEVC, VideoCodec::kProRes422}) {
        if (type == codecTypeString(codec))
            return codec;
    }
    return std::nullopt;
}

PixelFormat pixelFormatFor(VideoCodec codec) {
    switch (codec) {
        case VideoCodec::kH264:
            return PixelFormat::k420v;
        case VideoCodec::kHEVC:
            return PixelFormat::kx420;
        case VideoCodec::kProRes422:
            break;
    }
    return PixelFormat::kx422;
}

const char* movieFileName(VideoCodec codec) {
    return codec == VideoCodec::kProRes422 ? "movie.mov" : "movie.mp4";
}

std::optional<std::string> frameSizeProblem(VideoCodec codec, int width, int height) {
    if (codec == VideoCodec::kProRes422 || (width % 2 == 0 && height % 2 == 0)) {
        return std::nullopt;
    }
    return "H.264 and HEVC movies need an even width and height. Choose even movie "
           "dimensions, or choose ProRes 422.";
}

EncoderOptions encoderOptionsFor(const MovieSettings& settings) {
    using detail::EncoderStage;
    const detail::EncoderPlan plan = detail::planFor(settings.codec);
    EncoderOptions result;
    result.encoder = plan.encoder;
    result.pixelFormat = av_get_pix_fmt_name(plan.pixelFormat);
    for (auto& option : detail::privateOptions(settings, EncoderStage::kComplete)) {
        result.options.push_back(std::move(option));
    }
    if (settings.codec != VideoCodec::kProRes422) {
        result.options.emplace_back("g", std::to_string(3 * settings.frameRate));
        result.options.emplace_back("keyint_min", "1");
        if (settings.qualityMode == kQualityCustomBitRate) {
            const std::string maximum = std::to_string(settings.averageBitRate * 3 / 2);
            result.options.emplace_back("b:v", std::to_string(settings.averageBitRate));
            result.options.emplace_back("maxrate", maximum);
            result.options.emplace_back("bufsize", maximum);
        }
    }
    result.options.emplace_back("color_primaries", "bt709");
    result.options.emplace_back("color_trc", "bt709");
    result.options.emplace_back("colorspace", "bt709");
    result.options.emplace_back("color_range", "tv");
    result.options.emplace_back("tag:v", codecTypeString(settings.codec));
    return result;
}

}  // namespace fw::platform

#if defined(__SANITIZE_ADDRESS__)
// Leaks inside the encoder libraries, which the leak checker is told about so that it reports
// our own leaks only: x265 3.5 keeps about a kilobyte per opened encoder (x265_encoder_open),
// x264 a few strings of an encoder that refused to open. Both are built without frame
// pointers, so only their own frames show and the library name is what matches. glibc keeps
// the last dlerror() text of a thread in a buffer it frees only at that thread's next dlerror
// call, so a plugin loader's thread that ends after a failed lookup leaves it behind.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\nleak:libx264.so\nleak:_dlerror_run\n";
}
#endif
