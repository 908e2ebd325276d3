// The scripted actions, entities and queries against the real export coordinator, folder
// store and encoder, without D-Bus.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <vector>

#include "app/actions/AppEnums.h"
#include "app/actions/ExportMovieAction.h"
#include "app/actions/ExportStatusActions.h"
#include "app/actions/Identifiers.h"
#include "app/actions/MovieCopies.h"
#include "app/actions/MovieCopyFolder.h"
#include "app/actions/MovieFolderEntity.h"
#include "app/actions/MovieJobEntity.h"
#include "app/coordinator/ExportCoordinator.h"
#include "app/folders/FileAccessManager.h"
#include "platform/AccessGrants.h"
#include "platform/SecurityScopedAccess.h"
#include "platform/UserDefaults.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ExportServicesFixture.h"
#include "tests/support/TestDirectory.h"
#include "tests/support/TestImages.h"

namespace fw::actions {
namespace {

namespace fs = std::filesystem;

using testing::pumpUntil;

template <class T>
std::string describe(const ExportResult<T>& result) {
    return result.ok() ? std::string("(success)") : result.failure().description();
}

class ActionsTest : public testing::ExportServicesFixture {
protected:
    void SetUp() override {
        ExportServicesFixture::SetUp();
        out_ = dir_ / "Out";
        handedOver_ = dir_ / "Handed Over";
        fs::create_directories(out_);
        fs::create_directories(handedOver_);
        auto folder = files_->authorize(out_, true);
        ASSERT_TRUE(folder.ok());
        folderID_ = folder.value().idString();
        copies_ = std::make_unique<MovieCopies>(MovieCopyFolder(dir_ / "Copies"));
    }

    // `count` paths of handed-over stills outside every authorized folder; frames beyond the
    // fifth repeat the first five files.
    std::vector<std::string> images(int count, int size = 16) {
        std::vector<std::string> paths;
        for (int index = 0; index < count; ++index) {
            const fs::path path = handedOver_ / ("still" + std::to_string(index % 5) + ".png");
            if (!fs::exists(path)) {
                EXPECT_EQ(testing::writeTestImage(path, size, size,
                                                  static_cast<std::uint8_t>(40 + index * 9)),
                          "");
            }
            paths.push_back(path.string());
        }
        return paths;
    }

    ExportMovieParameters parameters(int frames = 3, const std::string& filename = "clip") {
        ExportMovieParameters made;
        made.images = images(frames);
        made.folder = folderID_;
        made.filename = filename;
        made.width = 16;
        made.height = 16;
        made.codec = ExportCodec::h264;
        made.quality = ExportQuality::standard;
        return made;
    }

    std::unique_ptr<ExportMovieAction> action(ExportMovieParameters made) {
        return std::make_unique<ExportMovieAction>(
            ExportMovieAction::Services{*files_, *coordinator_, *copies_, grants_},
            std::move(made));
    }

    // Runs an action to its end.
    ExportResult<MovieFile> run(ExportMovieAction& running) {
        std::optional<ExportResult<MovieFile>> outcome;
        running.perform([&](ExportResult<MovieFile> result) { outcome = std::move(result); });
        EXPECT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
        return outcome ? std::move(*outcome) : ExportResult<MovieFile>();
    }

    fs::path out_, handedOver_;
    std::string folderID_;
    std::unique_ptr<MovieCopies> copies_;
};

TEST(ExportMovieActionNamingTest, OutputFileNameRule) {
    struct Case {
        const char* filename;
        ExportCodec codec;
        const char* expected;
    };
    const Case cases[] = {
        {"clip", ExportCodec::prores422, "clip.mov"},
        {"clip", ExportCodec::h264, "clip.mp4"},
        {"clip", ExportCodec::hevc, "clip.mp4"},
        {"clip.mov", ExportCodec::h264, "clip.mov"},
        {"clip.mp4", ExportCodec::prores422, "clip.mp4"},
        {"sub/clip", ExportCodec::hevc, "sub/clip.mp4"},
        {"sub.d/clip", ExportCodec::hevc, "sub.d/clip.mp4"},
        {".hidden", ExportCodec::h264, ".hidden.mp4"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ExportMovieAction::outputFileName(c.filename, c.codec), c.expected) << c.filename;
    }
}

TEST(IdentifiersTest, AnOptionalJobIsEmptyOrAnIdentifier) {
    auto none = chooseJob("");
    ASSERT_TRUE(none.ok());
    EXPECT_FALSE(none.value());
    const QUuid id = QUuid::createUuid();
    for (const std::string& text : {identifierText(id), identifierText(id).substr(0, 8) +
                                                            identifierText(id).substr(8)}) {
        auto named = chooseJob(text);
        ASSERT_TRUE(named.ok());
        EXPECT_EQ(named.value(), id);
    }
    auto lower = chooseJob(id.toString(QUuid::WithoutBraces).toStdString());
    ASSERT_TRUE(lower.ok());
    EXPECT_EQ(lower.value(), id);
    for (const char* typo : {" ", "latest", "{00000000-0000-0000-0000-000000000001}",
                             "00000000-0000-0000-0000-00000000000"}) {
        auto refused = chooseJob(typo);
        ASSERT_FALSE(refused.ok()) << typo;
        EXPECT_EQ(refused.failure().description(), "That export job is no longer available.");
    }
}

TEST_F(ActionsTest, FolderQueryFollowsTheStoreOrder) {
    fs::create_directories(dir_ / "In");
    fs::create_directories(dir_ / "Second");
    auto input = files_->authorize(dir_ / "In", false);
    auto second = files_->authorize(dir_ / "Second", true);
    ASSERT_TRUE(input.ok() && second.ok());
    const MovieFolderQuery query(*files_);

    std::vector<std::string> suggested;
    for (const MovieFolderEntity& folder : query.suggestedEntities()) {
        suggested.push_back(folder.name);
        EXPECT_TRUE(folder.writable);
    }
    EXPECT_EQ(suggested, (std::vector<std::string>{"Out", "Second"})) << "input folders are not suggested";

    const std::string inputID = input.value().idString();
    const std::string secondID = second.value().idString();
    auto found = query.entities({secondID, inputID, folderID_, secondID});
    ASSERT_EQ(found.size(), 3U) << "store order, each folder once";
    EXPECT_EQ(found[0].id, folderID_);
    EXPECT_EQ(found[1].id, inputID);
    EXPECT_FALSE(found[1].writable);
    EXPECT_EQ(found[1].displayRepresentation(), (DisplayRepresentation{"In", std::nullopt}));
    EXPECT_EQ(found[2].id, secondID);

    QString lower = QString::fromStdString(folderID_).toLower();
    EXPECT_TRUE(query.entities({lower.toStdString(), "nope"}).empty());
    EXPECT_TRUE(query.entities({}).empty());
    EXPECT_EQ(folderID_, QString::fromStdString(folderID_).toUpper().toStdString());
}

TEST_F(ActionsTest, ExportMovieWritesTheMovieAndHandsBackACopy) {
    auto running = action(parameters(4));
    std::vector<std::pair<qint64, qint64>> progress;
    QObject::connect(running.get(), &ExportMovieAction::progressChanged,
                     [&](qint64 completed, qint64 total) { progress.emplace_back(completed, total); });
    auto outcome = run(*running);
    ASSERT_TRUE(outcome.ok()) << describe(outcome);
    const MovieFile& file = outcome.value();
    EXPECT_EQ(file.filename, "clip.mp4");
    EXPECT_EQ(file.contentType, "video/mp4");
    EXPECT_TRUE(file.removedOnCompletion);
    EXPECT_EQ(file.url.parent_path(), copies_->folder().location());
    EXPECT_TRUE(std::regex_match(file.url.filename().string(),
                                 std::regex("Frameweaver-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.mp4")))
        << file.url;
    ASSERT_TRUE(fs::is_regular_file(out_ / "clip.mp4"));
    EXPECT_EQ(fs::file_size(file.url), fs::file_size(out_ / "clip.mp4"));
    struct stat info {};
    ASSERT_EQ(::stat(copies_->folder().location().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700U);

    EXPECT_EQ(running->totalUnitCount(), 4);
    EXPECT_EQ(running->completedUnitCount(), 4);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), std::make_pair(qint64(0), qint64(4)));
    EXPECT_EQ(progress.back(), std::make_pair(qint64(4), qint64(4)));

    auto status = GetExportStatusAction::perform(*coordinator_, "");
    ASSERT_TRUE(status.ok());
    EXPECT_EQ(status.value().state, "completed");
    EXPECT_EQ(status.value().progress, 1.0);
    EXPECT_FALSE(status.value().error);
    EXPECT_EQ(status.value().displayRepresentation(),
              (DisplayRepresentation{"clip.mp4", "completed \u00B7 4/4 frames"}));
    EXPECT_EQ(status.value().id, identifierText(*running->jobID()));
}

TEST_F(ActionsTest, ExportMovieRefusalsCarryTheirTexts) {
    fs::create_directories(dir_ / "In");
    auto input = files_->authorize(dir_ / "In", false);
    ASSERT_TRUE(input.ok());
    fs::create_directories(out_ / "sub");
    struct Case {
        const char* name;
        std::function<void(ExportMovieParameters&)> change;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"the third of five images not a file",
         [](ExportMovieParameters& p) { p.images = {p.images[0], p.images[1], "", p.images[0], "x"}; },
         "Image 3 must be a file supplied to Shortcuts."},
        {"a relative image path",
         [](ExportMovieParameters& p) { p.images[1] = "still0.png"; },
         "Image 2 must be a file supplied to Shortcuts."},
        {"a folder that is no identifier", [](ExportMovieParameters& p) { p.folder = "Out"; },
         "Choose an authorized output folder."},
        {"an absolute file name", [](ExportMovieParameters& p) { p.filename = "/clip"; },
         "Use a relative path without . or .. components."},
        {"a file name with ..", [](ExportMovieParameters& p) { p.filename = "../clip"; },
         "Use a relative path without . or .. components."},
        {"an input-only folder",
         [&](ExportMovieParameters& p) { p.folder = input.value().idString(); },
         "This folder is authorized for input only. Authorize an output folder in Automation "
         "Settings."},
        {"a folder no longer authorized",
         [](ExportMovieParameters& p) { p.folder = identifierText(QUuid::createUuid()); },
         "This folder authorization was removed. Authorize it again in Automation Settings."},
        {"a subfolder that does not exist",
         [](ExportMovieParameters& p) { p.filename = "missing/clip"; },
         "The destination folder does not exist."},
        {"an extension against the codec", [](ExportMovieParameters& p) { p.filename = "clip.mov"; },
         "h264 movies need a .mp4 destination."},
        {"a custom bit rate with standard quality",
         [](ExportMovieParameters& p) { p.customBitrateMbps = 8.0; },
         "A custom bit rate requires Custom quality."},
        {"no images", [](ExportMovieParameters& p) { p.images.clear(); },
         "Choose at least one image."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExportMovieParameters made = parameters(2);
        c.change(made);
        auto refused = action(std::move(made));
        std::optional<ExportResult<MovieFile>> outcome;
        refused->perform([&](ExportResult<MovieFile> result) { outcome = std::move(result); });
        ASSERT_TRUE(outcome) << "refused before anything started";
        ASSERT_FALSE(outcome->ok());
        EXPECT_EQ(outcome->failure().description(), c.expected);
        EXPECT_FALSE(refused->jobID());
        EXPECT_FALSE(coordinator_->hasActiveExport());
    }
    EXPECT_FALSE(fs::exists(copies_->folder().location())) << "no copy was made";

    // A name in an existing subfolder is written there.
    auto nested = action(parameters(2, "sub/clip"));
    auto written = run(*nested);
    ASSERT_TRUE(written.ok()) << describe(written);
    EXPECT_EQ(written.value().filename, "clip.mp4");
    EXPECT_TRUE(fs::is_regular_file(out_ / "sub" / "clip.mp4"));
}

TEST_F(ActionsTest, ASecondExportWhileOneRunsIsBusy) {
    auto first = action(parameters(40));
    std::optional<ExportResult<MovieFile>> firstOutcome;
    first->perform([&](ExportResult<MovieFile> result) { firstOutcome = std::move(result); });
    ASSERT_TRUE(first->jobID());

    auto second = action(parameters(2, "other"));
    std::optional<ExportResult<MovieFile>> secondOutcome;
    second->perform([&](ExportResult<MovieFile> result) { secondOutcome = std::move(result); });
    ASSERT_TRUE(secondOutcome && !secondOutcome->ok());
    EXPECT_EQ(secondOutcome->failure().description(),
              "A movie export is in progress, or the movie window has an open sheet or uncommitted "
              "edit.");
    ASSERT_TRUE(pumpUntil([&] { return firstOutcome.has_value(); }));
    EXPECT_TRUE(firstOutcome->ok()) << describe(*firstOutcome);
}

TEST_F(ActionsTest, TheCallerCancellingEndsTheExportWithTheUserCancelledError) {
    ExportMovieParameters made = parameters(200);
    made.width = made.height = 256;
    auto running = action(std::move(made));
    std::optional<ExportResult<MovieFile>> outcome;
    running->perform([&](ExportResult<MovieFile> result) { outcome = std::move(result); });
    ASSERT_TRUE(running->jobID());
    const std::string job = identifierText(*running->jobID());
    running->cancel();
    ASSERT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
    ASSERT_FALSE(outcome->ok());
    ASSERT_NE(outcome->failure().error(), nullptr) << outcome->failure().description();
    EXPECT_TRUE(outcome->failure().error()->isUserCancelled());
    EXPECT_FALSE(fs::exists(copies_->folder().location()) &&
                 !fs::is_empty(copies_->folder().location()));

    auto status = GetExportStatusAction::perform(*coordinator_, job);
    ASSERT_TRUE(status.ok()) << describe(status);
    EXPECT_EQ(status.value().state, "cancelled");
    EXPECT_EQ(status.value().error, platform::Error::userCancelled().description);
}

TEST_F(ActionsTest, StatusAndCancelChooseTheirJob) {
    // Nothing ever started.
    EXPECT_EQ(describe(GetExportStatusAction::perform(*coordinator_, "")),
              "That export job is no longer available.");
    EXPECT_EQ(describe(CancelExportAction::perform(*coordinator_, "")),
              "That export job is no longer available.");

    auto finished = action(parameters(2, "first"));
    ASSERT_TRUE(run(*finished).ok());
    const std::string finishedID = identifierText(*finished->jobID());

    ExportMovieParameters big = parameters(200, "second");
    big.width = big.height = 256;
    auto running = action(std::move(big));
    std::optional<ExportResult<MovieFile>> outcome;
    running->perform([&](ExportResult<MovieFile> result) { outcome = std::move(result); });
    const std::string runningID = identifierText(*running->jobID());

    auto current = GetExportStatusAction::perform(*coordinator_, "");
    ASSERT_TRUE(current.ok());
    EXPECT_EQ(current.value().id, runningID);
    EXPECT_EQ(current.value().state, "running");
    EXPECT_FALSE(current.value().error);
    EXPECT_EQ(current.value().displayRepresentation().subtitle, "running \u00B7 0/200 frames");

    auto suggested = MovieJobQuery(*coordinator_).suggestedEntities();
    ASSERT_EQ(suggested.size(), 2U);
    EXPECT_EQ(suggested[0].id, runningID);
    EXPECT_EQ(suggested[1].id, finishedID);
    auto byID = MovieJobQuery(*coordinator_).entities({finishedID, "junk", runningID, finishedID});
    ASSERT_EQ(byID.size(), 3U) << "request order, repeats kept, junk dropped";
    EXPECT_EQ(byID[0].id, finishedID);
    EXPECT_EQ(byID[1].id, runningID);
    EXPECT_EQ(byID[2].id, finishedID);

    // Neither a finished job nor a mistyped one may cancel the running export.
    for (const std::string& other : {finishedID, std::string("latest"), runningID.substr(1)}) {
        EXPECT_EQ(describe(CancelExportAction::perform(*coordinator_, other)),
                  "That export job is no longer available.")
            << other;
        EXPECT_EQ(describe(GetExportStatusAction::perform(*coordinator_, other.substr(0, 3))),
                  "That export job is no longer available.");
    }
    EXPECT_EQ(coordinator_->job()->state, ExportJobState::running);

    EXPECT_TRUE(CancelExportAction::perform(*coordinator_, "").ok());
    ASSERT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
    auto cancelled = GetExportStatusAction::perform(*coordinator_, runningID);
    ASSERT_TRUE(cancelled.ok());
    EXPECT_EQ(cancelled.value().state, "cancelled");
    ASSERT_TRUE(cancelled.value().error);

    auto done = GetExportStatusAction::perform(*coordinator_, finishedID);
    ASSERT_TRUE(done.ok());
    EXPECT_EQ(done.value().state, "completed");
    EXPECT_EQ(done.value().progress, 1.0);
}

// Holds the copy of the finished movie just before it opens the movie, until released.
class CopyGate {
public:
    explicit CopyGate(MovieCopies& copies) {
        copies.TEST_setBeforeOpen([this] {
            std::unique_lock lock(mutex_);
            reached_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_; });
        });
    }
    bool reached() {
        std::lock_guard lock(mutex_);
        return reached_;
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool reached_ = false;
    bool released_ = false;
};

// Every entry of the copy folder (none when it is gone).
std::vector<fs::path> copiesIn(const fs::path& folder) {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        found.push_back(entry.path());
    }
    return found;
}

TEST_F(ActionsTest, ALinkSwappedInBeforeTheCopyIsRefusedAndNothingOutsideIsRead) {
    const fs::path outside = dir_ / "Outside";
    fs::create_directories(outside);
    std::ofstream(outside / "secret.mp4") << "secret";
    std::ofstream(outside / "clip.mp4") << "secret";
    fs::create_directories(out_ / "sub");
    struct Case {
        const char* name;
        const char* filename;
        std::function<void()> swap;
    };
    const std::vector<Case> cases = {
        {"a link at the movie's name", "clip",
         [&] {
             fs::remove(out_ / "clip.mp4");
             fs::create_symlink(outside / "secret.mp4", out_ / "clip.mp4");
         }},
        {"a link at a folder of its path", "sub/clip",
         [&] {
             fs::rename(out_ / "sub", out_ / "sub-moved");
             fs::create_directory_symlink(outside, out_ / "sub");
         }},
        {"a link inside the folder", "inner/clip",
         [&] {
             fs::rename(out_ / "inner", out_ / "inner-moved");
             fs::create_directory_symlink("sub-moved", out_ / "inner");
         }},
    };
    fs::create_directories(out_ / "inner");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        copies_->TEST_setBeforeOpen(c.swap);
        auto running = action(parameters(2, c.filename));
        auto outcome = run(*running);
        ASSERT_FALSE(outcome.ok());
        EXPECT_EQ(
            outcome.failure().description().rfind("The finished movie could not be copied.", 0), 0U)
            << outcome.failure().description();
        EXPECT_EQ(copiesIn(copies_->folder().location()), std::vector<fs::path>{})
            << "nothing was copied";
    }
}

TEST_F(ActionsTest, ACopyUnderWayEndsWithItsCallerOrAtQuitAndLeavesNothing) {
    for (const bool quitting : {false, true}) {
        SCOPED_TRACE(quitting ? "quitting" : "the caller leaves");
        CopyGate gate(*copies_);
        auto running = action(parameters(2, quitting ? "quit" : "left"));
        std::optional<ExportResult<MovieFile>> outcome;
        running->perform([&](ExportResult<MovieFile> result) { outcome = std::move(result); });
        ASSERT_TRUE(pumpUntil([&] { return gate.reached(); })) << "the copy started";
        if (quitting) {
            // What the service does when it goes: the actions first, then the copies.
            running.reset();
            gate.release();
            copies_->shutDown();
            EXPECT_FALSE(fs::exists(copies_->folder().location()));
            QCoreApplication::processEvents();
            EXPECT_FALSE(fs::exists(copies_->folder().location())) << "no copy came back";
            EXPECT_FALSE(outcome) << "an action that is gone reports nothing";
        } else {
            running->cancel();
            gate.release();
            ASSERT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
            ASSERT_FALSE(outcome->ok());
            ASSERT_NE(outcome->failure().error(), nullptr);
            EXPECT_TRUE(outcome->failure().error()->isUserCancelled());
            EXPECT_EQ(copiesIn(copies_->folder().location()), std::vector<fs::path>{});
        }
    }
}

TEST_F(ActionsTest, ImagesAreGrantedOnlyWhileAnAcceptedExportRuns) {
    const std::vector<std::string> stills = images(2);
    grants_.grant(stills[0]);  // the window holds this one too

    ExportMovieParameters refusedParameters = parameters(2, "refused");
    refusedParameters.customBitrateMbps = 8.0;  // refused by the coordinator's validation
    auto refused = action(std::move(refusedParameters));
    ASSERT_FALSE(run(*refused).ok());
    EXPECT_EQ(grants_.holderCount(stills[0]), 1);
    EXPECT_EQ(grants_.holderCount(stills[1]), 0) << "no grant for a refused export";

    auto accepted = action(parameters(2, "accepted"));
    std::optional<ExportResult<MovieFile>> outcome;
    accepted->perform([&](ExportResult<MovieFile> result) { outcome = std::move(result); });
    ASSERT_TRUE(accepted->jobID());
    EXPECT_EQ(grants_.holderCount(stills[0]), 2) << "the window's and the export's";
    EXPECT_EQ(grants_.holderCount(stills[1]), 1);
    ASSERT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
    ASSERT_TRUE(outcome->ok()) << describe(*outcome);
    EXPECT_EQ(grants_.holderCount(stills[0]), 1) << "the window's grant stays";
    EXPECT_EQ(grants_.holderCount(stills[1]), 0);
}

TEST(MovieCopyFolderTest, PrivateFolderWithStaleCopiesRemoved) {
    const testing::TestDirectory directory;
    const fs::path& dir = directory.path();
    const MovieCopyFolder copies(dir / "cache" / "Movie Copies");
    ASSERT_FALSE(copies.prepare());
    struct stat info {};
    ASSERT_EQ(::stat(copies.location().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700U);

    const fs::path old = copies.copyPath("mp4");
    const fs::path fresh = copies.copyPath("mov");
    EXPECT_NE(old, fresh);
    EXPECT_EQ(fresh.extension(), ".mov");
    for (const fs::path& path : {old, fresh}) {
        std::FILE* file = std::fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
    }
    fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(25));
    copies.removeStaleCopies();
    EXPECT_FALSE(fs::exists(old));
    EXPECT_TRUE(fs::exists(fresh)) << "a copy younger than a day stays";

    // A folder left open to others is closed again.
    ::chmod(copies.location().c_str(), 0755);
    ASSERT_FALSE(copies.prepare());
    ASSERT_EQ(::stat(copies.location().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700U);

    copies.removeAll();
    EXPECT_FALSE(fs::exists(copies.location()));
}

}  // namespace
}  // namespace fw::actions
