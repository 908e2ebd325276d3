// Reads a movie file back with FFmpeg's own demuxer and decoder, for checks in tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fw::testing {

struct MovieInfo {
    bool opened = false;
    std::string formatName;  // demuxer names, e.g. "mov,mp4,m4a,3gp,3g2,mj2"
    std::string majorBrand;  // "isom", "qt  ", ...
    std::string codecName;   // "h264", "hevc", "prores"
    std::string codecTag;    // "avc1", "hvc1", "apcn"
    int profile = -1;
    std::string pixelFormat;  // "yuv420p", ...
    int width = 0;
    int height = 0;
    std::string colorPrimaries;  // "bt709"
    std::string colorTransfer;
    std::string colorSpace;
    std::string colorRange;            // "tv"
    double durationSeconds = 0;        // the container's
    double streamDurationSeconds = 0;  // the video track's
    double frameRate = 0;              // average frame rate
    // Presentation times of the frames, in seconds, in presentation order.
    std::vector<double> presentationTimes;
    // Presentation times of key frames, in seconds, in presentation order.
    std::vector<double> keyFrameTimes;
    // Mean Y' of each decoded frame, in presentation order, as a fraction of the code range
    // (0 = code 0, 1 = the largest code).
    std::vector<double> meanLuma;
    // The stream's out-of-band headers and the bytes of its first packet; one of them
    // carries the x264/x265 settings text.
    std::string headersAndFirstPacket;
};

MovieInfo inspectMovie(const std::filesystem::path& path, bool decode = true);

}  // namespace fw::testing
