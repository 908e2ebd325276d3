#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/Bookmark.h"
#include "tests/support/TestDirectory.h"

namespace fw::platform {
namespace {

namespace fs = std::filesystem;

class BookmarkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(directory_.path().empty());
        dir_ = directory_.path();
        folder_ = dir_ / "Stills";
        fs::create_directory(folder_);
    }

    std::vector<std::uint8_t> bookmark(BookmarkScope scope = BookmarkScope::readWrite) {
        std::vector<std::uint8_t> bytes;
        EXPECT_FALSE(createBookmark(folder_, scope, bytes));
        return bytes;
    }

    testing::TestDirectory directory_;
    fs::path dir_;
    fs::path folder_;
};

TEST_F(BookmarkTest, UnchangedFolderResolvesToItsPathNotStale) {
    const auto bytes = bookmark(BookmarkScope::readOnly);
    ResolvedBookmark resolved;
    ASSERT_FALSE(resolveBookmark(bytes, resolved));
    EXPECT_EQ(resolved.path, folder_);
    EXPECT_FALSE(resolved.stale);
    EXPECT_EQ(resolved.scope, BookmarkScope::readOnly);
}

TEST_F(BookmarkTest, PathIsRecordedCanonically) {
    fs::create_directory_symlink(folder_, dir_ / "alias");
    std::vector<std::uint8_t> bytes;
    ASSERT_FALSE(createBookmark(dir_ / "alias" / ".", BookmarkScope::readWrite, bytes));
    ResolvedBookmark resolved;
    ASSERT_FALSE(resolveBookmark(bytes, resolved));
    EXPECT_EQ(resolved.path, folder_);
}

TEST_F(BookmarkTest, FolderRenamedInPlaceResolvesStaleToItsNewPath) {
    const auto bytes = bookmark();
    fs::rename(folder_, dir_ / "Stills 2");
    ResolvedBookmark resolved;
    ASSERT_FALSE(resolveBookmark(bytes, resolved));
    EXPECT_EQ(resolved.path, dir_ / "Stills 2");
    EXPECT_TRUE(resolved.stale);
}

TEST_F(BookmarkTest, MissingFolderResolvesToTheRecordedPath) {
    const auto bytes = bookmark();
    fs::remove(folder_);
    ResolvedBookmark resolved;
    ASSERT_FALSE(resolveBookmark(bytes, resolved));
    EXPECT_EQ(resolved.path, folder_);
    EXPECT_FALSE(resolved.stale);
}

TEST_F(BookmarkTest, FolderMadeAgainAtItsPathResolvesStale) {
    const auto bytes = bookmark();
    fs::remove(folder_);
    fs::create_directory(dir_ / "placeholder");  // keeps the old inode from being reused
    fs::create_directory(folder_);
    ResolvedBookmark resolved;
    ASSERT_FALSE(resolveBookmark(bytes, resolved));
    EXPECT_EQ(resolved.path, folder_);
    EXPECT_TRUE(resolved.stale);
}

TEST_F(BookmarkTest, SymbolicLinkPutInPlaceOfTheFolderIsNotTakenForIt) {
    const auto bytes = bookmark();
    fs::remove(folder_);
    fs::create_directory_symlink("/", folder_);
    ResolvedBookmark resolved;
    ASSERT_FALSE(resolveBookmark(bytes, resolved));
    EXPECT_EQ(resolved.path, folder_);
    EXPECT_FALSE(resolved.stale);
}

TEST_F(BookmarkTest, MissingPathCannotBeBookmarked) {
    std::vector<std::uint8_t> bytes;
    const auto error = createBookmark(dir_ / "absent", BookmarkScope::readWrite, bytes);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, ENOENT);
    EXPECT_EQ(error->domain, kBookmarkErrorDomain);
    EXPECT_NE(error->description.find("“absent”"), std::string::npos);
}

TEST_F(BookmarkTest, DamagedBytesDoNotResolve) {
    auto valid = bookmark();
    const std::vector<std::vector<std::uint8_t>> cases = {
        {},
        {'b', 'p', 'l', 'i', 's', 't', '0', '0'},
        std::vector<std::uint8_t>(valid.begin(), valid.begin() + valid.size() / 2),
        std::vector<std::uint8_t>(300, 0xff),
    };
    for (const auto& bytes : cases) {
        ResolvedBookmark resolved;
        EXPECT_TRUE(resolveBookmark(bytes, resolved).has_value()) << bytes.size();
    }
    // Every single flipped byte either fails cleanly or still names a path.
    for (std::size_t i = 0; i < valid.size(); ++i) {
        auto flipped = valid;
        flipped[i] ^= 0x5a;
        ResolvedBookmark resolved;
        if (!resolveBookmark(flipped, resolved)) {
            EXPECT_FALSE(resolved.path.empty());
        }
    }
}

}  // namespace
}  // namespace fw::platform
