// How `MovieSettings` become an FFmpeg encoder: the encoder, its pixel format and every option,
// shared by the movie writer and the encoder probe. Internal to platform/; includes FFmpeg.
//
// Thread-safety: plain functions on caller-owned objects.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixfmt.h>
}

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/MovieWriter.h"

namespace fw::platform::detail {

// The configuration is applied in stages, so that the probe can tell which of them an
// encoder refuses.
enum class EncoderStage {
    kFormat,     // frame size and pixel format, at a neutral frame rate
    kProfile,    // + the codec profile
    kFrameRate,  // + the real frame rate
    kComplete,   // + key-frame interval, rate control, colour tags, threads
};

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct EncoderOpenResult {
    CodecContextPtr context;    // open encoder, or null on failure
    int errorCode = 0;          // the library's error code on failure
    std::string missingOption;  // set when the encoder has no option of this name
};

// Makes an encoder for `settings` configured up to `stage` and opens it. `globalHeader`
// asks for stream headers out of band, as MPEG-4 and QuickTime files want them.
EncoderOpenResult openEncoder(const MovieSettings& settings, EncoderStage stage, bool globalHeader);

AVPixelFormat avPixelFormat(PixelFormat format);

// The codec tag of the movie's samples: 'avc1', 'hvc1' or 'apcn'.
unsigned int movieCodecTag(VideoCodec codec);

// An error for the library's error code, in the domain "FFmpegErrorDomain".
Error ffmpegError(int errorCode);

// Quiets the libraries' own console chatter (once per process).
void quietLibraryLogging();

}  // namespace fw::platform::detail
