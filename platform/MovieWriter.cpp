#include "platform/MovieWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/EncoderConfiguration.h"
#include "platform/PosixError.h"

namespace fw::platform {
namespace {

using detail::ffmpegError;

constexpr const char* kCannotCreateFile = "The movie file could not be created.";
constexpr const char* kCannotApplySettings =
    "The selected encoder cannot apply these codec, profile, and quality settings in the "
    "movie writer.";
constexpr const char* kCannotAddInput = "The movie writer could not accept its video input.";
constexpr const char* kCannotStart = "Movie encoding could not start.";
constexpr const char* kEncodingFailed = "Movie encoding failed.";
constexpr const char* kCannotAllocateBuffer = "A movie frame buffer could not be allocated.";
constexpr const char* kCannotEncodeFrame = "A movie frame could not be encoded.";
constexpr const char* kCannotFinish = "The movie could not be finished.";

// The furthest a frame is decoded ahead of its presentation, in frames: beyond any B-frame
// pyramid of x264 or x265 (at most 16 B-frames).
constexpr std::int64_t kMaxReorderTicks = 32;

// Rows of plane memory are aligned for the encoders' vector code.
constexpr int kRowAlignment = 64;

Error exportError(const char* text, std::optional<Error> underlying = std::nullopt) {
    return Error(kFrameweaverErrorDomain, 1, text,
                 underlying ? std::make_shared<const Error>(std::move(*underlying)) : nullptr);
}

struct FormatContextDeleter {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};

struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct BufferPoolDeleter {
    void operator()(AVBufferPool* pool) const { av_buffer_pool_uninit(&pool); }
};

// The deleter of the `storage` of buffers this writer hands out. It marks the storage as an
// AVFrame of a given writer, which `append` finds again with std::get_deleter.
struct PooledFrameRelease {
    const void* owner = nullptr;
    void operator()(void* frame) const {
        auto* f = static_cast<AVFrame*>(frame);
        av_frame_free(&f);
    }
};

// One plane's geometry for a frame layout.
class FfmpegMovieWriter final : public MovieWriter {
public:
    FfmpegMovieWriter(std::filesystem::path path, const MovieSettings& settings)
        : path_(std::move(path)), settings_(settings), format_(pixelFormatFor(settings.codec)) {}

    ~FfmpegMovieWriter() override { cancel(); }

    std::optional<Error> start() {
        AVFormatContext* rawFormat = nullptr;
        const char* formatName = settings_.codec == VideoCodec::kProRes422 ? "mov" : "mp4";
        if (const int status =
                avformat_alloc_output_context2(&rawFormat, nullptr, formatName, path_.c_str());
            status < 0) {
            return exportError(kCannotCreateFile, ffmpegError(status));
        }
        container_.reset(rawFormat);

        // Made exclusively first, so an existing file is never truncated; the library then
        // opens the file that is known to be ours.
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            return exportError(kCannotCreateFile, posixError(errno));
        }
        ::close(fd);
        createdFile_ = true;
        if (const int status = avio_open(&container_->pb, path_.c_str(), AVIO_FLAG_WRITE);
            status < 0) {
            return exportError(kCannotCreateFile, ffmpegError(status));
        }

        const bool globalHeader = (container_->oformat->flags & AVFMT_GLOBALHEADER) != 0;
        detail::EncoderOpenResult opened =
            detail::openEncoder(settings_, detail::EncoderStage::kComplete, globalHeader);
        if (!opened.context) {
            return exportError(kCannotApplySettings, ffmpegError(opened.errorCode));
        }
        encoder_ = std::move(opened.context);

        stream_ = avformat_new_stream(container_.get(), nullptr);
        if (stream_ == nullptr) {
            return exportError(kCannotAddInput);
        }
        if (const int status = avcodec_parameters_from_context(stream_->codecpar, encoder_.get());
            status < 0) {
            return exportError(kCannotAddInput, ffmpegError(status));
        }
        stream_->codecpar->codec_tag = detail::movieCodecTag(settings_.codec);
        stream_->time_base = encoder_->time_base;
        stream_->avg_frame_rate = encoder_->framerate;

        if (const int status = avformat_write_header(container_.get(), nullptr); status < 0) {
            return exportError(kCannotStart, ffmpegError(status));
        }

        const auto shapes = planeShapes(format_, settings_.width, settings_.height);
        for (std::size_t i = 0; i < shapes.size(); ++i) {
            strides_[i] = FFALIGN(shapes[i].rowBytes, kRowAlignment);
            const std::size_t size = static_cast<std::size_t>(strides_[i]) * shapes[i].rows +
                                     AV_INPUT_BUFFER_PADDING_SIZE;
            pools_[i].reset(av_buffer_pool_init(size, av_buffer_allocz));
            if (!pools_[i]) {
                return exportError(kCannotStart, ffmpegError(AVERROR(ENOMEM)));
            }
        }
        packet_.reset(av_packet_alloc());
        if (!packet_) {
            return exportError(kCannotStart, ffmpegError(AVERROR(ENOMEM)));
        }
        state_ = State::kWriting;
        return std::nullopt;
    }

    std::shared_ptr<PixelBuffer> makeBuffer(Error& error) override {
        FramePtr frame = makeFrame();
        if (!frame) {
            error = exportError(kCannotAllocateBuffer);
            return nullptr;
        }
        auto buffer = std::make_shared<PixelBuffer>();
        buffer->format = format_;
        buffer->width = settings_.width;
        buffer->height = settings_.height;
        for (int i = 0; i < 3; ++i) {
            buffer->planes[i] = frame->data[i];
            buffer->strides[i] = frame->linesize[i];
        }
        buffer->tags = ColorTags{true, true, true, true};
        buffer->storage = std::shared_ptr<void>(frame.release(), PooledFrameRelease{this});
        return buffer;
    }

    std::optional<Error> append(const PixelBuffer& buffer, std::int64_t frameIndex) override {
        if (state_ != State::kWriting) {
            return exportError(kEncodingFailed);
        }
        if (buffer.format != format_ || buffer.width != settings_.width ||
            buffer.height != settings_.height || frameIndex != framesWritten_) {
            return fail(kCannotEncodeFrame, ffmpegError(AVERROR(EINVAL)));
        }
        FramePtr frame = frameFor(buffer);
        if (!frame) {
            return fail(kCannotEncodeFrame, ffmpegError(AVERROR(ENOMEM)));
        }
        frame->pts = frameIndex;
        frame->pkt_duration = 1;
        frame->pict_type = AV_PICTURE_TYPE_NONE;
        // The colour tags came with the frame (makeFrame sets them on every frame).
        if (const int status = avcodec_send_frame(encoder_.get(), frame.get()); status < 0) {
            return fail(kCannotEncodeFrame, ffmpegError(status));
        }
        if (const int status = writeReadyPackets(); status < 0) {
            return fail(kCannotEncodeFrame, writeError(status));
        }
        ++framesWritten_;
        return std::nullopt;
    }

    std::optional<Error> finish() override {
        if (state_ != State::kWriting) {
            return exportError(kEncodingFailed);
        }
        if (const int status = avcodec_send_frame(encoder_.get(), nullptr); status < 0) {
            return fail(kCannotFinish, ffmpegError(status));
        }
        if (const int status = writeReadyPackets(); status < 0 && status != AVERROR_EOF) {
            return fail(kCannotFinish, writeError(status));
        }
        if (const int status = av_write_trailer(container_.get()); status < 0) {
            return fail(kCannotFinish, writeError(status));
        }
        // Closing flushes the last bytes; a full disk shows here at the latest.
        if (const int status = avio_closep(&container_->pb); status < 0) {
            return fail(kCannotFinish, ffmpegError(status));
        }
        state_ = State::kFinished;
        release();
        return std::nullopt;
    }

    void cancel() override {
        if (state_ == State::kFinished || state_ == State::kCancelled) {
            return;
        }
        state_ = State::kCancelled;
        release();
        if (createdFile_) {
            ::unlink(path_.c_str());
            createdFile_ = false;
        }
    }

    std::int64_t framesWritten() const override { return framesWritten_; }

private:
    enum class State { kOpening, kWriting, kFailed, kFinished, kCancelled };

    Error fail(const char* text, Error underlying) {
        state_ = State::kFailed;
        return exportError(text, std::move(underlying));
    }

    // The file's own error where the library's code hides it (a full disk, say).
    Error writeError(int status) const {
        if (container_ && container_->pb != nullptr && container_->pb->error < 0) {
            return ffmpegError(container_->pb->error);
        }
        return ffmpegError(status);
    }

    FramePtr makeFrame() {
        FramePtr frame(av_frame_alloc());
        if (!frame) {
            return nullptr;
        }
        frame->format = detail::avPixelFormat(format_);
        frame->width = settings_.width;
        frame->height = settings_.height;
        for (int i = 0; i < 3; ++i) {
            // Pools hand out buffers from any thread; a buffer returns to its pool when the
            // renderer and the encoder have both let go of it.
            frame->buf[i] = av_buffer_pool_get(pools_[i].get());
            if (frame->buf[i] == nullptr) {
                return nullptr;
            }
            frame->data[i] = frame->buf[i]->data;
            frame->linesize[i] = strides_[i];
        }
        frame->color_primaries = AVCOL_PRI_BT709;
        frame->color_trc = AVCOL_TRC_BT709;
        frame->colorspace = AVCOL_SPC_BT709;
        frame->color_range = AVCOL_RANGE_MPEG;
        return frame;
    }

    // A new reference to the frame behind `buffer`, or a copy when it is not one of ours.
    FramePtr frameFor(const PixelBuffer& buffer) {
        const auto* release = std::get_deleter<PooledFrameRelease>(buffer.storage);
        if (release != nullptr && release->owner == this) {
            const auto* pooled = static_cast<const AVFrame*>(buffer.storage.get());
            if (pooled->data[0] == buffer.planes[0] && pooled->data[1] == buffer.planes[1] &&
                pooled->data[2] == buffer.planes[2]) {
                return FramePtr(av_frame_clone(pooled));
            }
        }
        FramePtr frame = makeFrame();
        if (!frame) {
            return nullptr;
        }
        const auto shapes = planeShapes(format_, settings_.width, settings_.height);
        for (int i = 0; i < 3; ++i) {
            for (int row = 0; row < shapes[i].rows; ++row) {
                std::memcpy(frame->data[i] + std::ptrdiff_t{row} * frame->linesize[i],
                            buffer.planes[i] + row * buffer.strides[i],
                            static_cast<std::size_t>(shapes[i].rowBytes));
            }
        }
        return frame;
    }

    // Keeps the encoder's decode time of the packet in hand when it is sound, and replaces it
    // when not. libx265 hands out an uninitialised decode time when the movie ends before
    // the encoder has measured its B-frame delay (movies of one or two frames): after other
    // encoders in the process that memory often holds a value far out of range, which the
    // muxer refuses at the finish. Such short movies are not reordered, so the decode time
    // is then the presentation time, kept after the one before. 0, or AVERROR_BUG when the
    // packet cannot be given a decode time that keeps the file valid.
    int checkDecodeTime() {
        const std::int64_t pts = packet_->pts;
        std::int64_t dts = packet_->dts;
        const bool sound = pts != AV_NOPTS_VALUE && dts != AV_NOPTS_VALUE && dts <= pts &&
                           pts - dts <= kMaxReorderTicks &&
                           (!lastDecodeTime_ || dts > *lastDecodeTime_);
        if (!sound) {
            dts = lastDecodeTime_ ? *lastDecodeTime_ + 1 : pts;
            if (pts == AV_NOPTS_VALUE || dts > pts) {
                return AVERROR_BUG;
            }
        }
        packet_->dts = dts;
        lastDecodeTime_ = dts;
        return 0;
    }

    // Moves every packet the encoder has ready into the file. 0 when the encoder wants more
    // input, AVERROR_EOF once it is drained, or a failure.
    int writeReadyPackets() {
        for (;;) {
            int status = avcodec_receive_packet(encoder_.get(), packet_.get());
            if (status == AVERROR(EAGAIN)) {
                return 0;
            }
            if (status < 0) {
                return status;
            }
            // Every frame lasts one tick of 1/fps, the last one too, so the movie lasts
            // exactly frames / fps.
            packet_->duration = 1;
            if (const int status = checkDecodeTime(); status < 0) {
                return status;
            }
            packet_->stream_index = stream_->index;
            av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_->time_base);
            status = av_interleaved_write_frame(container_.get(), packet_.get());
            if (status < 0) {
                return status;
            }
            if (container_->pb->error < 0) {
                return container_->pb->error;
            }
        }
    }

    // Lets go of the encoder and the file (without writing the index).
    void release() {
        encoder_.reset();
        packet_.reset();
        if (container_ && container_->pb != nullptr) {
            avio_closep(&container_->pb);
        }
        container_.reset();
        stream_ = nullptr;
    }

    friend class MovieWriter;

    std::filesystem::path path_;
    MovieSettings settings_;
    PixelFormat format_;
    State state_ = State::kOpening;
    bool createdFile_ = false;
    std::int64_t framesWritten_ = 0;
    std::optional<std::int64_t> lastDecodeTime_;  // of the packet written last
    std::unique_ptr<AVFormatContext, FormatContextDeleter> container_;
    detail::CodecContextPtr encoder_;
    AVStream* stream_ = nullptr;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    std::array<std::unique_ptr<AVBufferPool, BufferPoolDeleter>, 3> pools_;
    std::array<int, 3> strides_{};
};

}  // namespace

std::unique_ptr<MovieWriter> MovieWriter::open(const std::filesystem::path& path,
                                               const MovieSettings& settings, Error& error) {
    auto writer = std::make_unique<FfmpegMovieWriter>(path, settings);
    if (std::optional<Error> failure = writer->start()) {
        error = std::move(*failure);
        writer->cancel();
        return nullptr;
    }
    return writer;
}

}  // namespace fw::platform
