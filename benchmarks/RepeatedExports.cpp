// RepeatedExports: writes ProRes 422, H.264 and then HEVC movies at the smallest frame sizes
// again and again in one process, as a user who exports several movies in one session does,
// and counts the movies that could not be written. Intermittent encoder faults show only
// over many rounds and in optimized builds, so this runs locally, not in the test suite.
//
//   RepeatedExports [ROUNDS] [FOLDER]
//
// Prints one line per failure with the library's error underneath, and a summary; the exit
// status is 1 when any movie failed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/EncoderProbe.h"
#include "platform/MovieWriter.h"

namespace {

namespace fs = std::filesystem;
using fw::platform::Error;
using fw::platform::MovieSettings;
using fw::platform::MovieWriter;
using fw::platform::VideoCodec;

// Flat mid-grey frames of a level that changes per frame.
void fill(fw::platform::PixelBuffer& buffer, int level) {
    const auto shapes = fw::platform::planeShapes(buffer.format, buffer.width, buffer.height);
    const bool tenBit = fw::platform::bytesPerSample(buffer.format) == 2;
    for (int plane = 0; plane < 3; ++plane) {
        const int value = plane == 0 ? level : 128;
        for (int row = 0; row < shapes[plane].rows; ++row) {
            std::uint8_t* line = buffer.planes[plane] + row * buffer.strides[plane];
            if (!tenBit) {
                std::memset(line, value, static_cast<std::size_t>(shapes[plane].rowBytes));
                continue;
            }
            for (int x = 0; x < shapes[plane].rowBytes / 2; ++x) {
                const auto sample = static_cast<std::uint16_t>(value * 4);
                std::memcpy(line + 2 * x, &sample, 2);
            }
        }
    }
}

std::string describe(const Error& error) {
    std::string text = error.description;
    for (auto under = error.underlying; under; under = under->underlying) {
        text += " (" + under->domain + " " + std::to_string(under->code) + ": " +
                under->description + ")";
    }
    return text;
}

std::optional<Error> writeMovie(const fs::path& path, const MovieSettings& settings, int frames) {
    // As the export engine does: the settings are probed first with an encoder of their own.
    if (auto refused = fw::platform::probeEncoder(settings)) {
        return refused;
    }
    Error error;
    auto writer = MovieWriter::open(path, settings, error);
    if (!writer) {
        return error;
    }
    for (int i = 0; i < frames; ++i) {
        auto buffer = writer->makeBuffer(error);
        if (!buffer) {
            return error;
        }
        fill(*buffer, 32 + 16 * (i % 12));
        if (auto failure = writer->append(*buffer, i)) {
            return failure;
        }
    }
    return writer->finish();
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 60;
    const fs::path folder =
        argc > 2 ? fs::path(argv[2])
                 : fs::temp_directory_path() / ("repeated-exports-" + std::to_string(::getpid()));
    fs::create_directories(folder);

    struct Export {
        VideoCodec codec;
        int width, height, quality, frames;
        const char* name;
    };
    const Export exports[] = {
        {VideoCodec::kProRes422, 16, 16, 1, 1, "prores-16x16.mov"},
        {VideoCodec::kH264, 16, 16, 2, 2, "h264-16x16.mp4"},
        {VideoCodec::kHEVC, 16, 16, 0, 1, "hevc-16x16.mp4"},
        {VideoCodec::kHEVC, 32, 16, 2, 2, "hevc-32x16.mp4"},
        {VideoCodec::kHEVC, 64, 64, 1, 3, "hevc-64x64.mp4"},
    };
    int failures = 0;
    int written = 0;
    for (int round = 0; round < rounds; ++round) {
        for (const Export& made : exports) {
            MovieSettings settings;
            settings.codec = made.codec;
            settings.width = made.width;
            settings.height = made.height;
            settings.frameRate = 24;
            settings.qualityMode = made.quality;
            settings.averageBitRate = 8'000'000;
            const fs::path path = folder / made.name;
            fs::remove(path);
            if (auto error = writeMovie(path, settings, made.frames)) {
                ++failures;
                std::printf("round %d, %s: %s\n", round, made.name, describe(*error).c_str());
            } else {
                ++written;
            }
        }
    }
    fs::remove_all(folder);
    std::printf("%d movies written, %d failed\n", written, failures);
    return failures == 0 ? 0 : 1;
}
