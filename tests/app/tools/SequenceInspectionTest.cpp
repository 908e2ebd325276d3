#include "app/tools/SequenceInspection.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "MCP/JSON/JsonParser.h"
#include "MCP/JSON/JsonWriter.h"
#include "platform/SecurityScopedAccess.h"
#include "tests/app/tools/ToolTestSupport.h"

namespace fw {
namespace {

namespace fs = std::filesystem;
using mcp::parseJson;
using mcp::Value;

class SequenceInspectionTest : public testing::ToolTest {
protected:
    Value inspect(const QUuid& folder, Value::Kind pathKind = Value::Kind::Null,
                  const std::string& relativePath = "", std::optional<int> offset = {},
                  std::optional<int> limit = {}) {
        mcp::Object arguments;
        arguments.insertOrAssign("folder_id", folder.toString(QUuid::WithoutBraces).toStdString());
        if (pathKind == Value::Kind::String) {
            arguments.insertOrAssign("relative_path", relativePath);
        }
        if (offset) {
            arguments.insertOrAssign("offset", *offset);
        }
        if (limit) {
            arguments.insertOrAssign("limit", *limit);
        }
        return session_->call("inspect_sequence", Value(std::move(arguments)));
    }
    Value inspectPath(const QUuid& folder, const std::string& relativePath) {
        return inspect(folder, Value::Kind::String, relativePath);
    }

    static std::vector<std::string> acceptedPaths(const Value& result) {
        std::vector<std::string> paths;
        for (const Value& entry : *structured(result).find("accepted")->arrayValue()) {
            paths.push_back(*entry.find("relative_path")->stringValue());
        }
        return paths;
    }

    static void touch(const fs::path& path, const std::string& contents = "x") {
        std::ofstream(path) << contents;
    }
};

TEST_F(SequenceInspectionTest, ListsImagesInFrameOrderWithReasonsForTheRest) {
    writeImages(work_, 1, "frame1");  // frame10.png
    fs::copy_file(work_ / "frame10.png", work_ / "frame2.png");
    fs::copy_file(work_ / "frame2.png", work_ / "Frame3.PNG");
    touch(work_ / "frame10.png.tmp");
    touch(work_ / "frame0.txt");
    touch(work_ / ".DS_Store");
    fs::create_directory(work_ / "frames");
    ASSERT_EQ(::mkfifo((work_ / "frame5.png").c_str(), 0600), 0);
    fs::create_symlink("frame2.png", work_ / "frame4.png");

    const Value result = inspect(workID_);
    EXPECT_EQ(*result.find("isError"), Value(false));
    const std::string id = workID_.toString(QUuid::WithoutBraces).toUpper().toStdString();
    EXPECT_EQ(structured(result),
              parseJson(R"({"accepted":[)"
                        R"({"folder_id":")" + id + R"(","relative_path":"frame2.png"},)"
                        R"({"folder_id":")" + id + R"(","relative_path":"Frame3.PNG"},)"
                        R"({"folder_id":")" + id + R"(","relative_path":"frame10.png"}],)"
                        R"("rejected":[)"
                        R"({"name":".DS_Store","reason":"Unsupported image format."},)"
                        R"({"name":"frame0.txt","reason":"Unsupported image format."},)"
                        R"({"name":"frame4.png","reason":"Not a regular file."},)"
                        R"({"name":"frame5.png","reason":"Not a regular file."},)"
                        R"({"name":"frame10.png.tmp","reason":"Unsupported image format."},)"
                        R"({"name":"frames","reason":"Not a regular file."}],)"
                        R"("count":3,"total_entries":9,"next_offset":null})"));
}

// A result is UTF-8 text, a Linux file name any bytes: a name that is not UTF-8 is rejected on
// its own, shown with its bad bytes escaped, and the rest of the page stands.
TEST_F(SequenceInspectionTest, ANameThatIsNotUTF8IsRejectedAloneWithItsBadBytesEscaped) {
    writeImages(work_, 2, "frame");  // frame0.png, frame1.png
    const std::string reason = "The file name is not valid UTF-8 text; rename the file to use it.";
    struct Case {
        const char* name;
        std::string onDisk;
        std::string shown;
    };
    const Case cases[] = {
        {"a stray byte", "frame\xff.png", "frame\\xFF.png"},
        {"an overlong slash", "a\xc0\xaf.png", "a\\xC0\\xAF.png"},
        {"a surrogate", "b\xed\xa0\x80.png", "b\\xED\\xA0\\x80.png"},
        {"a sequence cut short, valid text kept", "\xc3\xa9t\xc3\xa9\xe2\x82.png",
         "\xc3\xa9t\xc3\xa9\\xE2\\x82.png"},
        {"beyond U+10FFFF", "c\xf4\x90\x80\x80.png", "c\\xF4\\x90\\x80\\x80.png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeImages(work_, 1, "x");
        fs::rename(work_ / "x0.png", work_ / c.onDisk);
        const Value result = inspect(workID_);
        ASSERT_EQ(*result.find("isError"), Value(false)) << mcp::toJson(result);
        EXPECT_EQ(acceptedPaths(result), (std::vector<std::string>{"frame0.png", "frame1.png"}));
        EXPECT_EQ(*structured(result).find("rejected"),
                  Value(mcp::Array{Value::object({{"name", c.shown}, {"reason", reason}})}));
        EXPECT_EQ(*structured(result).find("total_entries"), Value(3));
        fs::remove(work_ / c.onDisk);
    }
}

TEST_F(SequenceInspectionTest, TypesFollowWhatTheRendererReads) {
    writeImages(input_, 1, "still");
    fs::copy_file(input_ / "still0.png", input_ / "copy.jpg");  // a PNG named as JPEG: readable
    touch(input_ / "page.pdf", "%PDF-1.4\n");
    touch(input_ / "drawing.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>");
    touch(input_ / "movie.mp4");
    touch(input_ / "picture.bmp");  // the decoders read no BMP
    fs::copy_file(input_ / "still0.png", input_ / "noextension");
    const Value result = inspect(inputID_);
    EXPECT_EQ(acceptedPaths(result),
              (std::vector<std::string>{"copy.jpg", "drawing.svg", "noextension", "page.pdf",
                                        "still0.png"}));
    EXPECT_EQ(*structured(result).find("rejected"),
              parseJson(R"([{"name":"movie.mp4","reason":"Unsupported image format."},)"
                        R"({"name":"picture.bmp","reason":"Unsupported image format."}])"));
}

TEST_F(SequenceInspectionTest, PagesThroughTheSortedListing) {
    fs::create_directory(work_ / "Frames");
    for (int index = 0; index < 250; ++index) {
        touch(work_ / "Frames" / ("f" + std::to_string(index) + ".txt"));
    }
    struct Row {
        std::optional<int> offset, limit;
        std::size_t entries;
        const char* first;  // the page's first name, or "" for an empty page
        Value nextOffset;
    };
    for (const Row& row : std::initializer_list<Row>{
             {{}, {}, 100, "f0.txt", Value(100)},
             {0, 100, 100, "f0.txt", Value(100)},
             {200, 100, 50, "f200.txt", Value()},
             {249, 1, 1, "f249.txt", Value()},
             {248, 1, 1, "f248.txt", Value(249)},
             {10, 500, 240, "f10.txt", Value()},
             {300, {}, 0, "", Value()},
             {250, {}, 0, "", Value()}}) {
        SCOPED_TRACE(row.offset.value_or(-1));
        const Value result =
            inspect(workID_, Value::Kind::String, "Frames", row.offset, row.limit);
        const Value& page = structured(result);
        const mcp::Array& rejected = *page.find("rejected")->arrayValue();
        ASSERT_EQ(rejected.size(), row.entries);
        if (!rejected.empty()) {
            EXPECT_EQ(*rejected.front().find("name"), Value(row.first));
        }
        EXPECT_EQ(*page.find("count"), Value(0));
        EXPECT_EQ(*page.find("total_entries"), Value(250));
        EXPECT_EQ(*page.find("next_offset"), row.nextOffset);
    }
}

TEST_F(SequenceInspectionTest, SubfoldersGiveReferencesBelowThemAndLowerCaseIDsComeBackUpper) {
    fs::create_directories(work_ / "Shots" / "Day 1");
    writeImages(work_ / "Shots" / "Day 1", 2, "take");
    mcp::Object arguments;
    arguments.insertOrAssign("folder_id", workID_.toString(QUuid::WithoutBraces).toStdString());
    arguments.insertOrAssign("relative_path", "Shots/Day 1");
    const Value result = session_->call("inspect_sequence", Value(std::move(arguments)));
    const std::string id = workID_.toString(QUuid::WithoutBraces).toUpper().toStdString();
    EXPECT_EQ(*structured(result).find("accepted"),
              parseJson(R"([{"folder_id":")" + id + R"(","relative_path":"Shots/Day 1/take0.png"},)"
                        R"({"folder_id":")" + id +
                        R"(","relative_path":"Shots/Day 1/take1.png"}])"));
    // The empty path is the folder's root.
    EXPECT_EQ(*structured(inspectPath(workID_, "")).find("total_entries"), Value(1));
}

TEST_F(SequenceInspectionTest, EmptyDirectoryGivesAnEmptyPage) {
    EXPECT_EQ(structured(inspect(workID_)),
              parseJson(R"({"accepted":[],"rejected":[],"count":0,"total_entries":0,)"
                        R"("next_offset":null})"));
}

TEST_F(SequenceInspectionTest, PathsThatLeaveTheFolderOrAreNoDirectoryAreRefused) {
    const fs::path outside = dir_ / "Outside";
    fs::create_directories(outside);
    writeImages(outside, 1, "secret");
    touch(work_ / "file.png");
    fs::create_directory_symlink(outside, work_ / "Link");
    fs::create_directory_symlink("/", work_ / "Root");
    struct Row {
        const char* path;
        const char* code;
        const char* message;
    };
    for (const Row& row : std::initializer_list<Row>{
             {"..", "operation_failed", "Use a relative path without . or .. components."},
             {"../Outside", "operation_failed",
              "Use a relative path without . or .. components."},
             {"/tmp", "operation_failed", "Use a relative path without . or .. components."},
             {"Link", "operation_failed", "The path leaves its authorized folder."},
             {"Root", "operation_failed", "The path leaves its authorized folder."},
             {"file.png", "not_directory", "The selected path is not a readable directory."},
             {"missing", "not_directory", "The selected path is not a readable directory."}}) {
        SCOPED_TRACE(row.path);
        const Value result = inspectPath(workID_, row.path);
        EXPECT_EQ(*result.find("isError"), Value(true));
        EXPECT_EQ(errorCode(result), row.code);
        EXPECT_EQ(errorMessage(result), row.message);
    }
    // A link that leads out of the folder is listed, never followed.
    fs::create_symlink(outside / "secret0.png", work_ / "secret.png");
    const Value listed = inspect(workID_);
    EXPECT_EQ(acceptedPaths(listed), std::vector<std::string>{"file.png"});
    EXPECT_EQ(*structured(listed).find("rejected"),
              parseJson(R"([{"name":"Link","reason":"The path leaves its authorized folder."},)"
                        R"({"name":"Root","reason":"The path leaves its authorized folder."},)"
                        R"({"name":"secret.png",)"
                        R"("reason":"The path leaves its authorized folder."}])"));
}

// The real access, with a hook run once when access next starts: for an inspection that is
// after the path was checked (resolved inside the folder) and before the listing opens it.
class HookedAccess : public platform::SecurityScopedAccess {
public:
    using platform::SecurityScopedAccess::SecurityScopedAccess;
    bool startAccessing(const std::filesystem::path& path) override {
        if (auto hook = std::exchange(beforeNextStart, nullptr)) {
            hook();
        }
        return platform::SecurityScopedAccess::startAccessing(path);
    }
    std::function<void()> beforeNextStart;
};

class SwappedPathInspectionTest : public SequenceInspectionTest {
protected:
    std::shared_ptr<platform::SecurityScopedAccess> makeAccess() override {
        access_ = std::make_shared<HookedAccess>(&grants_);
        return access_;
    }
    std::shared_ptr<HookedAccess> access_;
};

TEST_F(SwappedPathInspectionTest, ADirectorySwappedForALinkAfterTheCheckIsNotFollowed) {
    // The folder's subdirectory passes the path check, then is replaced by a link to elsewhere
    // before it is listed: the listing opens it beneath the folder's own descriptor and refuses
    // to leave the folder.
    const fs::path outside = dir_ / "Outside";
    fs::create_directories(outside);
    writeImages(outside, 1, "secret");
    fs::create_directory(work_ / "Frames");
    writeImages(work_ / "Frames", 1, "mine");
    ASSERT_EQ(acceptedPaths(inspectPath(workID_, "Frames")),
              std::vector<std::string>{"Frames/mine0.png"});
    bool swapped = false;
    access_->beforeNextStart = [&] {
        fs::rename(work_ / "Frames", work_ / "Old");
        fs::create_directory_symlink(outside, work_ / "Frames");
        swapped = true;
    };
    const Value result = inspectPath(workID_, "Frames");
    ASSERT_TRUE(swapped);
    EXPECT_EQ(errorCode(result), "operation_failed");
    EXPECT_EQ(errorMessage(result), "The path leaves its authorized folder.");
}

TEST_F(SequenceInspectionTest, TenThousandEntriesAreListedAndOneMoreIsRefused) {
    const fs::path many = work_ / "Many";
    fs::create_directory(many);
    for (int index = 0; index < 10'000; ++index) {
        const int fd = ::open((many / ("frame" + std::to_string(index) + ".png")).c_str(),
                              O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    const Value listed = inspect(workID_, Value::Kind::String, "Many", 9'990, 500);
    EXPECT_EQ(*structured(listed).find("total_entries"), Value(10'000));
    const std::vector<std::string> page = acceptedPaths(listed);
    ASSERT_EQ(page.size(), 10U);
    EXPECT_EQ(page.front(), "Many/frame9990.png");
    EXPECT_EQ(page.back(), "Many/frame9999.png");

    touch(many / "one more");
    const Value refused = inspectPath(workID_, "Many");
    EXPECT_EQ(errorCode(refused), "too_many_entries");
    EXPECT_EQ(errorMessage(refused),
              "This folder has over 10,000 entries. Choose a smaller subfolder.");
}

TEST_F(SequenceInspectionTest, UnknownOrRemovedFoldersFailTheCall) {
    const QUuid input = inputID_;
    fs::remove_all(input_);
    const Value gone = inspect(input);
    EXPECT_EQ(errorCode(gone), "operation_failed");
    EXPECT_EQ(errorMessage(gone), "“Input” is unavailable. Choose it again in Automation Settings.");
}

}  // namespace
}  // namespace fw
