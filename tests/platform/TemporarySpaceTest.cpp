#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/PosixError.h"
#include "platform/SystemLog.h"
#include "platform/TemporarySpace.h"
#include "tests/platform/TestDirectory.h"

namespace fw::platform {
namespace {

using testing::TestDirectory;

class CapturedSystemLog {
public:
    CapturedSystemLog() {
        setSystemLogSinkForTesting(
            [this](SystemLogLevel, std::string_view line) { lines.emplace_back(line); });
    }
    ~CapturedSystemLog() { setSystemLogSinkForTesting(nullptr); }
    std::vector<std::string> lines;
};

TEST(TemporarySpace, IsAPrivateHiddenDirectoryBesideTheDestination) {
    TestDirectory directory;
    Error error;
    auto first = TemporarySpace::create(directory / "Holiday.mp4", error);
    auto second = TemporarySpace::create(directory / "Holiday.mp4", error);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->directory(), second->directory());
    EXPECT_EQ(first->directory().parent_path(), directory.path());
    EXPECT_EQ(first->directory().filename().string().rfind(".Holiday.mp4.frameweaver-", 0), 0u);
    struct stat status {};
    ASSERT_EQ(::stat(first->directory().c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST(TemporarySpace, CutsALongDestinationNameAtACharacterBoundary) {
    TestDirectory directory;
    // "a" and then two-byte characters: byte 64 falls inside a character.
    std::string name = "a";
    std::string kept = "a";
    for (int i = 0; i < 60; ++i) {
        name += "é";
        if (i < 31) {
            kept += "é";
        }
    }
    Error error;
    auto space = TemporarySpace::create(directory / (name + ".mp4"), error);
    ASSERT_TRUE(space) << error.description;
    const std::string created = space->directory().filename().string();
    std::string expected = ".";
    expected.append(kept).append(".frameweaver-");
    ASSERT_EQ(created.size(), expected.size() + 6);
    EXPECT_EQ(created.substr(0, expected.size()), expected);
}

TEST(TemporarySpace, IsRemovedWithItsContents) {
    TestDirectory directory;
    CapturedSystemLog log;
    std::filesystem::path made;
    {
        Error error;
        auto space = TemporarySpace::create(directory / "Holiday.mp4", error);
        ASSERT_TRUE(space);
        made = space->directory();
        std::ofstream(made / "movie.mp4") << "partial";
        std::filesystem::create_directories(made / "nested/deeper");
        std::ofstream(made / "nested/deeper/file") << "x";
        std::filesystem::create_symlink(directory.path(), made / "link-out");
        TemporarySpace moved = std::move(*space);
        space.reset();
        EXPECT_TRUE(std::filesystem::exists(made));
        moved.remove();
        EXPECT_FALSE(std::filesystem::exists(made));
        EXPECT_TRUE(moved.directory().empty());
    }
    // The link was removed, not followed.
    EXPECT_TRUE(std::filesystem::exists(directory.path()));
    EXPECT_TRUE(log.lines.empty());
}

TEST(TemporarySpace, IgnoresSpaceThatIsAlreadyGone) {
    TestDirectory directory;
    CapturedSystemLog log;
    Error error;
    auto space = TemporarySpace::create(directory / "Holiday.mp4", error);
    ASSERT_TRUE(space);
    std::filesystem::remove(space->directory());
    space.reset();
    EXPECT_TRUE(removeTemporarySpace(directory / ".never-made"));
    EXPECT_TRUE(log.lines.empty());
}

TEST(TemporarySpace, LogsAnyOtherRemovalFailure) {
    TestDirectory directory;
    CapturedSystemLog log;
    std::ofstream(directory / "plain-file") << "x";
    const auto impossible = directory / "plain-file" / ".space";
    EXPECT_FALSE(removeTemporarySpace(impossible));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], "Frameweaver could not remove temporary export space: " +
                                impossible.string() + ": Not a directory");
}

// Sets or clears the immutable attribute of a file; false where the filesystem or the
// user's rights do not allow it.
bool setImmutable(const std::filesystem::path& path, bool immutable) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
}

TEST(TemporarySpace, LogsAFileItCannotRemoveAndRemovesTheRest) {
    TestDirectory directory;
    Error error;
    auto space = TemporarySpace::create(directory / "Holiday.mp4", error);
    ASSERT_TRUE(space);
    const auto stuck = space->directory() / "movie.mp4";
    std::ofstream(stuck) << "partial";
    std::ofstream(space->directory() / "other") << "x";
    if (!setImmutable(stuck, true)) {
        GTEST_SKIP() << "this filesystem or user cannot make a file immutable";
    }
    // Cleared however the test ends, so the test directory can go.
    struct Unfreeze {
        std::filesystem::path path;
        ~Unfreeze() { setImmutable(path, false); }
    } unfreeze{stuck};
    {
        CapturedSystemLog log;
        space->remove();
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_EQ(log.lines[0], "Frameweaver could not remove temporary export space: " +
                                    stuck.parent_path().string() + ": Operation not permitted");
    }
    EXPECT_TRUE(std::filesystem::exists(stuck));
    EXPECT_FALSE(std::filesystem::exists(stuck.parent_path() / "other"));
}

TEST(TemporarySpace, ReportsWhyItCouldNotBeMade) {
    TestDirectory directory;
    Error error;
    EXPECT_FALSE(TemporarySpace::create(directory / "missing/Holiday.mp4", error));
    EXPECT_EQ(error.domain, kPosixErrorDomain);
    EXPECT_EQ(error.code, ENOENT);
    EXPECT_EQ(error.description, "No such file or directory");
}

}  // namespace
}  // namespace fw::platform
