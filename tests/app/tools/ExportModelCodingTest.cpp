#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "MCP/JSON/DecodingError.h"
#include "MCP/JSON/Hasher.h"
#include "MCP/JSON/Value.h"
#include "app/tools/ExportModelCoding.h"

namespace fw {
namespace {

using mcp::DecodingError;
using mcp::Value;

std::vector<std::string> keysOf(const Value& value) {
    std::vector<std::string> keys;
    for (const auto& [key, member] : *value.objectValue())
        keys.push_back(key);
    return keys;
}

Value settingsObject() {
    return Value::object({{"width", 1920},
                          {"height", 1080},
                          {"frameRate", 30},
                          {"codec", "h264"},
                          {"quality", "standard"}});
}

TEST(ExportEnumerations, HashByRawValue) {
    mcp::Hasher hasher;
    hasher.combineText("hevc");
    EXPECT_EQ(ExportRawValueHash{}(ExportCodec::hevc), hasher.finish());
    EXPECT_NE(ExportRawValueHash{}(ExportCodec::hevc), ExportRawValueHash{}(ExportCodec::h264));
}

TEST(ExportEnumerations, DecodeFailuresHaveTheirKinds) {
    EXPECT_EQ(mcp::decodeValue<ExportCodec>(Value("prores422")), ExportCodec::prores422);
    try {
        mcp::decodeValue<ExportCodec>(Value("av1"));
        FAIL();
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
    }
    try {
        mcp::decodeValue<ExportQuality>(Value(2));
        FAIL();
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), DecodingError::Kind::typeMismatch);
    }
}

TEST(ExportSettingsCoding, WritesFiveKeysWithoutABitRateAndSixWithOne) {
    ExportSettings settings{1920, 1080, 30, ExportCodec::h264, ExportQuality::standard, {}};
    Value encoded = mcp::encodeValue(settings);
    EXPECT_EQ(encoded, settingsObject());
    EXPECT_EQ(keysOf(encoded).size(), 5u);

    settings.quality = ExportQuality::custom;
    settings.customBitrateMbps = 12.5;
    encoded = mcp::encodeValue(settings);
    EXPECT_EQ(keysOf(encoded).size(), 6u);
    EXPECT_EQ(encoded.find("customBitrateMbps")->doubleValue(), 12.5);
    EXPECT_EQ(*encoded.find("quality")->stringValue(), "custom");
    EXPECT_EQ(encoded.find("width")->intValue(), 1920);
}

TEST(ExportSettingsCoding, DecodesWithAnAbsentOrNullBitRateAndIgnoresUnknownKeys) {
    Value object = settingsObject();
    auto decoded = mcp::decodeValue<ExportSettings>(object);
    EXPECT_EQ(decoded.width, 1920);
    EXPECT_EQ(decoded.height, 1080);
    EXPECT_EQ(decoded.frameRate, 30);
    EXPECT_EQ(decoded.codec, ExportCodec::h264);
    EXPECT_EQ(decoded.quality, ExportQuality::standard);
    EXPECT_FALSE(decoded.customBitrateMbps.has_value());

    object.objectValue()->insertOrAssign("customBitrateMbps", Value());
    object.objectValue()->insertOrAssign("colour", "teal");
    object.objectValue()->insertOrAssign("width", -4);  // values are not validated here
    decoded = mcp::decodeValue<ExportSettings>(object);
    EXPECT_FALSE(decoded.customBitrateMbps.has_value());
    EXPECT_EQ(decoded.width, -4);

    object.objectValue()->insertOrAssign("customBitrateMbps", 8);
    EXPECT_EQ(mcp::decodeValue<ExportSettings>(object).customBitrateMbps, 8.0);
}

TEST(ExportSettingsCoding, DecodingFailsOnAMissingKeyOrWrongType) {
    struct Case {
        const char* key;
        Value replacement;  // null: remove the key
        DecodingError::Kind kind;
    };
    const std::vector<Case> cases = {
        {"frameRate", Value(), DecodingError::Kind::keyNotFound},
        {"codec", Value(), DecodingError::Kind::keyNotFound},
        {"width", Value("wide"), DecodingError::Kind::typeMismatch},
        {"height", Value(10.5), DecodingError::Kind::dataCorrupted},
        {"codec", Value("vp9"), DecodingError::Kind::dataCorrupted},
        {"quality", Value(true), DecodingError::Kind::typeMismatch},
    };
    for (const Case& c : cases) {
        Value object = settingsObject();
        if (c.replacement.isNull()) {
            object.objectValue()->erase(c.key);
        } else {
            object.objectValue()->insertOrAssign(c.key, c.replacement);
        }
        try {
            mcp::decodeValue<ExportSettings>(object);
            ADD_FAILURE() << c.key << " decoded";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), c.kind) << c.key;
            ASSERT_FALSE(error.codingPath().empty());
            EXPECT_EQ(error.codingPath().back().stringValue, c.key);
        }
    }
}

ExportJob sampleJob(ExportJobState state, std::optional<std::string> error) {
    ExportJob job;
    job.id = QUuid::fromString(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
    job.state = state;
    job.progress = 0.25;
    job.completedFrames = 3;
    job.totalFrames = 12;
    job.settings = ExportSettings{1280, 720, 24, ExportCodec::prores422, ExportQuality::high, {}};
    job.outputURL = QUrl::fromLocalFile(QStringLiteral("/Movies/My Movie.mov"));
    job.error = std::move(error);
    return job;
}

TEST(ExportJobCoding, WritesEveryFieldAndTheErrorOnlyWhenPresent) {
    const Value running = mcp::encodeValue(sampleJob(ExportJobState::running, std::nullopt));
    EXPECT_EQ(keysOf(running).size(), 7u);
    EXPECT_EQ(running.find("error"), nullptr);
    EXPECT_EQ(*running.find("id")->stringValue(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_EQ(*running.find("state")->stringValue(), "running");
    EXPECT_EQ(running.find("progress")->doubleValue(), 0.25);
    EXPECT_EQ(running.find("completedFrames")->intValue(), 3);
    EXPECT_EQ(running.find("totalFrames")->intValue(), 12);
    EXPECT_EQ(*running.find("outputURL")->stringValue(), "file:///Movies/My%20Movie.mov");
    EXPECT_EQ(*running.find("settings")->find("codec")->stringValue(), "prores422");

    const Value completed = mcp::encodeValue(sampleJob(ExportJobState::completed, std::nullopt));
    EXPECT_EQ(completed.find("error"), nullptr);

    for (auto state : {ExportJobState::failed, ExportJobState::cancelled}) {
        const Value ended = mcp::encodeValue(sampleJob(state, "The movie could not be finished."));
        ASSERT_NE(ended.find("error"), nullptr);
        EXPECT_EQ(*ended.find("error")->stringValue(), "The movie could not be finished.");
    }
}

TEST(ExportJobCoding, RoundTripsAndRequiresEveryKeyButError) {
    const ExportJob job = sampleJob(ExportJobState::failed, "Movie encoding failed.");
    const Value encoded = mcp::encodeValue(job);
    const auto decoded = mcp::decodeValue<ExportJob>(encoded);
    EXPECT_EQ(decoded.id, job.id);
    EXPECT_EQ(decoded.state, job.state);
    EXPECT_EQ(decoded.outputURL, job.outputURL);
    EXPECT_EQ(decoded.outputURL.toLocalFile(), QStringLiteral("/Movies/My Movie.mov"));
    EXPECT_EQ(decoded.settings.codec, ExportCodec::prores422);
    EXPECT_EQ(decoded.error, job.error);

    for (const char* key :
         {"id", "state", "progress", "completedFrames", "totalFrames", "settings", "outputURL"}) {
        Value missing = encoded;
        missing.objectValue()->erase(key);
        EXPECT_THROW(mcp::decodeValue<ExportJob>(missing), DecodingError) << key;
    }
    Value noError = encoded;
    noError.objectValue()->erase("error");
    EXPECT_FALSE(mcp::decodeValue<ExportJob>(noError).error.has_value());

    Value badId = encoded;
    badId.objectValue()->insertOrAssign("id", "not-a-uuid");
    EXPECT_THROW(mcp::decodeValue<ExportJob>(badId), DecodingError);
}

}  // namespace
}  // namespace fw
