#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/OpenBeneath.h"
#include "tests/support/TestDirectory.h"

namespace fw::platform {
namespace {

namespace fs = std::filesystem;

// Each case runs with the kernel's resolution and with the component walk.
class OpenBeneathTest : public ::testing::TestWithParam<BeneathResolution> {
protected:
    void SetUp() override {
        ASSERT_FALSE(directory_.path().empty());
        dir_ = directory_.path();
        root_ = dir_ / "root";
        outside_ = dir_ / "outside";
        fs::create_directories(root_ / "sub" / "deeper");
        fs::create_directories(outside_);
        std::ofstream(root_ / "sub" / "inside.txt") << "inside";
        std::ofstream(outside_ / "secret.txt") << "secret";
        ASSERT_FALSE(openDirectory(root_, rootFd_));
    }

    // 0 when it opened, else the errno value.
    int open(const std::string& path, int flags = O_RDONLY, OwnedFd* out = nullptr) {
        OwnedFd fd;
        auto error = openBeneath(rootFd_.get(), path, flags, 0644, fd, GetParam());
        if (error) {
            EXPECT_EQ(error->domain, kPosixErrorDomain);
            return error->code;
        }
        EXPECT_TRUE(fd.valid());
        if (out != nullptr) {
            *out = std::move(fd);
        }
        return 0;
    }

    static std::string contents(int fd) {
        char buffer[64] = {};
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

    testing::TestDirectory directory_;
    fs::path dir_, root_, outside_;
    OwnedFd rootFd_;
};

TEST_P(OpenBeneathTest, PathsInsideOpen) {
    fs::create_symlink("inside.txt", root_ / "sub" / "alias.txt");
    fs::create_directory_symlink("../..", root_ / "sub" / "deeper" / "up");
    const std::vector<std::string> cases = {"sub/inside.txt", "sub/alias.txt",
                                            "sub/deeper/../inside.txt",
                                            "sub/deeper/up/sub/inside.txt", "./sub/inside.txt"};
    for (const std::string& path : cases) {
        OwnedFd fd;
        ASSERT_EQ(open(path, O_RDONLY, &fd), 0) << path;
        EXPECT_EQ(contents(fd.get()), "inside") << path;
    }
}

TEST_P(OpenBeneathTest, PathsLeavingTheFolderAreRefused) {
    fs::create_symlink(outside_ / "secret.txt", root_ / "absolute");
    fs::create_symlink("../outside/secret.txt", root_ / "relative");
    fs::create_directory_symlink("../../outside", root_ / "sub" / "escape");
    fs::create_symlink("/proc/self/root/etc/hostname", root_ / "magic");
    const std::vector<std::string> cases = {
        "absolute",          "relative", "sub/escape/secret.txt", "../outside/secret.txt",
        "sub/../../outside", "magic",    "/etc/hostname"};
    for (const std::string& path : cases) {
        EXPECT_EQ(open(path), EXDEV) << path;
    }
}

TEST_P(OpenBeneathTest, SymbolicLinkLoopEnds) {
    fs::create_symlink("b", root_ / "a");
    fs::create_symlink("a", root_ / "b");
    EXPECT_EQ(open("a"), ELOOP);
}

TEST_P(OpenBeneathTest, FinalLinkWithNoFollowIsRefused) {
    fs::create_symlink("inside.txt", root_ / "sub" / "alias.txt");
    EXPECT_EQ(open("sub/alias.txt", O_RDONLY | O_NOFOLLOW), ELOOP);
}

TEST_P(OpenBeneathTest, CreatesInsideButNeverThroughALinkOutside) {
    OwnedFd fd;
    ASSERT_EQ(open("sub/new.mp4", O_WRONLY | O_CREAT | O_EXCL, &fd), 0);
    EXPECT_TRUE(fs::exists(root_ / "sub" / "new.mp4"));
    fs::create_symlink(outside_ / "planted.mp4", root_ / "dangling");
    EXPECT_EQ(open("dangling", O_WRONLY | O_CREAT), EXDEV);
    EXPECT_FALSE(fs::exists(outside_ / "planted.mp4"));
}

TEST_P(OpenBeneathTest, FolderSwappedForALinkAfterACheckCannotLeadOutside) {
    ASSERT_EQ(open("sub/inside.txt"), 0);
    fs::rename(root_ / "sub", dir_ / "moved");
    fs::create_directory_symlink(outside_, root_ / "sub");
    std::ofstream(outside_ / "inside.txt") << "outside";
    EXPECT_EQ(open("sub/inside.txt"), EXDEV);
    EXPECT_EQ(open("sub/new.mp4", O_WRONLY | O_CREAT), EXDEV);
    EXPECT_FALSE(fs::exists(outside_ / "new.mp4"));
}

TEST_P(OpenBeneathTest, EmptyPathOpensTheFolderItself) {
    OwnedFd fd;
    ASSERT_EQ(open("", O_RDONLY | O_DIRECTORY, &fd), 0);
    struct stat a {
    }, b{};
    ASSERT_EQ(::fstat(fd.get(), &a), 0);
    ASSERT_EQ(::fstat(rootFd_.get(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(open("missing/file"), ENOENT);
}

INSTANTIATE_TEST_SUITE_P(Resolutions, OpenBeneathTest,
                         ::testing::Values(BeneathResolution::kernel, BeneathResolution::walk),
                         [](const auto& info) {
                             return info.param == BeneathResolution::kernel ? "Kernel" : "Walk";
                         });

TEST(OpenDirectory, RefusesASymbolicLinkInPlaceOfTheFolder) {
    // The kernel reports ENOTDIR or ELOOP for O_DIRECTORY | O_NOFOLLOW on a link.
    const testing::TestDirectory directory;
    const fs::path& dir = directory.path();
    fs::create_directory_symlink("/", dir / "link");
    OwnedFd fd;
    const auto error = openDirectory(dir / "link", fd);
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->code == ENOTDIR || error->code == ELOOP) << error->code;
}

TEST(OpenBeneathWithoutLinks, OpensPlainPathsAndNoLinkAnywhereOnTheWay) {
    const testing::TestDirectory directory;
    const fs::path& dir = directory.path();
    fs::create_directories(dir / "root" / "sub");
    fs::create_directories(dir / "outside");
    std::ofstream(dir / "root" / "sub" / "movie.mp4") << "movie";
    std::ofstream(dir / "outside" / "movie.mp4") << "secret";
    fs::create_symlink("movie.mp4", dir / "root" / "sub" / "alias.mp4");
    fs::create_directory_symlink("sub", dir / "root" / "inner");
    fs::create_directory_symlink(dir / "outside", dir / "root" / "away");
    OwnedFd root;
    ASSERT_FALSE(openDirectory(dir / "root", root));

    OwnedFd file;
    ASSERT_FALSE(openBeneathWithoutLinks(root.get(), "sub/movie.mp4", O_RDONLY, file));
    char buffer[16] = {};
    EXPECT_EQ(::pread(file.get(), buffer, sizeof buffer, 0), 5);
    EXPECT_STREQ(buffer, "movie");

    struct Case {
        const char* path;
        std::vector<int> errors;  // any of these
    };
    for (const Case& c :
         {Case{"sub/alias.mp4", {ELOOP}},             // a link to a file inside
          Case{"inner/movie.mp4", {ENOTDIR, ELOOP}},  // a folder link inside
          Case{"away/movie.mp4", {ENOTDIR, ELOOP}},   // a folder link outside
          Case{"sub/../sub/movie.mp4", {EXDEV}}, Case{"/etc/passwd", {EXDEV}}, Case{"", {EXDEV}}}) {
        OwnedFd refused;
        const auto error = openBeneathWithoutLinks(root.get(), c.path, O_RDONLY, refused);
        ASSERT_TRUE(error.has_value()) << c.path;
        EXPECT_FALSE(refused.valid()) << c.path;
        EXPECT_EQ(error->domain, kPosixErrorDomain);
        EXPECT_NE(std::find(c.errors.begin(), c.errors.end(), error->code), c.errors.end())
            << c.path << ": " << error->code;
    }
}

}  // namespace
}  // namespace fw::platform
