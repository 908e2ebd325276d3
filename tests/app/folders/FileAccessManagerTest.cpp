#include <fcntl.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "app/folders/FileAccessManager.h"
#include "platform/AccessGrants.h"
#include "platform/SecurityScopedAccess.h"
#include "platform/UserDefaults.h"
#include "tests/support/TestDirectory.h"

namespace fw {
namespace {

namespace fs = std::filesystem;
using Kind = FileAccessError::Kind;

// The real bookmarks and grants, with every start and stop counted, and failures on demand.
class CountingAccess : public platform::SecurityScopedAccess {
public:
    explicit CountingAccess(platform::AccessGrants* grants) : SecurityScopedAccess(grants) {}

    std::optional<platform::Error> resolveBookmark(std::span<const std::uint8_t> bytes,
                                                   platform::ResolvedBookmark& out) override {
        ++resolves;
        if (failResolve) {
            return platform::Error("TestDomain", 1, "The bookmark no longer resolves.");
        }
        return SecurityScopedAccess::resolveBookmark(bytes, out);
    }
    bool startAccessing(const fs::path& path) override {
        if (failStart.contains(path)) {
            return false;
        }
        if (!SecurityScopedAccess::startAccessing(path)) {
            return false;
        }
        ++active[path];
        startOrder.push_back(path);
        return true;
    }
    void stopAccessing(const fs::path& path) override {
        --active[path];
        stopOrder.push_back(path);
        SecurityScopedAccess::stopAccessing(path);
    }
    int totalActive() const {
        int total = 0;
        for (const auto& [path, count] : active) {
            EXPECT_GE(count, 0) << path;
            total += count;
        }
        return total;
    }

    int resolves = 0;
    bool failResolve = false;
    std::set<fs::path> failStart;
    std::map<fs::path, int> active;
    std::vector<fs::path> startOrder;
    std::vector<fs::path> stopOrder;
};

class FolderStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(directory_.path().empty());
        dir_ = directory_.path();
        stills_ = dir_ / "Stills";
        movies_ = dir_ / "Movies";
        outside_ = dir_ / "Outside";
        for (const fs::path& folder : {stills_ / "sub", movies_ / "sub", outside_}) {
            fs::create_directories(folder);
        }
        std::ofstream(stills_ / "a.png") << "a";
        std::ofstream(stills_ / "b.png") << "b";
        std::ofstream(stills_ / "sub" / "c.png") << "c";
        std::ofstream(outside_ / "secret.png") << "secret";
        defaults_ = std::make_unique<platform::UserDefaults>(
            dir_ / "config" / "UserDefaults.plist",
            [this](const fs::path& file, std::span<const std::uint8_t> bytes) {
                ++writes_;
                if (failWrites_) {
                    return std::optional<platform::Error>(platform::Error(
                        platform::kUserDefaultsErrorDomain, ENOSPC, "The disk is full."));
                }
                return platform::UserDefaults::writeFileAtomically(file, bytes);
            });
        access_ = std::make_shared<CountingAccess>(&grants_);
    }
    void TearDown() override {
        if (access_) {
            EXPECT_EQ(access_->totalActive(), 0) << "access left started";
        }
    }

    std::unique_ptr<FileAccessManager> makeStore() {
        FileAccessManager::Options options;
        options.defaults = defaults_.get();
        options.access = access_;
        options.log = [this](std::string_view line) { logs_.emplace_back(line); };
        auto store = std::make_unique<FileAccessManager>(std::move(options));
        QObject::connect(store.get(), &FileAccessManager::foldersChanged,
                         [this] { ++folderChanges_; });
        return store;
    }

    AuthorizedFolder authorize(FileAccessManager& store, const fs::path& folder, bool writable) {
        auto result = store.authorize(folder, writable);
        EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().description);
        return result.ok() ? result.value() : AuthorizedFolder{};
    }

    template <class T>
    static std::optional<Kind> kindOf(const FileAccessResult<T>& result) {
        return result.ok() ? std::nullopt : FileAccessError::kindOf(result.error());
    }

    testing::TestDirectory directory_;
    fs::path dir_, stills_, movies_, outside_;
    std::unique_ptr<platform::UserDefaults> defaults_;
    platform::AccessGrants grants_;
    std::shared_ptr<CountingAccess> access_;
    std::vector<std::string> logs_;
    int writes_ = 0;
    bool failWrites_ = false;
    int folderChanges_ = 0;
};

TEST_F(FolderStoreTest, RelativePathRule) {
    auto store = makeStore();
    const AuthorizedFolder movies = authorize(*store, movies_, true);
    struct Case {
        std::string path;
        std::optional<Kind> failure;
    };
    const std::vector<Case> cases = {
        {"", Kind::invalidRelativePath},
        {"/a", Kind::invalidRelativePath},
        {"a/", Kind::invalidRelativePath},
        {"a//b", Kind::invalidRelativePath},
        {".", Kind::invalidRelativePath},
        {"..", Kind::invalidRelativePath},
        {"sub/../new.mp4", Kind::invalidRelativePath},
        {"./new.mp4", Kind::invalidRelativePath},
        {"a\\b", Kind::invalidRelativePath},
        {std::string("a\0b", 3), Kind::invalidRelativePath},
        {"sub/new.mp4", std::nullopt},
        {"new.mp4", std::nullopt},
        {"not yet/there.mp4", std::nullopt},
    };
    for (const Case& c : cases) {
        auto result = store->resolve(movies.id, c.path, true);
        EXPECT_EQ(kindOf(result), c.failure) << c.path;
        if (result.ok()) {
            EXPECT_EQ(result.value(), movies_ / c.path) << c.path;
        } else {
            EXPECT_EQ(result.error().description,
                      "Use a relative path without . or .. components.");
        }
    }
}

TEST_F(FolderStoreTest, SymbolicLinksLeadingOutsideOrBackAtTheFolderAreRefused) {
    fs::create_directory_symlink(outside_, stills_ / "elsewhere");
    fs::create_symlink(outside_ / "secret.png", stills_ / "secret.png");
    fs::create_directory_symlink(".", stills_ / "self");
    fs::create_symlink("sub/c.png", stills_ / "alias.png");
    auto store = makeStore();
    const AuthorizedFolder stills = authorize(*store, stills_, false);
    for (const std::string path : {"elsewhere/secret.png", "secret.png", "self"}) {
        auto resolved = store->resolve(stills.id, path, false);
        EXPECT_EQ(kindOf(resolved), Kind::escapedFolder) << path;
        auto opened = store->open(stills.id, path, O_RDONLY);
        EXPECT_EQ(kindOf(opened), Kind::escapedFolder) << path;
    }
    EXPECT_EQ(FileAccessError::escapedFolder().description(),
              "The path leaves its authorized folder.");
    auto inside = store->resolve(stills.id, "alias.png", false);
    ASSERT_TRUE(inside.ok());
    EXPECT_EQ(inside.value(), stills_ / "sub" / "c.png");
    EXPECT_TRUE(store->open(stills.id, "alias.png", O_RDONLY).ok());
}

TEST_F(FolderStoreTest, LinkSwappedInBetweenResolveAndOpenCannotLeadOutside) {
    std::ofstream(outside_ / "c.png") << "outside";
    auto store = makeStore();
    const AuthorizedFolder movies = authorize(*store, movies_, true);
    ASSERT_TRUE(store->resolve(movies.id, "sub/new.mp4", true).ok());

    fs::rename(movies_ / "sub", dir_ / "moved");
    fs::create_directory_symlink(outside_, movies_ / "sub");
    auto written = store->open(movies.id, "sub/new.mp4", O_WRONLY | O_CREAT | O_EXCL, 0644);
    EXPECT_EQ(kindOf(written), Kind::escapedFolder);
    EXPECT_FALSE(fs::exists(outside_ / "new.mp4"));
    EXPECT_EQ(kindOf(store->open(movies.id, "sub/c.png", O_RDONLY)), Kind::escapedFolder);

    fs::remove(movies_ / "sub");
    fs::rename(dir_ / "moved", movies_ / "sub");
    auto created = store->open(movies.id, "sub/new.mp4", O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_TRUE(created.ok()) << created.error().description;
    EXPECT_TRUE(fs::exists(movies_ / "sub" / "new.mp4"));
}

TEST_F(FolderStoreTest, InputFoldersRefuseWritingBeforeTheirBookmarkIsTouched) {
    auto store = makeStore();
    const AuthorizedFolder stills = authorize(*store, stills_, false);
    access_->resolves = 0;
    auto resolved = store->resolve(stills.id, "out.mp4", true);
    EXPECT_EQ(kindOf(resolved), Kind::readOnlyFolder);
    EXPECT_EQ(resolved.error().description,
              "This folder is authorized for input only. Authorize an output folder in "
              "Automation Settings.");
    EXPECT_EQ(access_->resolves, 0);
    EXPECT_EQ(kindOf(store->open(stills.id, "out.mp4", O_WRONLY | O_CREAT)), Kind::readOnlyFolder);
    EXPECT_EQ(kindOf(store->open(stills.id, "a.png", O_RDWR)), Kind::readOnlyFolder);
    EXPECT_FALSE(fs::exists(stills_ / "out.mp4"));

    EXPECT_TRUE(store->resolve(stills.id, "a.png", false).ok());
    EXPECT_TRUE(store->open(stills.id, "a.png", O_RDONLY).ok());
    // Leasing for writing skips input folders; automation then has no way in.
    EXPECT_EQ(kindOf(store->lease({}, {stills_ / "out.mp4"})), Kind::unauthorized);
    EXPECT_TRUE(store->lease({stills_ / "a.png"}, {}).ok());
}

TEST_F(FolderStoreTest, UnknownFolderIsMissingWhateverThePath) {
    auto store = makeStore();
    const QUuid unknown = QUuid::createUuid();
    for (const std::string path : {"", "a.png", "../x"}) {
        EXPECT_EQ(kindOf(store->resolve(unknown, path, false)), Kind::missingFolder) << path;
    }
    EXPECT_EQ(kindOf(store->folderURL(unknown)), Kind::missingFolder);
    EXPECT_EQ(kindOf(store->open(unknown, "a.png", O_RDONLY)), Kind::missingFolder);
    EXPECT_EQ(kindOf(store->reauthorize(unknown, stills_)), Kind::missingFolder);
    EXPECT_FALSE(store->pathHint(unknown).has_value());
}

TEST_F(FolderStoreTest, StatusesAndTheErrorsThatGoWithThem) {
    auto store = makeStore();
    const AuthorizedFolder stills = authorize(*store, stills_, false);
    EXPECT_EQ(store->status(stills), "Available");

    fs::rename(stills_, dir_ / "gone");
    fs::remove_all(dir_ / "gone");
    EXPECT_EQ(store->status(stills), "Folder unavailable");
    auto unavailable = store->resolve(stills.id, "a.png", false);
    EXPECT_EQ(kindOf(unavailable), Kind::unavailable);
    EXPECT_EQ(unavailable.error().description,
              "“Stills” is unavailable. Choose it again in Automation Settings.");
    EXPECT_EQ(kindOf(store->folderURL(stills.id)), Kind::unavailable);
    EXPECT_EQ(kindOf(store->open(stills.id, "a.png", O_RDONLY)), Kind::unavailable);

    access_->failResolve = true;
    EXPECT_EQ(store->status(stills), "Reauthorization needed");
    auto expired = store->resolve(stills.id, "a.png", false);
    EXPECT_EQ(kindOf(expired), Kind::unauthorized);
    EXPECT_EQ(expired.error().description,
              "Access to “Stills” has expired. Choose it again in Automation Settings.");

    access_->failResolve = false;
    fs::create_directory(stills_);
    access_->failStart.insert(stills_);
    EXPECT_EQ(store->status(stills), "Reauthorization needed");
    EXPECT_EQ(kindOf(store->resolve(stills.id, "a.png", false)), Kind::unauthorized);
    access_->failStart.clear();

    ASSERT_TRUE(store->remove(stills).ok());
    EXPECT_EQ(store->status(stills), "Removed");
}

TEST_F(FolderStoreTest, FolderURLNeedsADirectory) {
    auto store = makeStore();
    const AuthorizedFolder movies = authorize(*store, movies_, true);
    auto url = store->folderURL(movies.id);
    ASSERT_TRUE(url.ok());
    EXPECT_EQ(url.value(), movies_);
    fs::remove_all(movies_);
    std::ofstream(movies_) << "a file where the folder was";
    EXPECT_EQ(store->status(movies), "Available");  // something exists there
    EXPECT_EQ(kindOf(store->folderURL(movies.id)), Kind::unavailable);
    EXPECT_EQ(kindOf(store->openFolder(movies.id, false)), Kind::unavailable);
}

TEST_F(FolderStoreTest, StaleBookmarkIsRefreshedAndSavedWithItsNewPath) {
    auto store = makeStore();
    const AuthorizedFolder stills = authorize(*store, stills_, false);
    EXPECT_EQ(store->pathHint(stills.id), stills_.string());
    const fs::path renamed = dir_ / "Stills (renamed)";
    fs::rename(stills_, renamed);

    EXPECT_EQ(store->status(stills), "Available");
    EXPECT_EQ(store->pathHint(stills.id), renamed.string());
    auto resolved = store->resolve(stills.id, "a.png", false);
    ASSERT_TRUE(resolved.ok());
    EXPECT_EQ(resolved.value(), renamed / "a.png");

    // Saved: a store loaded afresh finds the new path without another refresh.
    auto reloaded = makeStore();
    EXPECT_EQ(reloaded->pathHint(stills.id), renamed.string());
    ASSERT_EQ(reloaded->folders().size(), 1u);
    EXPECT_EQ(reloaded->folders()[0], stills);  // the name stays as chosen
    const int writesBefore = writes_;
    EXPECT_EQ(reloaded->status(stills), "Available");
    EXPECT_EQ(writes_, writesBefore);
}

TEST_F(FolderStoreTest, LeasesStartThroughFoldersAndStopLastToFirst) {
    auto store = makeStore();
    const AuthorizedFolder stills = authorize(*store, stills_, false);
    const AuthorizedFolder movies = authorize(*store, movies_, true);
    (void)stills;
    (void)movies;
    grants_.grant(outside_ / "secret.png");  // handed over by the user
    access_->startOrder.clear();
    access_->stopOrder.clear();
    access_->resolves = 0;
    {
        auto lease = store->lease({stills_ / "a.png", outside_ / "secret.png", stills_ / "sub"},
                                  {movies_ / "sub" / "new.mp4"});
        ASSERT_TRUE(lease.ok()) << lease.error().description;
        // One look at each folder's bookmark, however many files the lease covers.
        EXPECT_EQ(access_->resolves, 2);
        const std::vector<fs::path> expected = {stills_, outside_ / "secret.png", stills_, movies_};
        EXPECT_EQ(lease.value()->startedURLs(), expected);
        EXPECT_EQ(access_->active[stills_], 2);
        EXPECT_EQ(access_->active[movies_], 1);
        auto copy = lease.value();  // shared: released only with the last holder
        lease = FileAccessResult<FileAccessLeasePtr>(FileAccessLeasePtr());
        EXPECT_EQ(access_->totalActive(), 4);
    }
    const std::vector<fs::path> reversed = {movies_, stills_, outside_ / "secret.png", stills_};
    EXPECT_EQ(access_->stopOrder, reversed);
    EXPECT_EQ(access_->totalActive(), 0);
}

TEST_F(FolderStoreTest, LeaseWhoseSecondURLFailsStopsTheFirst) {
    auto store = makeStore();
    authorize(*store, stills_, false);
    access_->stopOrder.clear();
    auto lease = store->lease({stills_ / "a.png", outside_ / "secret.png"}, {});
    EXPECT_EQ(kindOf(lease), Kind::unauthorized);
    EXPECT_EQ(lease.error().description,
              "Access to “secret.png” has expired. Choose it again in Automation Settings.");
    EXPECT_EQ(access_->stopOrder, std::vector<fs::path>{stills_});
    EXPECT_EQ(kindOf(store->lease({"relative.png"}, {})), Kind::invalidURL);
}

TEST_F(FolderStoreTest, EmptyLeaseHoldsNothing) {
    auto store = makeStore();
    auto lease = store->lease({}, {});
    ASSERT_TRUE(lease.ok());
    EXPECT_TRUE(lease.value()->startedURLs().empty());
}

TEST_F(FolderStoreTest, LinkOutOfAFolderIsNotLeasedThroughIt) {
    fs::create_symlink(outside_ / "secret.png", stills_ / "secret.png");
    auto store = makeStore();
    authorize(*store, stills_, false);
    EXPECT_EQ(kindOf(store->lease({stills_ / "secret.png"}, {})), Kind::escapedFolder);
}

TEST_F(FolderStoreTest, PlainPermissionsServeOnlyTheUsersOwnChoices) {
    auto store = makeStore();
    platform::Error error;
    auto userLease = store->leaseForReadingURLs({outside_ / "secret.png"}, &error);
    ASSERT_NE(userLease, nullptr);
    EXPECT_TRUE(userLease->startedURLs().empty());
    EXPECT_NE(store->leaseForWritingURLs({outside_ / "new.mp4"}, nullptr), nullptr);

    auto automation = store->lease({outside_ / "secret.png"}, {});
    EXPECT_EQ(kindOf(automation), Kind::unauthorized);
    EXPECT_EQ(kindOf(store->lease({}, {outside_ / "new.mp4"})), Kind::unauthorized);

    EXPECT_EQ(store->leaseForReadingURLs({outside_ / "missing.png"}, &error), nullptr);
    EXPECT_EQ(error.description,
              "Access to “missing.png” has expired. Choose it again in Automation Settings.");
    EXPECT_EQ(store->leaseForReadingURLs({outside_ / "missing.png"}, nullptr), nullptr);
}

TEST_F(FolderStoreTest, AuthorizingAppendsAFreshRecordEveryTime) {
    auto store = makeStore();
    const AuthorizedFolder first = authorize(*store, stills_, false);
    const AuthorizedFolder second = authorize(*store, stills_ / "", true);
    EXPECT_NE(first.id, second.id);
    EXPECT_EQ(second.name, "Stills");
    EXPECT_EQ(store->folders(), (std::vector<AuthorizedFolder>{first, second}));
    EXPECT_EQ(folderChanges_, 2);

    auto relative = store->authorize("Stills", true);
    EXPECT_EQ(kindOf(relative), Kind::invalidURL);
    EXPECT_EQ(relative.error().description, "Choose a local file or folder.");
    auto missing = store->authorize(dir_ / "absent", true);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().domain, platform::kBookmarkErrorDomain);
    EXPECT_EQ(store->folders().size(), 2u);
    EXPECT_EQ(makeStore()->folders(), store->folders());
}

TEST_F(FolderStoreTest, ReauthorizingKeepsIdentifierAndWritability) {
    auto store = makeStore();
    const AuthorizedFolder folder = authorize(*store, stills_, false);
    ASSERT_TRUE(store->reauthorize(folder, outside_).ok());
    ASSERT_EQ(store->folders().size(), 1u);
    EXPECT_EQ(store->folders()[0], (AuthorizedFolder{folder.id, "Outside", false}));
    EXPECT_EQ(store->pathHint(folder.id), outside_.string());
    auto resolved = store->resolve(folder.id, "secret.png", false);
    ASSERT_TRUE(resolved.ok());
    EXPECT_EQ(resolved.value(), outside_ / "secret.png");
    EXPECT_EQ(kindOf(store->reauthorize(folder, "Outside")), Kind::invalidURL);
}

TEST_F(FolderStoreTest, RemovingAnUnknownFolderStillRewritesTheList) {
    auto store = makeStore();
    const AuthorizedFolder folder = authorize(*store, stills_, false);
    const int writesBefore = writes_;
    const int changesBefore = folderChanges_;
    ASSERT_TRUE(store->remove(QUuid::createUuid()).ok());
    EXPECT_EQ(writes_, writesBefore + 1);
    EXPECT_EQ(folderChanges_, changesBefore);  // nothing changed, nothing announced
    ASSERT_TRUE(store->remove(folder).ok());
    EXPECT_TRUE(store->folders().empty());
    EXPECT_EQ(folderChanges_, changesBefore + 1);
}

TEST_F(FolderStoreTest, FailedSaveFailsTheChangeAndKeepsTheList) {
    auto store = makeStore();
    const AuthorizedFolder folder = authorize(*store, stills_, false);
    const int changesBefore = folderChanges_;
    failWrites_ = true;

    auto added = store->authorize(movies_, true);
    ASSERT_FALSE(added.ok());
    EXPECT_EQ(added.error().description, "The disk is full.");
    auto renamed = store->reauthorize(folder, outside_);
    ASSERT_FALSE(renamed.ok());
    auto removed = store->remove(folder);
    ASSERT_FALSE(removed.ok());
    EXPECT_EQ(removed.error().code, ENOSPC);

    EXPECT_EQ(store->folders(), std::vector<AuthorizedFolder>{folder});
    EXPECT_EQ(store->pathHint(folder.id), stills_.string());
    EXPECT_EQ(folderChanges_, changesBefore);
    failWrites_ = false;
    EXPECT_EQ(makeStore()->folders(), std::vector<AuthorizedFolder>{folder});
}

TEST_F(FolderStoreTest, StoredListHasTheBinaryPropertyListLayout) {
    auto store = makeStore();
    const AuthorizedFolder folder = authorize(*store, movies_, true);
    const auto bytes = defaults_->dataForKey(FileAccessManager::kStoredFoldersKey);
    ASSERT_TRUE(bytes.has_value());
    ASSERT_GE(bytes->size(), 8u);
    EXPECT_EQ(std::string(bytes->begin(), bytes->begin() + 8), "bplist00");
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(bytes->data()),
                   static_cast<std::uint32_t>(bytes->size()), &root);
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(plist_get_node_type(root), PLIST_ARRAY);
    ASSERT_EQ(plist_array_get_size(root), 1u);
    plist_t record = plist_array_get_item(root, 0);
    EXPECT_EQ(plist_dict_get_size(record), 3u);
    EXPECT_EQ(plist_get_node_type(plist_dict_get_item(record, "bookmark")), PLIST_DATA);
    EXPECT_EQ(plist_string_val_compare(plist_dict_get_item(record, "pathHint"), movies_.c_str()),
              0);
    plist_t entry = plist_dict_get_item(record, "folder");
    EXPECT_EQ(plist_dict_get_size(entry), 3u);
    EXPECT_EQ(plist_string_val_compare(plist_dict_get_item(entry, "id"), folder.idString().c_str()),
              0);
    EXPECT_EQ(plist_string_val_compare(plist_dict_get_item(entry, "name"), "Movies"), 0);
    EXPECT_TRUE(plist_bool_val_is_true(plist_dict_get_item(entry, "writable")));
    plist_free(root);
    EXPECT_EQ(folder.idString().size(), 36u);
    EXPECT_EQ(folder.idString(), QString::fromStdString(folder.idString()).toUpper().toStdString());
}

// Builds a stored list whose middle entry is damaged.
std::vector<std::uint8_t> listWithDamagedRecord(const std::vector<std::uint8_t>& good) {
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(good.data()),
                   static_cast<std::uint32_t>(good.size()), &root);
    plist_t damaged = plist_new_dict();
    plist_dict_set_item(damaged, "folder", plist_new_string("not a folder"));
    plist_dict_set_item(damaged, "bookmark", plist_new_data("x", 1));
    plist_array_insert_item(root, damaged, 1);
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    std::vector<std::uint8_t> out(bytes, bytes + length);
    plist_to_bin_free(bytes);
    plist_free(root);
    return out;
}

TEST_F(FolderStoreTest, OneUnreadableRecordKeepsTheOthers) {
    std::vector<AuthorizedFolder> kept;
    {
        auto store = makeStore();
        kept.push_back(authorize(*store, stills_, false));
        kept.push_back(authorize(*store, movies_, true));
    }
    const auto good = *defaults_->dataForKey(FileAccessManager::kStoredFoldersKey);
    const auto damaged = listWithDamagedRecord(good);
    ASSERT_FALSE(defaults_->set(FileAccessManager::kStoredFoldersKey, damaged));

    auto store = makeStore();
    EXPECT_EQ(store->folders(), kept);
    EXPECT_EQ(defaults_->dataForKey(FileAccessManager::kUnreadableFoldersKey), damaged);
    ASSERT_EQ(logs_.size(), 1u);
    EXPECT_NE(logs_[0].find("1 stored folder authorization(s) could not be read"),
              std::string::npos);
    EXPECT_EQ(store->status(kept[1]), "Available");

    // The next change saves the readable records; the damaged bytes stay aside.
    ASSERT_TRUE(store->remove(kept[0]).ok());
    EXPECT_EQ(defaults_->dataForKey(FileAccessManager::kUnreadableFoldersKey), damaged);
    EXPECT_EQ(makeStore()->folders(), std::vector<AuthorizedFolder>{kept[1]});
    EXPECT_EQ(logs_.size(), 1u);
}

TEST_F(FolderStoreTest, UnreadableListIsKeptAsideAndTheStoreStartsEmpty) {
    const std::vector<std::vector<std::uint8_t>> cases = {
        {'n', 'o', 't', ' ', 'a', ' ', 'l', 'i', 's', 't'},
        {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xff, 0x00, 0x13},
    };
    for (const auto& bytes : cases) {
        logs_.clear();
        ASSERT_FALSE(defaults_->set(FileAccessManager::kStoredFoldersKey, bytes));
        auto store = makeStore();
        EXPECT_TRUE(store->folders().empty());
        EXPECT_EQ(logs_.size(), 1u);
        const auto aside = defaults_->dataForKey(FileAccessManager::kUnreadableFoldersKey);
        const auto second =
            defaults_->dataForKey(std::string(FileAccessManager::kUnreadableFoldersKey) + ".2");
        EXPECT_TRUE(aside == bytes || second == bytes);
    }
    // Both damaged lists are still there, one under each key.
    EXPECT_EQ(defaults_->dataForKey(FileAccessManager::kUnreadableFoldersKey), cases[0]);

    // A value of another type is kept aside as it is.
    logs_.clear();
    ASSERT_FALSE(defaults_->set(FileAccessManager::kStoredFoldersKey, std::string("text")));
    EXPECT_TRUE(makeStore()->folders().empty());
    EXPECT_EQ(logs_.size(), 1u);
    EXPECT_EQ(defaults_->stringForKey(std::string(FileAccessManager::kUnreadableFoldersKey) + ".3"),
              "text");
}

}  // namespace
}  // namespace fw
