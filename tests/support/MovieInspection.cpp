#include "tests/support/MovieInspection.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>

namespace fw::testing {
namespace {

std::string tagText(unsigned int tag) {
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        text[i] = static_cast<char>((tag >> (8 * i)) & 0xFF);
    }
    return text;
}

std::string orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

double meanOfLuma(const AVFrame* frame) {
    const AVPixFmtDescriptor* descriptor =
        av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    const int depth = descriptor->comp[0].depth;
    double sum = 0;
    for (int y = 0; y < frame->height; ++y) {
        const std::uint8_t* row = frame->data[0] + std::ptrdiff_t{y} * frame->linesize[0];
        for (int x = 0; x < frame->width; ++x) {
            if (depth > 8) {
                std::uint16_t sample;
                std::memcpy(&sample, row + 2 * x, 2);
                sum += sample;
            } else {
                sum += row[x];
            }
        }
    }
    return sum / (double(frame->width) * frame->height) / double((1 << depth) - 1);
}

}  // namespace

MovieInfo inspectMovie(const std::filesystem::path& path, bool decode) {
    MovieInfo info;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
        return info;
    }
    if (avformat_find_stream_info(format, nullptr) < 0 || format->nb_streams != 1) {
        avformat_close_input(&format);
        return info;
    }
    info.opened = true;
    info.formatName = format->iformat->name;
    if (const AVDictionaryEntry* brand = av_dict_get(format->metadata, "major_brand", nullptr, 0)) {
        info.majorBrand = brand->value;
    }
    AVStream* stream = format->streams[0];
    const AVCodecParameters* par = stream->codecpar;
    info.headersAndFirstPacket.assign(reinterpret_cast<const char*>(par->extradata),
                                      static_cast<std::size_t>(par->extradata_size));
    info.codecName = avcodec_get_name(par->codec_id);
    info.codecTag = tagText(par->codec_tag);
    info.profile = par->profile;
    info.pixelFormat = orEmpty(av_get_pix_fmt_name(static_cast<AVPixelFormat>(par->format)));
    info.width = par->width;
    info.height = par->height;
    info.colorPrimaries = orEmpty(av_color_primaries_name(par->color_primaries));
    info.colorTransfer = orEmpty(av_color_transfer_name(par->color_trc));
    info.colorSpace = orEmpty(av_color_space_name(par->color_space));
    info.colorRange = orEmpty(av_color_range_name(par->color_range));
    info.durationSeconds = format->duration > 0 ? format->duration / double(AV_TIME_BASE) : 0;
    info.streamDurationSeconds =
        stream->duration > 0 ? stream->duration * av_q2d(stream->time_base) : 0;
    info.frameRate = av_q2d(stream->avg_frame_rate);

    const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
    AVCodecContext* context = nullptr;
    if (decode && decoder != nullptr) {
        context = avcodec_alloc_context3(decoder);
        avcodec_parameters_to_context(context, par);
        if (avcodec_open2(context, decoder, nullptr) < 0) {
            avcodec_free_context(&context);
        }
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<std::pair<double, double>> decoded;  // (time, mean luma)
    auto receive = [&] {
        while (avcodec_receive_frame(context, frame) == 0) {
            decoded.emplace_back(frame->best_effort_timestamp * av_q2d(stream->time_base),
                                 meanOfLuma(frame));
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        const double time = packet->pts * av_q2d(stream->time_base);
        if (info.presentationTimes.empty()) {
            info.headersAndFirstPacket.append(reinterpret_cast<const char*>(packet->data),
                                              static_cast<std::size_t>(packet->size));
        }
        info.presentationTimes.push_back(time);
        if ((packet->flags & AV_PKT_FLAG_KEY) != 0) {
            info.keyFrameTimes.push_back(time);
        }
        if (context != nullptr && avcodec_send_packet(context, packet) >= 0) {
            receive();
        }
        av_packet_unref(packet);
    }
    if (context != nullptr) {
        avcodec_send_packet(context, nullptr);
        receive();
    }
    std::sort(info.presentationTimes.begin(), info.presentationTimes.end());
    std::sort(info.keyFrameTimes.begin(), info.keyFrameTimes.end());
    std::sort(decoded.begin(), decoded.end());
    for (const auto& [time, luma] : decoded) {
        info.meanLuma.push_back(luma);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    avformat_close_input(&format);
    return info;
}

}  // namespace fw::testing
