// ExportMovie: runs one export with the application's own engine, for timing from the
// command line (benchmarks/export_vs_ffmpeg.sh).
//
//   ExportMovie [--codec h264|hevc|prores422] [--quality standard|high|custom]
//               [--bitrate BITS_PER_SECOND] [--width W] [--height H] [--fps N]
//               --list FILE_OF_PATHS --out MOVIE
//   ExportMovie --print-ffmpeg-options [--codec ...] [--quality ...] [--bitrate ...] [--fps N]
//
// The second form prints the encoder and its options as `ffmpeg` arguments, so a
// comparison run can encode with exactly the settings the engine uses.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "app/export/ImagesToMovie.h"
#include "platform/MovieWriter.h"

namespace {

struct Options {
    std::string codec = "h264";
    std::string quality = "high";
    unsigned long long bitRate = 20'000'000;
    int width = 1920;
    int height = 1080;
    int fps = 30;
    std::string list;
    std::string out;
    bool printFfmpegOptions = false;
};

int usage() {
    std::fputs(
        "usage: ExportMovie [--codec h264|hevc|prores422] [--quality standard|high|custom]\n"
        "                   [--bitrate N] [--width W] [--height H] [--fps N]\n"
        "                   --list FILE --out MOVIE\n"
        "       ExportMovie --print-ffmpeg-options [--codec ...] [--quality ...] [--fps N]\n",
        stderr);
    return 2;
}

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--print-ffmpeg-options") {
            options.printFfmpegOptions = true;
            continue;
        }
        if (i + 1 >= argc)
            return std::nullopt;
        const std::string value = argv[++i];
        if (arg == "--codec")
            options.codec = value;
        else if (arg == "--quality")
            options.quality = value;
        else if (arg == "--bitrate")
            options.bitRate = std::stoull(value);
        else if (arg == "--width")
            options.width = std::stoi(value);
        else if (arg == "--height")
            options.height = std::stoi(value);
        else if (arg == "--fps")
            options.fps = std::stoi(value);
        else if (arg == "--list")
            options.list = value;
        else if (arg == "--out")
            options.out = value;
        else
            return std::nullopt;
    }
    return options;
}

std::optional<fw::platform::VideoCodec> videoCodec(const std::string& name) {
    if (name == "h264")
        return fw::platform::VideoCodec::kH264;
    if (name == "hevc")
        return fw::platform::VideoCodec::kHEVC;
    if (name == "prores422")
        return fw::platform::VideoCodec::kProRes422;
    return std::nullopt;
}

int qualityMode(const std::string& name) {
    if (name == "standard")
        return fw::platform::kQualityStandard;
    if (name == "custom")
        return fw::platform::kQualityCustomBitRate;
    return fw::platform::kQualityHigh;
}

int printFfmpegOptions(const Options& options, fw::platform::VideoCodec codec) {
    fw::platform::MovieSettings settings;
    settings.codec = codec;
    settings.width = options.width;
    settings.height = options.height;
    settings.frameRate = options.fps;
    settings.qualityMode = qualityMode(options.quality);
    settings.averageBitRate = options.bitRate;
    const auto encoder = fw::platform::encoderOptionsFor(settings);
    std::printf("-c:v %s -pix_fmt %s", encoder.encoder.c_str(), encoder.pixelFormat.c_str());
    for (const auto& [name, value] : encoder.options) {
        std::printf(" -%s %s", name.c_str(), value.c_str());
    }
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parse(argc, argv);
    if (!options)
        return usage();
    const auto codec = videoCodec(options->codec);
    if (!codec)
        return usage();
    if (options->printFfmpegOptions)
        return printFfmpegOptions(*options, *codec);
    if (options->list.empty() || options->out.empty())
        return usage();

    QCoreApplication application(argc, argv);
    QStringList paths;
    std::ifstream list(options->list);
    for (std::string line; std::getline(list, line);) {
        if (!line.empty())
            paths << QString::fromStdString(line);
    }

    fw::ImagesToMovie engine;
    engine.setImagePaths(paths);
    engine.setFrameSize(QSizeF(options->width, options->height));
    engine.setFrameRate(static_cast<qulonglong>(options->fps));
    engine.setCodec(QString::fromLatin1(fw::platform::codecTypeString(*codec)));
    engine.setQualityMode(qualityMode(options->quality));
    engine.setAverageBitRate(options->bitRate);
    engine.setAllowOverwrite(true);

    int status = 0;
    engine.createMovieAtPath(
        QString::fromStdString(options->out), [&](std::optional<fw::platform::Error> error) {
            if (error) {
                std::fprintf(stderr, "ExportMovie: %s\n", error->description.c_str());
                for (auto cause = error->underlying; cause; cause = cause->underlying) {
                    std::fprintf(stderr, "  because: %s\n", cause->description.c_str());
                }
                status = 1;
            }
            QCoreApplication::quit();
        });
    application.exec();
    return status;
}
