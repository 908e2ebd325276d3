#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "platform/AtomicMove.h"
#include "platform/SystemLog.h"
#include "tests/platform/TestDirectory.h"

namespace fw::platform {
namespace {

using testing::TestDirectory;

void write(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string read(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

// What the injected calls saw, and what they are told to do. Function pointers carry no
// state, so it lives here; each test resets it.
struct Injected {
    std::vector<std::string> log;
    std::string directoryPath;  // path opened with O_DIRECTORY
    int directoryFd = -1;
    int renameNoReplaceError = 0;  // errno to fail the exclusive rename with
    int linkError = 0;
    int fileFsyncError = 0;
    int directoryFsyncError = 0;
    std::filesystem::path appearingFile;  // made just before the rename: a competing writer
} injected;

FileSystemCalls recordingCalls() {
    injected = Injected{};
    FileSystemCalls calls = FileSystemCalls::system();
    calls.open = [](const char* path, int flags) {
        const int fd = FileSystemCalls::system().open(path, flags);
        if ((flags & O_DIRECTORY) != 0) {
            injected.directoryPath = path;
            injected.directoryFd = fd;
            injected.log.push_back("open directory");
        } else {
            injected.log.push_back("open file");
        }
        return fd;
    };
    calls.fsync = [](int fd) {
        const bool directory = fd == injected.directoryFd;
        injected.log.push_back(directory ? "fsync directory" : "fsync file");
        const int error = directory ? injected.directoryFsyncError : injected.fileFsyncError;
        if (error != 0) {
            errno = error;
            return -1;
        }
        return FileSystemCalls::system().fsync(fd);
    };
    calls.renameNoReplace = [](const char* from, const char* to) {
        injected.log.push_back("rename exclusively");
        if (!injected.appearingFile.empty()) {
            write(injected.appearingFile, "theirs");
        }
        if (injected.renameNoReplaceError != 0) {
            errno = injected.renameNoReplaceError;
            return -1;
        }
        return FileSystemCalls::system().renameNoReplace(from, to);
    };
    calls.rename = [](const char* from, const char* to) {
        injected.log.push_back("rename");
        return FileSystemCalls::system().rename(from, to);
    };
    calls.link = [](const char* from, const char* to) {
        injected.log.push_back("link");
        if (injected.linkError != 0) {
            errno = injected.linkError;
            return -1;
        }
        return FileSystemCalls::system().link(from, to);
    };
    calls.unlink = [](const char* path) {
        injected.log.push_back("unlink");
        return FileSystemCalls::system().unlink(path);
    };
    return calls;
}

class AtomicMoveTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::create_directory(temporary_));
        write(movie_, "new movie");
    }

    TestDirectory directory_;
    std::filesystem::path temporary_ = directory_ / ".space";
    std::filesystem::path movie_ = temporary_ / "movie.mp4";
    std::filesystem::path destination_ = directory_ / "Holiday.mp4";
};

TEST_F(AtomicMoveTest, MovesToAFreeDestinationEitherWay) {
    for (const bool overwrite : {false, true}) {
        write(movie_, "new movie");
        std::filesystem::remove(destination_);
        EXPECT_EQ(moveIntoPlace(movie_, destination_, overwrite), 0);
        EXPECT_EQ(read(destination_), "new movie");
        EXPECT_FALSE(std::filesystem::exists(movie_));
    }
}

TEST_F(AtomicMoveTest, KeepsAnExistingFileWithoutOverwrite) {
    write(destination_, "earlier movie");
    EXPECT_EQ(moveIntoPlace(movie_, destination_, false), EEXIST);
    EXPECT_EQ(read(destination_), "earlier movie");
    EXPECT_EQ(read(movie_), "new movie");
}

TEST_F(AtomicMoveTest, ReplacesAnExistingFileWithOverwrite) {
    write(destination_, "earlier movie");
    EXPECT_EQ(moveIntoPlace(movie_, destination_, true), 0);
    EXPECT_EQ(read(destination_), "new movie");
    EXPECT_FALSE(std::filesystem::exists(movie_));
}

TEST_F(AtomicMoveTest, LeavesAFileThatAppearsJustBeforeTheMoveIntact) {
    // Every way of moving exclusively: the system's exclusive rename, the hard-link
    // fallback, and the look-then-rename of filesystems without hard links.
    struct Case {
        const char* name;
        int renameNoReplaceError;
        int linkError;
    };
    for (const Case& c : {Case{"exclusive rename", 0, 0}, Case{"link", EINVAL, 0},
                          Case{"look then rename", EINVAL, EPERM}}) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(destination_);
        write(movie_, "new movie");
        const FileSystemCalls calls = recordingCalls();
        injected.renameNoReplaceError = c.renameNoReplaceError;
        injected.linkError = c.linkError;
        injected.appearingFile = destination_;
        EXPECT_EQ(moveIntoPlace(movie_, destination_, false, calls), EEXIST);
        EXPECT_EQ(read(destination_), "theirs");
        EXPECT_EQ(read(movie_), "new movie");
    }
}

TEST_F(AtomicMoveTest, FallsBackToLinkAndUnlinkWhereExclusiveRenameIsMissing) {
    for (const int missing : {EINVAL, ENOSYS, EOPNOTSUPP}) {
        write(movie_, "new movie");
        std::filesystem::remove(destination_);
        const FileSystemCalls calls = recordingCalls();
        injected.renameNoReplaceError = missing;
        EXPECT_EQ(moveIntoPlace(movie_, destination_, false, calls), 0);
        EXPECT_EQ(read(destination_), "new movie");
        EXPECT_FALSE(std::filesystem::exists(movie_));
        EXPECT_EQ(injected.log,
                  (std::vector<std::string>{"open file", "fsync file", "rename exclusively", "link",
                                            "unlink", "open directory", "fsync directory"}));
    }
}

TEST_F(AtomicMoveTest, FlushesTheFileBeforeAndTheDirectoryAfterTheRename) {
    const FileSystemCalls calls = recordingCalls();
    EXPECT_EQ(moveIntoPlace(movie_, destination_, true, calls), 0);
    EXPECT_EQ(injected.log, (std::vector<std::string>{"open file", "fsync file", "rename",
                                                      "open directory", "fsync directory"}));
    EXPECT_EQ(std::filesystem::path(injected.directoryPath), directory_.path());
}

TEST_F(AtomicMoveTest, MovesNothingWhenTheFileCannotBeFlushed) {
    write(destination_, "earlier movie");
    const FileSystemCalls calls = recordingCalls();
    injected.fileFsyncError = EIO;
    EXPECT_EQ(moveIntoPlace(movie_, destination_, true, calls), EIO);
    EXPECT_EQ(read(destination_), "earlier movie");
    EXPECT_EQ(read(movie_), "new movie");
}

TEST_F(AtomicMoveTest, LogsButDoesNotFailWhenTheDirectoryCannotBeFlushed) {
    std::vector<std::string> lines;
    setSystemLogSinkForTesting(
        [&](SystemLogLevel, std::string_view line) { lines.emplace_back(line); });
    const FileSystemCalls calls = recordingCalls();
    injected.directoryFsyncError = EIO;
    EXPECT_EQ(moveIntoPlace(movie_, destination_, false, calls), 0);
    setSystemLogSinkForTesting(nullptr);
    EXPECT_EQ(read(destination_), "new movie");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Frameweaver could not flush the folder “" + directory_.path().string() +
                            "” to disk: Input/output error");
}

TEST_F(AtomicMoveTest, ReportsTheSystemsErrorForOtherFailures) {
    EXPECT_EQ(moveIntoPlace(directory_ / "missing.mp4", destination_, false), ENOENT);
    EXPECT_EQ(moveIntoPlace(movie_, directory_ / "missing/Holiday.mp4", true), ENOENT);
    // A folder in the way is not replaced, with or without overwrite.
    std::filesystem::create_directory(destination_);
    EXPECT_EQ(moveIntoPlace(movie_, destination_, false), EEXIST);
    EXPECT_EQ(moveIntoPlace(movie_, destination_, true), EISDIR);
    EXPECT_TRUE(std::filesystem::is_directory(destination_));
    EXPECT_EQ(read(movie_), "new movie");
}

}  // namespace
}  // namespace fw::platform
