#include "app/tools/ExportTools.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "MCP/JSON/JsonParser.h"
#include "app/export/ExportModel.h"
#include "app/tools/ToolArguments.h"
#include "tests/app/tools/ToolTestSupport.h"

namespace fw {
namespace {

namespace fs = std::filesystem;
using mcp::parseJson;
using mcp::Value;
using testing::pumpUntil;

// What ffprobe reports of the movie's video stream: codec_name, width, height, nb_read_frames.
std::map<std::string, std::string> probe(const fs::path& movie) {
    const std::string command =
        "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
        "stream=codec_name,width,height,nb_read_frames -of default=noprint_wrappers=1 '" +
        movie.string() + "'";
    std::map<std::string, std::string> fields;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return fields;
    }
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (const auto equals = text.find('='); equals != std::string::npos) {
            fields[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    ::pclose(pipe);
    return fields;
}

// A main window stand-in for the busy rule.
class FakeWindow : public QObject, public DraftWindow {
public:
    bool hasAttachedSheet() const override { return sheet; }
    bool isEditingText() const override { return false; }
    bool sheet = false;
};

class ExportToolsTest : public testing::ToolTest {
protected:
    // export_movie of `count` stills of the input folder (written now) into "Movies/<name>" of
    // the output folder; `change` edits the arguments first.
    Value exportArguments(int count, const std::string& name = "movie.mp4") {
        writeImages(input_, count, "still", 32, 16);
        fs::create_directories(work_ / "Movies");
        mcp::Array inputs;
        for (int index = 0; index < count; ++index) {
            inputs.push_back(reference(inputID_, "still" + std::to_string(index) + ".png"));
        }
        return Value::object({{"inputs", std::move(inputs)},
                              {"output", reference(workID_, "Movies/" + name)},
                              {"width", 32},
                              {"height", 16},
                              {"frame_rate", 10},
                              {"codec", "h264"},
                              {"quality", "standard"}});
    }

    Value status(const std::optional<std::string>& jobID = std::nullopt) {
        return session_->call("get_export_status",
                              jobID ? Value::object({{"job_id", *jobID}}) : Value::object({}));
    }

    // Reads the status until the job has left "running".
    Value statusWhenEnded(const std::string& jobID) {
        Value last;
        EXPECT_TRUE(pumpUntil([&] {
            last = status(jobID);
            return *structured(last).find("state") != Value("running");
        }));
        return last;
    }

    // A running export that takes a while: many larger frames.
    std::string startLongExport() {
        Value arguments = exportArguments(1);
        writeImages(input_, 1, "big", 1920, 1080);
        mcp::Array inputs(120, reference(inputID_, "big0.png"));
        arguments.objectValue()->insertOrAssign("inputs", std::move(inputs));
        arguments.objectValue()->insertOrAssign("width", 1920);
        arguments.objectValue()->insertOrAssign("height", 1080);
        const Value started = session_->call("export_movie", std::move(arguments));
        EXPECT_EQ(*started.find("isError"), Value(false)) << errorMessage(started);
        return *structured(started).find("job_id")->stringValue();
    }
};

TEST_F(ExportToolsTest, ExportRunsToAMovieInTheOutputFolder) {
    Value arguments = exportArguments(3);
    // Explicit order with a repeat: four frames.
    arguments.objectValue()->find("inputs")->arrayValue()->push_back(
        reference(inputID_, "still0.png"));
    const Value started = session_->call("export_movie", std::move(arguments));
    ASSERT_EQ(*started.find("isError"), Value(false)) << errorMessage(started);
    const std::string jobID = *structured(started).find("job_id")->stringValue();
    EXPECT_TRUE(parseUUID(jobID));
    EXPECT_EQ(jobID, uuidText(*parseUUID(jobID))) << "upper case";
    EXPECT_EQ(*structured(started).find("state"), Value("running"));

    const Value running = status(jobID);
    const Value& value = structured(running);
    EXPECT_EQ(*value.find("job_id"), Value(jobID));
    EXPECT_EQ(*value.find("total_frames"), Value(4));
    EXPECT_EQ(*value.find("settings"),
              parseJson(R"({"width":32,"height":16,"frameRate":10,"codec":"h264",)"
                        R"("quality":"standard"})"));
    EXPECT_EQ(*value.find("output_url"), Value((work_ / "Movies" / "movie.mp4").string()));
    EXPECT_EQ(*value.find("error"), Value());

    const Value ended = statusWhenEnded(jobID);
    EXPECT_EQ(*ended.find("isError"), Value(false));
    EXPECT_EQ(*structured(ended).find("state"), Value("completed"));
    EXPECT_EQ(*structured(ended).find("progress"), Value(1.0));
    EXPECT_EQ(*structured(ended).find("completed_frames"), Value(4));
    EXPECT_EQ(*structured(ended).find("error"), Value());
    // Without an identifier: the most recent job.
    EXPECT_EQ(structured(status()), structured(ended));

    const auto movie = probe(work_ / "Movies" / "movie.mp4");
    EXPECT_EQ(movie.count("codec_name") ? movie.at("codec_name") : "", "h264");
    EXPECT_EQ(movie.count("width") ? movie.at("width") : "", "32");
    EXPECT_EQ(movie.count("height") ? movie.at("height") : "", "16");
    EXPECT_EQ(movie.count("nb_read_frames") ? movie.at("nb_read_frames") : "", "4");
}

TEST_F(ExportToolsTest, CancelStopsTheRunningExportAndLeavesNoMovie) {
    const std::string jobID = startLongExport();
    const Value cancelled = session_->call("cancel_export");
    EXPECT_EQ(structured(cancelled),
              Value::object({{"cancelled", true}, {"job_id", jobID}}));
    const Value ended = statusWhenEnded(jobID);
    EXPECT_EQ(*structured(ended).find("state"), Value("cancelled"));
    EXPECT_EQ(*structured(ended).find("error"),
              parseJson(R"({"code":"cancelled","message":"The operation was cancelled."})"));
    EXPECT_FALSE(fs::exists(work_ / "Movies" / "movie.mp4"));
    // Nothing runs any more: by identifier or without, the cancel finds no job.
    for (const Value& arguments : {Value::object({}), Value::object({{"job_id", jobID}})}) {
        const Value again = session_->call("cancel_export", arguments);
        EXPECT_EQ(errorCode(again), "unknown_job");
        EXPECT_EQ(errorMessage(again), "That export job is no longer available.");
    }
}

TEST_F(ExportToolsTest, ASecondExportWhileOneRunsIsRefusedAsBusy) {
    const std::string jobID = startLongExport();
    const Value second = session_->call("export_movie", exportArguments(1, "second.mp4"));
    EXPECT_EQ(*second.find("isError"), Value(true));
    EXPECT_EQ(errorCode(second), "export_busy");
    EXPECT_EQ(errorMessage(second),
              "A movie export is in progress, or the movie window has an open sheet or "
              "uncommitted edit.");
    // Nothing started: the running job is still the one the status reports.
    const Value running = structured(status());
    EXPECT_EQ(*running.find("job_id"), Value(jobID));
    EXPECT_EQ(*running.find("state"), Value("running"));
    EXPECT_EQ(*running.find("total_frames"), Value(120));
    const double progress = running.find("progress")->doubleValue().value_or(-1);
    EXPECT_TRUE(progress >= 0.0 && progress < 1.0) << progress;
    ASSERT_EQ(*structured(session_->call("cancel_export")).find("job_id"), Value(jobID));
    statusWhenEnded(jobID);
    EXPECT_FALSE(fs::exists(work_ / "Movies" / "second.mp4"));
}

TEST_F(ExportToolsTest, TheWindowsOpenSheetMakesTheExportBusyToo) {
    FakeWindow window;
    window.sheet = true;
    coordinator_->attachDraftModel(nullptr, &window);
    const Value refused = session_->call("export_movie", exportArguments(1));
    EXPECT_EQ(errorCode(refused), "export_busy");
    window.sheet = false;
    const Value started = session_->call("export_movie", exportArguments(1));
    EXPECT_EQ(*started.find("isError"), Value(false)) << errorMessage(started);
    statusWhenEnded(*structured(started).find("job_id")->stringValue());
    coordinator_->attachDraftModel(nullptr, nullptr);
}

TEST_F(ExportToolsTest, RefusalsComeInArgumentOrderWithTheirTexts) {
    const Value base = exportArguments(2);
    const fs::path outside = dir_ / "Outside";
    fs::create_directories(outside);
    writeImages(outside, 1, "secret");
    fs::create_symlink(outside / "secret0.png", input_ / "link.png");
    fs::create_directory_symlink(outside, work_ / "Escape");
    std::ofstream(work_ / "Movies" / "taken.mp4") << "x";

    struct Row {
        const char* label;
        std::vector<std::pair<std::string, std::optional<Value>>> changes;  // none: removed
        const char* code;
        std::string message;
    };
    const Value good = reference(inputID_, "still0.png");
    const std::vector<Row> rows = {
        {"no inputs", {{"inputs", std::nullopt}, {"output", std::nullopt}}, "invalid_inputs",
         "Provide at least one image in inputs."},
        {"empty inputs", {{"inputs", Value(mcp::Array{})}, {"output", std::nullopt}},
         "invalid_inputs", "Provide at least one image in inputs."},
        {"inputs a string", {{"inputs", Value("still0.png")}}, "invalid_inputs",
         "Provide at least one image in inputs."},
        {"no output", {{"output", std::nullopt}, {"codec", Value(5)}}, "missing_output",
         "Provide an output folder ID and relative path."},
        {"codec case", {{"codec", Value("HEVC")}}, "unsupported_codec",
         "Choose h264, hevc, or prores422."},
        {"codec number", {{"codec", Value(5)}, {"quality", Value(5)}}, "invalid_argument",
         "codec must be a string."},
        {"quality", {{"quality", Value("best")}, {"width", std::nullopt}}, "unsupported_quality",
         "Choose standard, high, or custom."},
        {"no width", {{"width", std::nullopt}, {"frame_rate", Value("x")}}, "missing_argument",
         "width is required."},
        {"height null", {{"height", Value()}}, "invalid_argument", "height must be an integer."},
        {"fractional rate", {{"frame_rate", Value(2.5)}}, "invalid_argument",
         "frame_rate must be an integer."},
        {"bit rate text", {{"custom_bitrate_mbps", Value("5")}}, "invalid_argument",
         "custom_bitrate_mbps must be a number."},
        {"overwrite text", {{"overwrite", Value("yes")}}, "invalid_argument",
         "overwrite must be a boolean."},
        {"input not an object", {{"inputs", Value(mcp::Array{good, Value("x")})}},
         "invalid_path", "A file reference must be an object."},
        {"input extra member",
         {{"inputs", Value(mcp::Array{Value::object({{"folder_id", *good.find("folder_id")},
                                                     {"relative_path", "still0.png"},
                                                     {"path", "/etc/passwd"}})})}},
         "unknown_argument", "path is not a supported argument."},
        {"input without path",
         {{"inputs", Value(mcp::Array{Value::object({{"folder_id", *good.find("folder_id")}})})}},
         "invalid_argument", "relative_path must be a string."},
        {"input folder not a UUID",
         {{"inputs", Value(mcp::Array{Value::object(
                         {{"folder_id", "Input"}, {"relative_path", "still0.png"}})})}},
         "invalid_argument", "folder_id must be a folder or job UUID."},
        {"input dot dot", {{"inputs", Value(mcp::Array{reference(inputID_, "../Work/x.png")})}},
         "operation_failed", "Use a relative path without . or .. components."},
        {"input absolute", {{"inputs", Value(mcp::Array{reference(inputID_, "/etc/hosts")})}},
         "operation_failed", "Use a relative path without . or .. components."},
        {"input link out", {{"inputs", Value(mcp::Array{good, reference(inputID_, "link.png")})}},
         "operation_failed", "The path leaves its authorized folder."},
        {"output a string after the inputs",
         {{"output", Value("movie.mp4")},
          {"inputs", Value(mcp::Array{reference(inputID_, "..")})}},
         "operation_failed", "Use a relative path without . or .. components."},
        {"output a string", {{"output", Value("movie.mp4")}}, "invalid_path",
         "A file reference must be an object."},
        {"output in the input folder", {{"output", reference(inputID_, "movie.mp4")}},
         "operation_failed",
         "This folder is authorized for input only. Authorize an output folder in Automation "
         "Settings."},
        {"output through a link", {{"output", reference(workID_, "Escape/movie.mp4")}},
         "operation_failed", "The path leaves its authorized folder."},
        {"width too large", {{"width", Value(4000)}}, "invalid_export",
         "Movie dimensions must be at most 3840 × 2160 and frame rate 1–30 fps."},
        {"bit rate without custom", {{"custom_bitrate_mbps", Value(5)}}, "invalid_export",
         "A custom bit rate requires Custom quality."},
        {"existing movie", {{"output", reference(workID_, "Movies/taken.mp4")}},
         "overwrite_refused",
         "The destination already exists. Choose a different name or allow overwrite."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        Value arguments = base;
        for (const auto& [key, value] : row.changes) {
            if (value) {
                arguments.objectValue()->insertOrAssign(key, *value);
            } else {
                arguments.objectValue()->erase(key);
            }
        }
        const Value result = session_->call("export_movie", std::move(arguments));
        EXPECT_EQ(*result.find("isError"), Value(true));
        EXPECT_EQ(errorCode(result), row.code);
        EXPECT_EQ(errorMessage(result), row.message);
        EXPECT_FALSE(coordinator_->hasActiveExport());
    }
}

TEST(ExportStatusValueTest, ProgressIsAFiniteFractionAndErrorsAreNamedByState) {
    ExportJob job;
    job.id = QUuid::fromString(QStringLiteral("a1b2c3d4-e5f6-4789-9abc-def012345678"));
    job.outputURL = QUrl::fromLocalFile(QStringLiteral("/Movies/My Movie.mp4"));
    job.settings.customBitrateMbps = 2.5;
    struct Row {
        double progress;
        double reported;
    };
    for (const Row& row : std::initializer_list<Row>{{0.25, 0.25},
                                                     {std::nan(""), 0.0},
                                                     {INFINITY, 0.0},
                                                     {1.5, 1.0},
                                                     {-0.5, 0.0}}) {
        job.progress = row.progress;
        EXPECT_EQ(*exportStatusValue(job).find("progress"), Value(row.reported));
    }
    EXPECT_EQ(*exportStatusValue(job).find("output_url"), Value("/Movies/My Movie.mp4"));
    EXPECT_EQ(*exportStatusValue(job).find("settings")->find("customBitrateMbps"), Value(2.5));
    EXPECT_EQ(*exportStatusValue(job).find("error"), Value());
    job.error = "It broke.";
    for (const auto& [state, code] :
         std::initializer_list<std::pair<ExportJobState, const char*>>{
             {ExportJobState::failed, "export_failed"},
             {ExportJobState::cancelled, "cancelled"},
             {ExportJobState::completed, "export_failed"}}) {
        job.state = state;
        EXPECT_EQ(*exportStatusValue(job).find("error"),
                  Value::object({{"code", code}, {"message", "It broke."}}));
    }
}

}  // namespace
}  // namespace fw
