#include <gtest/gtest.h>

#include "app/export/ExportModel.h"

namespace fw {
namespace {

TEST(ExportEnumerations, RawValuesAreExactAndInDeclarationOrder) {
    EXPECT_EQ(rawValue(kAllExportCodecs[0]), "h264");
    EXPECT_EQ(rawValue(kAllExportCodecs[1]), "hevc");
    EXPECT_EQ(rawValue(kAllExportCodecs[2]), "prores422");
    EXPECT_EQ(rawValue(kAllExportQualities[0]), "standard");
    EXPECT_EQ(rawValue(kAllExportQualities[1]), "high");
    EXPECT_EQ(rawValue(kAllExportQualities[2]), "custom");
    EXPECT_EQ(rawValue(ExportJobState::running), "running");
    EXPECT_EQ(rawValue(ExportJobState::completed), "completed");
    EXPECT_EQ(rawValue(ExportJobState::failed), "failed");
    EXPECT_EQ(rawValue(ExportJobState::cancelled), "cancelled");

    for (ExportCodec codec : kAllExportCodecs) {
        EXPECT_EQ(exportCodecFromRawValue(rawValue(codec)), codec);
    }
    for (ExportQuality quality : kAllExportQualities) {
        EXPECT_EQ(exportQualityFromRawValue(rawValue(quality)), quality);
    }
    EXPECT_EQ(exportJobStateFromRawValue("cancelled"), ExportJobState::cancelled);
}

TEST(ExportEnumerations, TextsThatAreNotExactRawValuesNameNoCase) {
    for (const char* text : {"H264", "h264 ", " hevc", "prores", "prores 422", "", "HEVC"}) {
        EXPECT_FALSE(exportCodecFromRawValue(text).has_value()) << text;
    }
    for (const char* text : {"Custom", "high ", "std", ""}) {
        EXPECT_FALSE(exportQualityFromRawValue(text).has_value()) << text;
    }
    EXPECT_FALSE(exportJobStateFromRawValue("Running").has_value());
}

TEST(ExportEnumerations, OnlyRunningIsUnfinished) {
    EXPECT_FALSE(isFinished(ExportJobState::running));
    EXPECT_TRUE(isFinished(ExportJobState::completed));
    EXPECT_TRUE(isFinished(ExportJobState::failed));
    EXPECT_TRUE(isFinished(ExportJobState::cancelled));
}

}  // namespace
}  // namespace fw
