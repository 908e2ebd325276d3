#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "platform/AtomicMove.h"
#include "platform/OpenBeneath.h"
#include "platform/SystemLog.h"
#include "tests/support/SystemLogRecorder.h"
#include "tests/support/TestDirectory.h"

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
    int renameNoReplaceError = 0;  // errno to fail the exclusive rename with
    int linkError = 0;
    int fileFsyncError = 0;
    int directoryFsyncError = 0;
    std::filesystem::path appearingFile;  // made just before the rename: a competing writer
} injected;

bool isDirectory(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
}

FileSystemCalls recordingCalls() {
    injected = Injected{};
    FileSystemCalls calls = FileSystemCalls::system();
    calls.openAt = [](int directoryFd, const char* name, int flags) {
        injected.log.push_back("open file");
        return FileSystemCalls::system().openAt(directoryFd, name, flags);
    };
    calls.fsync = [](int fd) {
        const bool directory = isDirectory(fd);
        injected.log.push_back(directory ? "fsync directory" : "fsync file");
        const int error = directory ? injected.directoryFsyncError : injected.fileFsyncError;
        if (error != 0) {
            errno = error;
            return -1;
        }
        return FileSystemCalls::system().fsync(fd);
    };
    calls.renameNoReplace = [](int fromFd, const char* from, int toFd, const char* to) {
        injected.log.push_back("rename exclusively");
        if (!injected.appearingFile.empty()) {
            write(injected.appearingFile, "theirs");
        }
        if (injected.renameNoReplaceError != 0) {
            errno = injected.renameNoReplaceError;
            return -1;
        }
        return FileSystemCalls::system().renameNoReplace(fromFd, from, toFd, to);
    };
    calls.rename = [](int fromFd, const char* from, int toFd, const char* to) {
        injected.log.push_back("rename");
        return FileSystemCalls::system().rename(fromFd, from, toFd, to);
    };
    calls.link = [](int fromFd, const char* from, int toFd, const char* to) {
        injected.log.push_back("link");
        if (injected.linkError != 0) {
            errno = injected.linkError;
            return -1;
        }
        return FileSystemCalls::system().link(fromFd, from, toFd, to);
    };
    calls.unlink = [](int directoryFd, const char* name) {
        injected.log.push_back("unlink");
        return FileSystemCalls::system().unlink(directoryFd, name);
    };
    return calls;
}

class AtomicMoveTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::create_directory(temporary_));
        write(movie_, "new movie");
        ASSERT_FALSE(openDirectory(temporary_, space_));
        ASSERT_FALSE(openDirectory(directory_.path(), folder_));
    }

    // Moves the movie onto `name` in the folder, as the export does.
    int move(bool overwrite, const FileSystemCalls& calls = FileSystemCalls::system(),
             const char* name = "Holiday.mp4") {
        return moveIntoPlace(space_.get(), "movie.mp4", folder_.get(), name, overwrite,
                             directory_.path().native(), calls);
    }

    TestDirectory directory_;
    std::filesystem::path temporary_ = directory_ / ".space";
    std::filesystem::path movie_ = temporary_ / "movie.mp4";
    std::filesystem::path destination_ = directory_ / "Holiday.mp4";
    OwnedFd space_;
    OwnedFd folder_;
};

TEST_F(AtomicMoveTest, MovesToAFreeDestinationEitherWay) {
    for (const bool overwrite : {false, true}) {
        write(movie_, "new movie");
        std::filesystem::remove(destination_);
        EXPECT_EQ(move(overwrite), 0);
        EXPECT_EQ(read(destination_), "new movie");
        EXPECT_FALSE(std::filesystem::exists(movie_));
    }
}

TEST_F(AtomicMoveTest, KeepsAnExistingFileWithoutOverwrite) {
    write(destination_, "earlier movie");
    EXPECT_EQ(move(false), EEXIST);
    EXPECT_EQ(read(destination_), "earlier movie");
    EXPECT_EQ(read(movie_), "new movie");
}

TEST_F(AtomicMoveTest, ReplacesAnExistingFileWithOverwrite) {
    write(destination_, "earlier movie");
    EXPECT_EQ(move(true), 0);
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
        EXPECT_EQ(move(false, calls), EEXIST);
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
        EXPECT_EQ(move(false, calls), 0);
        EXPECT_EQ(read(destination_), "new movie");
        EXPECT_FALSE(std::filesystem::exists(movie_));
        EXPECT_EQ(injected.log,
                  (std::vector<std::string>{"open file", "fsync file", "rename exclusively", "link",
                                            "unlink", "fsync directory"}));
    }
}

TEST_F(AtomicMoveTest, FlushesTheFileBeforeAndTheDirectoryAfterTheRename) {
    const FileSystemCalls calls = recordingCalls();
    EXPECT_EQ(move(true, calls), 0);
    EXPECT_EQ(injected.log,
              (std::vector<std::string>{"open file", "fsync file", "rename", "fsync directory"}));
}

TEST_F(AtomicMoveTest, MovesNothingWhenTheFileCannotBeFlushed) {
    write(destination_, "earlier movie");
    const FileSystemCalls calls = recordingCalls();
    injected.fileFsyncError = EIO;
    EXPECT_EQ(move(true, calls), EIO);
    EXPECT_EQ(read(destination_), "earlier movie");
    EXPECT_EQ(read(movie_), "new movie");
}

TEST_F(AtomicMoveTest, LogsButDoesNotFailWhenTheDirectoryCannotBeFlushed) {
    testing::SystemLogRecorder log;
    const FileSystemCalls calls = recordingCalls();
    injected.directoryFsyncError = EIO;
    EXPECT_EQ(move(false, calls), 0);
    log.stop();
    EXPECT_EQ(read(destination_), "new movie");
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], "Frameweaver could not flush the folder “" + directory_.path().string() +
                            "” to disk: Input/output error");
}

TEST_F(AtomicMoveTest, ReportsTheSystemsErrorForOtherFailures) {
    std::filesystem::remove(movie_);
    EXPECT_EQ(move(false), ENOENT);
    write(movie_, "new movie");
    EXPECT_EQ(move(true, FileSystemCalls::system(), "missing/Holiday.mp4"), ENOENT);
    // A folder in the way is not replaced, with or without overwrite.
    std::filesystem::create_directory(destination_);
    EXPECT_EQ(move(false), EEXIST);
    EXPECT_EQ(move(true), EISDIR);
    EXPECT_TRUE(std::filesystem::is_directory(destination_));
    EXPECT_EQ(read(movie_), "new movie");
}

TEST_F(AtomicMoveTest, StaysInTheFoldersThatWereOpenedWhateverIsSwappedIn) {
    // Both folders are open; then each is renamed and a link to elsewhere takes its name.
    const auto elsewhere = directory_ / "elsewhere";
    std::filesystem::create_directories(elsewhere / ".space");
    std::filesystem::rename(temporary_, directory_ / ".space-moved");
    std::filesystem::create_directory_symlink(elsewhere / ".space", temporary_);
    write(elsewhere / ".space" / "movie.mp4", "not ours");
    const auto movies = directory_ / "Movies";
    std::filesystem::create_directory(movies);
    OwnedFd moviesFd;
    ASSERT_FALSE(openDirectory(movies, moviesFd));
    std::filesystem::rename(movies, directory_ / "Moved");
    std::filesystem::create_directory_symlink(elsewhere, movies);

    EXPECT_EQ(moveIntoPlace(space_.get(), "movie.mp4", moviesFd.get(), "Holiday.mp4", false,
                            movies.native()),
              0);
    EXPECT_EQ(read(directory_ / "Moved" / "Holiday.mp4"), "new movie");
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "Holiday.mp4"));
    EXPECT_EQ(read(elsewhere / ".space" / "movie.mp4"), "not ours");
}

TEST_F(AtomicMoveTest, RefusesToFlushALinkInPlaceOfTheFile) {
    write(directory_ / "other.mp4", "someone else's");
    std::filesystem::remove(movie_);
    std::filesystem::create_symlink(directory_ / "other.mp4", movie_);
    EXPECT_EQ(flushFileToDisk(space_.get(), "movie.mp4"), ELOOP);
}

}  // namespace
}  // namespace fw::platform
