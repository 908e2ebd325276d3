// MovieWriter: writes one movie file, frame by frame, through a video encoder.
//
// A writer is opened for a file path and a set of `MovieSettings`: H.264 (High, 8-bit 4:2:0)
// or HEVC (Main 10, 10-bit 4:2:0, sample tag 'hvc1') in an MPEG-4 file, or ProRes 422
// ('apcn', 10-bit 4:2:2) in a QuickTime file, tagged as Rec. 709 video (primaries, transfer,
// matrix, limited range). Frame i is shown from i / frameRate seconds and the movie lasts
// frameCount / frameRate seconds.
//
// Buffers come from the writer's own pool (`makeBuffer`), so a renderer writes straight into
// the memory the encoder reads; a buffer is returned to the pool when its last reference goes.
//
// Thread-safety: `makeBuffer` may be called from any thread, also while frames are appended.
// `append`, `finish` and `cancel` are called from one thread at a time (the export's own
// thread), in order. The encoder runs its own threads behind `append`.
//
// Errors are `Error` values in `kFrameweaverErrorDomain`, code 1, with the texts the export
// engine shows; the library's own failure rides along as the underlying error.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/PixelBuffer.h"

namespace fw::platform {

enum class VideoCodec {
    kH264,
    kHEVC,
    kProRes422,
};

// The four-character code of a codec's movie samples: "avc1", "hvc1" or "apcn".
const char* codecTypeString(VideoCodec codec);
// The codec whose four-character code `type` is; none for any other text.
std::optional<VideoCodec> videoCodecForType(std::string_view type);
// The frame layout the codec's encoder takes: '420v', 'x420' or 'x422'.
PixelFormat pixelFormatFor(VideoCodec codec);
// The name of the movie file inside temporary space: "movie.mp4", or "movie.mov" for ProRes.
const char* movieFileName(VideoCodec codec);

// Quality modes of `MovieSettings::qualityMode`.
inline constexpr int kQualityStandard = 0;
inline constexpr int kQualityHigh = 1;
inline constexpr int kQualityCustomBitRate = 2;

struct MovieSettings {
    VideoCodec codec = VideoCodec::kHEVC;
    int width = 1080;    // pixels, 1-3840; even for H.264 and HEVC
    int height = 720;    // pixels, 1-2160; even for H.264 and HEVC
    int frameRate = 30;  // frames per second, 1-30
    // 0 standard, 1 high (constant quality), 2 average bit rate. ProRes 422 has no rate
    // control and ignores it.
    int qualityMode = kQualityHigh;
    // Bits per second, used only with quality mode 2; the encoder's buffer may run up to
    // 3/2 of it.
    std::uint64_t averageBitRate = 20'000'000;
};

// The sentence that refuses a frame size the codec cannot encode, or nothing when the size
// is fine for it. H.264 and HEVC here sample colour at half the resolution in both
// directions and need an even width and height; ProRes 422 takes any size.
std::optional<std::string> frameSizeProblem(VideoCodec codec, int width, int height);

// The encoder name and the encoder options the writer uses for these settings, as the
// `ffmpeg` command line spells them (e.g. {"crf", "20"}); for comparisons and notes.
struct EncoderOptions {
    std::string encoder;      // "libx264", "libx265" or "prores_ks"
    std::string pixelFormat;  // "yuv420p", "yuv420p10le" or "yuv422p10le"
    std::vector<std::pair<std::string, std::string>> options;
};
EncoderOptions encoderOptionsFor(const MovieSettings& settings);

class MovieWriter {
public:
    // Creates the file at `path` (which must not exist yet) and writes the movie's header.
    // Returns null with `error` set on failure; the file is then removed again. Failures:
    // "The movie file could not be created." (the file could not be made; the system's
    // error underneath), "The selected encoder cannot apply these codec, profile, and
    // quality settings in the movie writer.", "The movie writer could not accept its
    // video input." and "Movie encoding could not start." (the library's error underneath).
    static std::unique_ptr<MovieWriter> open(const std::filesystem::path& path,
                                             const MovieSettings& settings, Error& error);

    // Cancels an unfinished movie (as `cancel`).
    virtual ~MovieWriter() = default;
    MovieWriter(const MovieWriter&) = delete;
    MovieWriter& operator=(const MovieWriter&) = delete;

    // A buffer of the writer's frame size and `pixelFormatFor(codec)`, tagged Rec. 709,
    // from the pool. Null with `error` set ("A movie frame buffer could not be allocated.")
    // when memory runs out. Any thread.
    virtual std::shared_ptr<PixelBuffer> makeBuffer(Error& error) = 0;

    // Encodes `buffer` as the frame with index `frameIndex`, shown from frameIndex /
    // frameRate seconds. Frames must come with indices 0, 1, 2, ... in order. A buffer not
    // from `makeBuffer` is accepted when its format and size match, at the price of a copy.
    // After the call the writer no longer needs the buffer. Failures: "A movie frame could
    // not be encoded." (encoder or file error underneath); "Movie encoding failed." once
    // the writer has failed, been finished or cancelled. Once a call fails, the writer
    // stays failed and the movie can only be cancelled.
    virtual std::optional<Error> append(const PixelBuffer& buffer, std::int64_t frameIndex) = 0;

    // Drains the encoder, writes the movie's index so that it lasts (frames appended) /
    // frameRate seconds, and closes the file. Failure: "The movie could not be finished."
    // (the library's or system's error underneath), "Movie encoding failed." when the
    // writer had failed before. After a failure, `cancel` (or destroying the writer) removes
    // the incomplete file.
    virtual std::optional<Error> finish() = 0;

    // Abandons the movie: stops the encoder without writing the index, closes and removes
    // the file. Safe to call at any time, also after a failure; does nothing after `finish`
    // succeeded.
    virtual void cancel() = 0;

    // Frames appended so far.
    virtual std::int64_t framesWritten() const = 0;

protected:
    MovieWriter() = default;
};

}  // namespace fw::platform
