#include "app/tools/MovieMCPTools.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "app/tools/ToolArguments.h"
#include "app/tools/ToolResult.h"
#include "tests/app/tools/ToolTestSupport.h"

namespace fw {
namespace {

using mcp::parseJson;
using mcp::Value;
using testing::ToolTest;

class MovieMCPToolsTest : public ToolTest {};

// --- Catalogue ------------------------------------------------------------------------------

// The six tools in order, each exactly as "tools/list" must show it.
TEST_F(MovieMCPToolsTest, ToolListShowsTheSixToolsWithTheirSchemas) {
    const std::string fileReference =
        R"({"type":"object","properties":{"folder_id":{"type":"string","format":"uuid"},)"
        R"("relative_path":{"type":"string"}},"required":["folder_id","relative_path"],)"
        R"("additionalProperties":false})";
    const std::string none =
        R"({"type":"object","properties":{},"required":[],"additionalProperties":false})";
    const std::string jobInput =
        R"({"type":"object","properties":{"job_id":{"type":"string","format":"uuid"}},)"
        R"("required":[],"additionalProperties":false})";
    struct Row {
        const char* name;
        const char* description;
        bool readOnly;
        std::string input;
        std::string output;
    };
    const std::vector<Row> rows = {
        {"get_capabilities",
         "Show supported movie settings, deterministic defaults, and export limits.", true, none,
         R"({"type":"object","properties":{"defaults":{"type":"object"},"limits":{"type":"object"},)"
         R"("codecs":{"type":"array","items":{"type":"string"}},)"
         R"("qualities":{"type":"array","items":{"type":"string"}},)"
         R"("file_references":{"type":"string"}},)"
         R"("required":["defaults","limits","codecs","qualities","file_references"],)"
         R"("additionalProperties":false})"},
        {"list_authorized_folders", "List folder identifiers the user authorized in Frameweaver.",
         true, none,
         R"({"type":"object","properties":{"folders":{"type":"array","items":)"
         R"({"type":"object","properties":{"id":{"type":"string","format":"uuid"},)"
         R"("name":{"type":"string"},"writable":{"type":"boolean"}},)"
         R"("required":["id","name","writable"],"additionalProperties":false}}},)"
         R"("required":["folders"],"additionalProperties":false})"},
        {"inspect_sequence",
         "List supported images in numeric filename order, with rejected entries and reasons. "
         "Paths are relative to an authorized folder.",
         true,
         R"({"type":"object","properties":{"folder_id":{"type":"string","format":"uuid"},)"
         R"("relative_path":{"type":"string","description":)"
         R"("Optional subfolder; omit to inspect the authorized folder root."},)"
         R"("offset":{"type":"integer","minimum":0},)"
         R"("limit":{"type":"integer","minimum":1,"maximum":500}},)"
         R"("required":["folder_id"],"additionalProperties":false})",
         R"({"type":"object","properties":{"accepted":{"type":"array","items":)" + fileReference +
             R"(},"rejected":{"type":"array","items":{"type":"object","properties":)"
             R"({"name":{"type":"string"},"reason":{"type":"string"}},)"
             R"("required":["name","reason"],"additionalProperties":false}},)"
             R"("count":{"type":"integer"},"total_entries":{"type":"integer"},)"
             R"("next_offset":{"type":["integer","null"]}},)"
             R"("required":["accepted","rejected","count","total_entries","next_offset"],)"
             R"("additionalProperties":false})"},
        {"export_movie",
         "Start one movie export and return its job ID promptly. The input list is explicit "
         "order and may contain duplicates; output must be in a writable authorized folder.",
         false,
         R"({"type":"object","properties":{"inputs":{"type":"array","items":)" + fileReference +
             R"(,"minItems":1},"output":)" + fileReference +
             R"(,"width":{"type":"integer","minimum":1,"maximum":3840},)"
             R"("height":{"type":"integer","minimum":1,"maximum":2160},)"
             R"("frame_rate":{"type":"integer","minimum":1,"maximum":30},)"
             R"("codec":{"type":"string","enum":["h264","hevc","prores422"]},)"
             R"("quality":{"type":"string","enum":["standard","high","custom"]},)"
             R"("custom_bitrate_mbps":{"type":"number","minimum":0.1,"maximum":50},)"
             R"("overwrite":{"type":"boolean"}},)"
             R"("required":["inputs","output","width","height"],"additionalProperties":false})",
         R"({"type":"object","properties":{"job_id":{"type":"string","format":"uuid"},)"
         R"("state":{"type":"string"}},"required":["job_id","state"],)"
         R"("additionalProperties":false})"},
        {"get_export_status",
         "Read a job's progress, effective settings, output location, or failure. Omit job_id "
         "for the active or most recent job.",
         true, jobInput,
         R"({"type":"object","properties":{"job_id":{"type":"string"},"state":{"type":"string"},)"
         R"("progress":{"type":"number"},"completed_frames":{"type":"integer"},)"
         R"("total_frames":{"type":"integer"},"settings":{"type":"object"},)"
         R"("output_url":{"type":"string"},"error":{"type":["object","null"]}},)"
         R"("required":["job_id","state","progress","completed_frames","total_frames",)"
         R"("settings","output_url","error"],"additionalProperties":false})"},
        {"cancel_export",
         "Cancel a running export by job ID, or omit job_id to cancel the active export.", false,
         jobInput,
         R"({"type":"object","properties":{"cancelled":{"type":"boolean"},)"
         R"("job_id":{"type":["string","null"]}},"required":["cancelled","job_id"],)"
         R"("additionalProperties":false})"},
    };

    const Value listed = session_->request("tools/list", Value::object({}));
    const Value* tools = listed.find("tools");
    ASSERT_NE(tools, nullptr);
    ASSERT_EQ(tools->arrayValue()->size(), rows.size());
    EXPECT_EQ(listed.find("nextCursor"), nullptr);
    for (std::size_t index = 0; index < rows.size(); ++index) {
        const Row& row = rows[index];
        const Value& tool = (*tools->arrayValue())[index];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(*tool.find("name"), Value(row.name));
        EXPECT_EQ(*tool.find("description"), Value(row.description));
        EXPECT_EQ(*tool.find("inputSchema"), parseJson(row.input));
        EXPECT_EQ(*tool.find("outputSchema"), parseJson(row.output));
        EXPECT_EQ(tool.find("title"), nullptr);
        EXPECT_EQ(tool.find("icons"), nullptr);
        EXPECT_EQ(tool.find("_meta"), nullptr);
        const Value* annotations = tool.find("annotations");
        if (row.readOnly) {
            ASSERT_NE(annotations, nullptr);
            EXPECT_EQ(*annotations, parseJson(R"({"readOnlyHint":true})"));
        } else {
            EXPECT_EQ(annotations, nullptr);
        }
    }
    // The bit rate's lower bound is a floating value, its upper bound an integer.
    const Value& rate = *(*tools->arrayValue())[3]
                             .find("inputSchema")
                             ->find("properties")
                             ->find("custom_bitrate_mbps");
    EXPECT_EQ(rate.find("minimum")->kind(), Value::Kind::Double);
    EXPECT_EQ(rate.find("maximum")->kind(), Value::Kind::Int);
}

TEST_F(MovieMCPToolsTest, CapabilitiesAreTheConstantValue) {
    const Value expected = parseJson(
        R"({"defaults":{"frame_rate":30,"codec":"hevc","quality":"high","overwrite":false},)"
        R"("limits":{"maximum_width":3840,"maximum_height":2160,"maximum_frame_rate":30,)"
        R"("concurrent_exports":1},"codecs":["h264","hevc","prores422"],)"
        R"("qualities":["standard","high","custom"],"file_references":)"
        R"("Authorized folder UUID plus a relative path; arbitrary file URLs are refused."})");
    for (const std::optional<Value>& arguments : {std::optional<Value>(), std::optional<Value>(
                                                                              Value::object({}))}) {
        const Value result = session_->call("get_capabilities", arguments);
        EXPECT_EQ(*result.find("isError"), Value(false));
        EXPECT_EQ(structured(result), expected);
        // One text block: the compact JSON of the same value.
        const mcp::Array& content = *result.find("content")->arrayValue();
        ASSERT_EQ(content.size(), 1U);
        EXPECT_EQ(*content[0].find("type"), Value("text"));
        EXPECT_EQ(*content[0].find("text"), Value(mcp::toJson(expected)));
    }
}

TEST_F(MovieMCPToolsTest, AuthorizedFoldersAreListedInOrderWithUpperCaseIdentifiers) {
    const Value result = session_->call("list_authorized_folders");
    const std::string work = workID_.toString(QUuid::WithoutBraces).toUpper().toStdString();
    const std::string input = inputID_.toString(QUuid::WithoutBraces).toUpper().toStdString();
    EXPECT_EQ(structured(result),
              parseJson(R"({"folders":[{"id":")" + work +
                        R"(","name":"Work","writable":true},{"id":")" + input +
                        R"(","name":"Input","writable":false}]})"));
    // Listing does not look at the disk: a folder that is gone is still there.
    std::filesystem::remove_all(input_);
    EXPECT_EQ(structured(session_->call("list_authorized_folders"))
                  .find("folders")
                  ->arrayValue()
                  ->size(),
              2U);
    ASSERT_TRUE(files_->remove(workID_).ok());
    ASSERT_TRUE(files_->remove(inputID_).ok());
    EXPECT_EQ(structured(session_->call("list_authorized_folders")),
              parseJson(R"({"folders":[]})"));
}

// --- Dispatch and argument checks -----------------------------------------------------------

TEST_F(MovieMCPToolsTest, RefusalsCarryTheirCodesAndTexts) {
    const std::string folder = workID_.toString(QUuid::WithoutBraces).toStdString();
    const std::string job = "0F0E0D0C-0B0A-0908-0706-050403020100";
    struct Row {
        const char* tool;
        std::string arguments;  // empty: left out
        const char* code;
        std::string message;
    };
    const std::vector<Row> rows = {
        {"Get_Capabilities", "", "unknown_tool", "Unknown tool Get_Capabilities."},
        {"no such tool", R"({"anything":1})", "unknown_tool", "Unknown tool no such tool."},
        {"get_capabilities", R"({"x":null})", "unknown_argument", "x is not a supported argument."},
        {"list_authorized_folders", R"({"folder_id":"x"})", "unknown_argument",
         "folder_id is not a supported argument."},
        // The unknown argument is found before any other is read.
        {"inspect_sequence", R"({"folder_id":5,"zoom":1})", "unknown_argument",
         "zoom is not a supported argument."},
        {"inspect_sequence", "{}", "invalid_argument", "folder_id must be a string."},
        {"inspect_sequence", R"({"folder_id":null})", "invalid_argument",
         "folder_id must be a string."},
        {"inspect_sequence", R"({"folder_id":"{)" + folder + R"(}"})", "invalid_argument",
         "folder_id must be a folder or job UUID."},
        {"inspect_sequence", R"({"folder_id":")" + folder.substr(0, 35) + R"(g"})",
         "invalid_argument", "folder_id must be a folder or job UUID."},
        {"inspect_sequence", R"({"folder_id":")" + folder + R"(","relative_path":null})",
         "invalid_argument", "relative_path must be a string."},
        {"inspect_sequence", R"({"folder_id":")" + folder + R"(","offset":1.0})",
         "invalid_argument", "offset must be an integer."},
        {"inspect_sequence", R"({"folder_id":")" + folder + R"(","limit":"5"})",
         "invalid_argument", "limit must be an integer."},
        {"inspect_sequence", R"({"folder_id":")" + folder + R"(","limit":0})", "invalid_page",
         "offset must be at least 0 and limit must be 1–500."},
        {"inspect_sequence", R"({"folder_id":")" + folder + R"(","limit":501})", "invalid_page",
         "offset must be at least 0 and limit must be 1–500."},
        {"inspect_sequence", R"({"folder_id":")" + folder + R"(","offset":-1})", "invalid_page",
         "offset must be at least 0 and limit must be 1–500."},
        {"inspect_sequence", R"({"folder_id":")" + job + R"("})", "operation_failed",
         "This folder authorization was removed. Authorize it again in Automation Settings."},
        {"get_export_status", R"({"job_id":null})", "invalid_argument", "job_id must be a string."},
        {"get_export_status", R"({"job_id":"nope"})", "invalid_argument",
         "job_id must be a folder or job UUID."},
        {"get_export_status", "", "unknown_job", "No matching export job is available."},
        {"get_export_status", R"({"job_id":")" + job + R"("})", "unknown_job",
         "No matching export job is available."},
        {"cancel_export", R"({"job_id":null})", "invalid_argument", "job_id must be a string."},
        {"cancel_export", "", "unknown_job", "That export job is no longer available."},
        {"cancel_export", R"({"job_id":")" + job + R"("})", "unknown_job",
         "That export job is no longer available."},
        {"cancel_export", R"({"force":true})", "unknown_argument",
         "force is not a supported argument."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.tool) + " " + row.arguments);
        const Value result =
            session_->call(row.tool, row.arguments.empty() ? std::optional<Value>()
                                                           : parseJson(row.arguments));
        EXPECT_EQ(*result.find("isError"), Value(true));
        EXPECT_EQ(errorCode(result), row.code);
        EXPECT_EQ(errorMessage(result), row.message);
        EXPECT_EQ(*(*result.find("content")->arrayValue())[0].find("text"),
                  Value(mcp::toJson(structured(result))));
    }
}

TEST_F(MovieMCPToolsTest, ClosedConnectionListsNoToolsAndRefusesCalls) {
    session_->setOpen(false);
    const Value listed = session_->request("tools/list", Value::object({}));
    EXPECT_EQ(listed, parseJson(R"({"tools":[]})"));
    const Value result = session_->call("get_capabilities");
    EXPECT_EQ(*result.find("isError"), Value(true));
    EXPECT_EQ(errorCode(result), "session_closed");
    EXPECT_EQ(errorMessage(result), "This MCP connection has closed.");
}

// --- Readers and results on their own -------------------------------------------------------

TEST(ToolArgumentsTest, UUIDsAreAcceptedOnlyInTheHyphenatedForm) {
    const QUuid id = QUuid::fromString(QStringLiteral("a1b2c3d4-e5f6-4789-9abc-def012345678"));
    struct Row {
        const char* text;
        bool accepted;
    };
    for (const Row& row : std::initializer_list<Row>{
             {"a1b2c3d4-e5f6-4789-9abc-def012345678", true},
             {"A1B2C3D4-E5F6-4789-9ABC-DEF012345678", true},
             {"A1b2C3d4-e5F6-4789-9AbC-dEf012345678", true},
             {"{a1b2c3d4-e5f6-4789-9abc-def012345678}", false},
             {"a1b2c3d4e5f647899abcdef012345678", false},
             {"a1b2c3d4-e5f6-4789-9abc-def01234567", false},
             {"a1b2c3d4-e5f6-4789-9abc-def0123456789", false},
             {"a1b2c3d4-e5f6-4789-9abc_def012345678", false},
             {"a1b2c3d4-e5f6-4789-9abc-def01234567g", false},
             {"+1b2c3d4-e5f6-4789-9abc-def012345678", false},
             {"", false}}) {
        SCOPED_TRACE(row.text);
        const std::optional<QUuid> parsed = parseUUID(row.text);
        EXPECT_EQ(parsed.has_value(), row.accepted);
        if (parsed) {
            EXPECT_EQ(*parsed, id);
        }
    }
    EXPECT_EQ(parseUUID("00000000-0000-0000-0000-000000000000"), QUuid());
    EXPECT_EQ(uuidText(id), "A1B2C3D4-E5F6-4789-9ABC-DEF012345678");
}

// A string value whose whole result encodes to exactly `size` bytes: each plain character
// adds 2 bytes (once in the text, once in the structured value), a control character 13 (its
// escape is escaped again in the text), so one of them reaches the odd sizes.
Value valueOfEncodedSize(std::size_t size) {
    for (std::size_t controls = 0; controls < 2; ++controls) {
        const std::string tail(controls, '\x01');
        const std::size_t base =
            mcp::toJson(mcp::encodeValue(makeResult(Value(tail), false, SIZE_MAX))).size();
        if (size >= base && (size - base) % 2 == 0) {
            Value value(std::string((size - base) / 2, 'a') + tail);
            const auto unlimited = makeResult(value, false, SIZE_MAX);
            EXPECT_EQ(mcp::toJson(mcp::encodeValue(unlimited)).size(), size);
            return value;
        }
    }
    ADD_FAILURE() << "no value of " << size << " bytes";
    return {};
}

TEST(ToolResultTest, ResultsUpToTheLimitPassAndLargerOnesAreReplaced) {
    const Value fits = valueOfEncodedSize(131'072);
    const auto exact = makeResult(fits, false);
    EXPECT_EQ(exact.isError, false);
    EXPECT_EQ(exact.structuredContent, fits);

    const auto over = makeResult(valueOfEncodedSize(131'073), false);
    EXPECT_EQ(over.isError, true);
    EXPECT_EQ(over.structuredContent,
              parseJson(R"({"error":{"code":"result_too_large","message":)"
                        R"("The result exceeds 128 KiB. Request a smaller inspection page."}})"));
    ASSERT_EQ(over.content.size(), 1U);
    EXPECT_EQ(mcp::toJson(mcp::encodeValue(over.content[0])),
              R"({"text":"Result exceeds 128 KiB; use a smaller page.","type":"text"})");
}

TEST(ToolResultTest, AValueJSONCannotCarryIsAFailedOperationNotAnOversizeOne) {
    for (const Value& value :
         {Value(std::string("bad \xff byte")), Value::object({{"progress", std::nan("")}}),
          errorValue("export_failed", "\xc3")}) {
        const auto result = makeResult(value, false);
        EXPECT_EQ(result.isError, true);
        EXPECT_EQ(result.structuredContent,
                  parseJson(R"({"error":{"code":"operation_failed",)"
                            R"("message":"The result could not be encoded as JSON."}})"));
    }
}

}  // namespace
}  // namespace fw
