#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "platform/OpenBeneath.h"
#include "platform/PosixError.h"
#include "platform/SystemLog.h"
#include "platform/TemporarySpace.h"
#include "tests/support/SystemLogRecorder.h"
#include "tests/support/TestDirectory.h"

namespace fw::platform {
namespace {

using testing::TestDirectory;

using testing::SystemLogRecorder;

TEST(TemporarySpace, IsAPrivateHiddenDirectoryBesideTheDestination) {
    TestDirectory directory;
    Error error;
    auto first = TemporarySpace::create(directory / "Holiday.mp4", error);
    auto second = TemporarySpace::create(directory / "Holiday.mp4", error);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->name(), second->name());
    EXPECT_EQ(first->name().rfind(".Holiday.mp4.frameweaver-", 0), 0u);
    EXPECT_TRUE(isTemporarySpaceName(first->name()));
    struct stat status {};
    ASSERT_EQ(::stat((directory / first->name()).c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    // Its path names the directory itself.
    std::ofstream(first->path() / "movie.mp4") << "x";
    EXPECT_TRUE(std::filesystem::exists(directory / first->name() / "movie.mp4"));
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
    const std::string created = space->name();
    std::string expected = ".";
    expected.append(kept).append(".frameweaver-");
    ASSERT_EQ(created.size(), expected.size() + 6);
    EXPECT_EQ(created.substr(0, expected.size()), expected);
}

TEST(TemporarySpace, IsRemovedWithItsContents) {
    TestDirectory directory;
    SystemLogRecorder log;
    std::filesystem::path made;
    {
        Error error;
        auto space = TemporarySpace::create(directory / "Holiday.mp4", error);
        ASSERT_TRUE(space);
        made = directory / space->name();
        std::ofstream(made / "movie.mp4") << "partial";
        std::filesystem::create_directories(made / "nested/deeper");
        std::ofstream(made / "nested/deeper/file") << "x";
        std::filesystem::create_symlink(directory.path(), made / "link-out");
        TemporarySpace moved = std::move(*space);
        space.reset();
        EXPECT_TRUE(std::filesystem::exists(made));
        moved.remove();
        EXPECT_FALSE(std::filesystem::exists(made));
        EXPECT_TRUE(moved.name().empty());
        EXPECT_EQ(moved.directoryFd(), -1);
    }
    // The link was removed, not followed.
    EXPECT_TRUE(std::filesystem::exists(directory.path()));
    EXPECT_TRUE(log.lines.empty());
}

TEST(TemporarySpace, IgnoresSpaceThatIsAlreadyGone) {
    TestDirectory directory;
    SystemLogRecorder log;
    Error error;
    auto space = TemporarySpace::create(directory / "Holiday.mp4", error);
    ASSERT_TRUE(space);
    std::filesystem::remove(directory / space->name());
    space.reset();
    EXPECT_TRUE(removeTemporarySpace(directory / ".never-made"));
    EXPECT_TRUE(log.lines.empty());
}

TEST(TemporarySpace, LogsAnyOtherRemovalFailure) {
    TestDirectory directory;
    SystemLogRecorder log;
    std::ofstream(directory / "plain-file") << "x";
    const auto impossible = directory / "plain-file" / ".space";
    EXPECT_FALSE(removeTemporarySpace(impossible));
    ASSERT_EQ(log.lines.size(), 1u);
    // The error's description alone: the folder may be one the user should not see named.
    EXPECT_EQ(log.lines[0], "Frameweaver could not remove temporary export space: Not a directory");
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
    const auto stuck = directory / space->name() / "movie.mp4";
    std::ofstream(stuck) << "partial";
    std::ofstream(directory / space->name() / "other") << "x";
    if (!setImmutable(stuck, true)) {
        GTEST_SKIP() << "this filesystem or user cannot make a file immutable";
    }
    // Cleared however the test ends, so the test directory can go.
    struct Unfreeze {
        std::filesystem::path path;
        ~Unfreeze() { setImmutable(path, false); }
    } unfreeze{stuck};
    {
        SystemLogRecorder log;
        space->remove();
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_EQ(log.lines[0],
                  "Frameweaver could not remove temporary export space: Operation not permitted");
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

TEST(TemporarySpace, StaysItselfWhenALinkTakesItsName) {
    TestDirectory directory;
    SystemLogRecorder log;
    std::filesystem::create_directory(directory / "elsewhere");
    std::ofstream(directory / "elsewhere" / "keep") << "theirs";
    Error error;
    auto space = TemporarySpace::create(directory / "Holiday.mp4", error);
    ASSERT_TRUE(space);
    const auto named = directory / space->name();
    std::filesystem::rename(named, directory / "moved");
    std::filesystem::create_directory_symlink(directory / "elsewhere", named);

    std::ofstream(space->path() / "movie.mp4") << "partial";
    EXPECT_TRUE(std::filesystem::exists(directory / "moved" / "movie.mp4"));
    EXPECT_FALSE(std::filesystem::exists(directory / "elsewhere" / "movie.mp4"));
    space->remove();
    EXPECT_TRUE(std::filesystem::is_empty(directory / "moved"));
    EXPECT_TRUE(std::filesystem::is_symlink(named));
    EXPECT_TRUE(std::filesystem::exists(directory / "elsewhere" / "keep"));
    EXPECT_TRUE(log.lines.empty());
}

// Sets the modification time of `path` (not following a link) to `age` ago.
void makeOld(const std::filesystem::path& path, std::chrono::seconds age) {
    struct timespec times[2] = {};
    times[0].tv_sec = times[1].tv_sec = std::time(nullptr) - age.count();
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST(TemporarySpace, SpaceNoLiveExportHoldsIsRemovedAndNothingElse) {
    using namespace std::chrono_literals;
    TestDirectory directory;
    SystemLogRecorder log;
    struct Entry {
        const char* name;
        bool directory;
        std::chrono::seconds age;  // of the entry and of what it holds
        std::chrono::seconds contentAge;
        bool removed;
    };
    // None of these is held by a live export: whatever their age, they are litter.
    const std::vector<Entry> entries = {
        {".Holiday.mp4.frameweaver-Ab3dE9", true, 4h, 4h, true},
        {".a.frameweaver-zzzzzz", true, 30h, 30h, true},
        {".Fresh.mp4.frameweaver-Ab3dE9", true, 10min, 10min, true},
        {".Busy.mp4.frameweaver-Q1w2e3", true, 4h, 1min, true},
        {"Holiday.mp4.frameweaver-Ab3dE9", true, 4h, 4h, false},   // not hidden
        {".Holiday.mp4.frameweaver-Ab3dE", true, 4h, 4h, false},   // five characters
        {".Holiday.mp4.frameweaver-Ab3dE!", true, 4h, 4h, false},  // not a letter or digit
        {".Holiday.mp4.frameweaver-Ab3dE9.old", true, 4h, 4h, false},
        {".Plain.mp4.frameweaver-Ab3dE9", false, 4h, 4h, false},  // a file
    };
    for (const Entry& entry : entries) {
        const auto path = directory / entry.name;
        if (entry.directory) {
            std::filesystem::create_directory(path);
            std::ofstream(path / "movie.mp4") << "partial";
            makeOld(path / "movie.mp4", entry.contentAge);
        } else {
            std::ofstream(path) << "x";
        }
        makeOld(path, entry.age);
    }
    // A link named like temporary space, to an old folder: neither is touched.
    std::filesystem::create_directory(directory / "target");
    std::filesystem::create_directory_symlink(directory / "target",
                                              directory / ".Link.mp4.frameweaver-Ab3dE9");
    makeOld(directory / "target", 4h);
    makeOld(directory / ".Link.mp4.frameweaver-Ab3dE9", 4h);

    OwnedFd folder;
    ASSERT_FALSE(openDirectory(directory.path(), folder));
    // The space of an export that is running, however old, stays.
    Error error;
    auto live = TemporarySpace::create(folder.get(), "Live.mp4", error);
    ASSERT_TRUE(live) << error.description;
    makeOld(directory / live->name(), 30h);
    EXPECT_EQ(removeStaleTemporarySpaces(folder.get()), 4);
    EXPECT_TRUE(std::filesystem::is_directory(directory / live->name()));
    for (const Entry& entry : entries) {
        EXPECT_EQ(std::filesystem::exists(directory / entry.name), !entry.removed) << entry.name;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(directory / ".Link.mp4.frameweaver-Ab3dE9"));
    EXPECT_TRUE(std::filesystem::exists(directory / "target"));
    EXPECT_TRUE(log.lines.empty());
}

// An export killed mid-way leaves its space; the next export into that folder removes it at once,
// since the lock went with the process, not three hours later.
TEST(TemporarySpace, TheSpaceOfAKilledExportGoesAtTheNextClearOut) {
    TestDirectory directory;
    OwnedFd folder;
    ASSERT_FALSE(openDirectory(directory.path(), folder));
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    const pid_t exporter = ::fork();
    ASSERT_GE(exporter, 0);
    if (exporter == 0) {
        Error error;
        auto space = TemporarySpace::create(folder.get(), "Killed.mp4", error);
        const char byte = space ? 1 : 0;
        [[maybe_unused]] const auto written = ::write(ready[1], &byte, 1);
        while (true) {
            ::pause();
        }
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(byte, 1);
    const auto spaces = [&] {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
            count += isTemporarySpaceName(entry.path().filename().string()) ? 1 : 0;
        }
        return count;
    };
    ASSERT_EQ(spaces(), 1);
    EXPECT_EQ(removeStaleTemporarySpaces(folder.get()), 0) << "removed while its export runs";
    ::kill(exporter, SIGKILL);
    ::waitpid(exporter, nullptr, 0);
    EXPECT_EQ(spaces(), 1);
    EXPECT_EQ(removeStaleTemporarySpaces(folder.get()), 1);
    EXPECT_EQ(spaces(), 0);
}

}  // namespace
}  // namespace fw::platform
