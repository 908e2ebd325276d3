#include <gtest/gtest.h>

extern "C" {
#include <libavutil/error.h>
}

#include <string>

#include "platform/EncoderProbe.h"
#include "tests/support/TestDirectory.h"

namespace fw::platform {
namespace {

MovieSettings settingsFor(VideoCodec codec, int width, int height, int fps = 30,
                          int quality = kQualityHigh) {
    MovieSettings settings;
    settings.codec = codec;
    settings.width = width;
    settings.height = height;
    settings.frameRate = fps;
    settings.qualityMode = quality;
    return settings;
}

TEST(EncoderProbe, AcceptsEveryCodecAndQualityAtTheLimits) {
    for (const VideoCodec codec : {VideoCodec::kH264, VideoCodec::kHEVC, VideoCodec::kProRes422}) {
        for (const int quality : {kQualityStandard, kQualityHigh, kQualityCustomBitRate}) {
            for (const auto& [width, height, fps] :
                 {std::tuple{3840, 2160, 30}, std::tuple{16, 16, 1}, std::tuple{1080, 720, 7}}) {
                const auto failure = probeEncoder(settingsFor(codec, width, height, fps, quality));
                EXPECT_EQ(failure, std::nullopt)
                    << codecTypeString(codec) << " quality " << quality << " " << width << "x"
                    << height << "@" << fps << ": " << failure->description;
            }
        }
    }
}

TEST(EncoderProbe, AcceptsAnyQualityModeForProRes) {
    EXPECT_EQ(probeEncoder(settingsFor(VideoCodec::kProRes422, 640, 480, 30, 3)), std::nullopt);
}

TEST(EncoderProbe, RefusesOddSizesForFourTwoZeroCodecs) {
    const char* sentence =
        "H.264 and HEVC movies need an even width and height. Choose even movie dimensions, "
        "or choose ProRes 422.";
    for (const VideoCodec codec : {VideoCodec::kH264, VideoCodec::kHEVC}) {
        for (const auto& [width, height] :
             {std::pair{1919, 1080}, std::pair{1920, 1079}, std::pair{1, 1}}) {
            EXPECT_EQ(frameSizeProblem(codec, width, height), sentence);
            const auto failure = probeEncoder(settingsFor(codec, width, height));
            ASSERT_TRUE(failure);
            EXPECT_EQ(failure->domain, kFrameweaverErrorDomain);
            EXPECT_EQ(failure->code, 1);
            EXPECT_EQ(failure->description, sentence);
        }
    }
    EXPECT_EQ(frameSizeProblem(VideoCodec::kProRes422, 1919, 1079), std::nullopt);
    EXPECT_EQ(probeEncoder(settingsFor(VideoCodec::kProRes422, 1919, 1079)), std::nullopt);
}

TEST(EncoderProbe, NamesTheRefusedSetting) {
    struct Case {
        MovieSettings settings;
        std::string text;
    };
    const Case cases[] = {
        // No encoder takes a frame of this size.
        {settingsFor(VideoCodec::kH264, 40000, 40000),
         "No avc1 encoder accepts this frame size and pixel format (encoder error -22)."},
        {settingsFor(VideoCodec::kHEVC, 2, 2),
         "No hvc1 encoder accepts this frame size and pixel format (encoder error -22)."},
        {settingsFor(VideoCodec::kProRes422, 0, 480),
         "No apcn encoder accepts this frame size and pixel format (encoder error -22)."},
        {settingsFor(VideoCodec::kH264, 640, 480, 0),
         "The selected encoder does not support 0 fps (encoder error -22)."},
    };
    MovieSettings starved = settingsFor(VideoCodec::kH264, 640, 480, 30, kQualityCustomBitRate);
    starved.averageBitRate = 999;  // under one kilobit per second
    const auto failure = probeEncoder(starved);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->description,
              "The selected encoder rejected the quality settings (encoder error " +
                  std::to_string(AVERROR_EXTERNAL) + ").");
    for (const Case& c : cases) {
        const auto failure = probeEncoder(c.settings);
        ASSERT_TRUE(failure) << c.text;
        EXPECT_EQ(failure->description, c.text);
    }
}

TEST(EncoderProbe, WritesNoFile) {
    testing::TestDirectory directory;
    const auto before = std::filesystem::current_path();
    std::filesystem::current_path(directory.path());
    EXPECT_EQ(probeEncoder(settingsFor(VideoCodec::kHEVC, 640, 480)), std::nullopt);
    EXPECT_NE(probeEncoder(settingsFor(VideoCodec::kH264, 639, 480)), std::nullopt);
    std::filesystem::current_path(before);
    EXPECT_TRUE(std::filesystem::is_empty(directory.path()));
}

}  // namespace
}  // namespace fw::platform
