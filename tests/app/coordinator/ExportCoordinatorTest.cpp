#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "app/coordinator/ExportCoordinator.h"
#include "app/coordinator/ExportCoordinatorAwait.h"
#include "app/export/ImagesToMovie.h"
#include "app/folders/FileAccessManager.h"
#include "platform/AccessGrants.h"
#include "platform/SecurityScopedAccess.h"
#include "platform/UserDefaults.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ExportServicesFixture.h"
#include "tests/support/TestImages.h"

// Qt's `emit` keyword would swallow cancellation_signal::emit; this file uses Q_EMIT-free code.
#undef emit

namespace fw {
namespace {

namespace fs = std::filesystem;
namespace asio = boost::asio;
using testing::pumpUntil;

// The real grants, with every start and stop counted.
class CountingAccess : public platform::SecurityScopedAccess {
public:
    explicit CountingAccess(platform::AccessGrants* grants) : SecurityScopedAccess(grants) {}

    bool startAccessing(const fs::path& path) override {
        if (!SecurityScopedAccess::startAccessing(path)) {
            return false;
        }
        std::lock_guard lock(mutex_);
        ++active_;
        return true;
    }
    void stopAccessing(const fs::path& path) override {
        {
            std::lock_guard lock(mutex_);
            --active_;
        }
        SecurityScopedAccess::stopAccessing(path);
    }
    int active() const {
        std::lock_guard lock(mutex_);
        return active_;
    }

private:
    mutable std::mutex mutex_;
    int active_ = 0;
};

// A main window stand-in for the busy rule.
class FakeWindow : public QObject, public DraftWindow {
public:
    bool hasAttachedSheet() const override { return sheet; }
    bool isEditingText() const override { return editing; }
    bool sheet = false;
    bool editing = false;
};

std::string describe(const ExportFailure& failure) {
    return failure.description();
}

class ExportCoordinatorTest : public testing::ExportServicesFixture {
protected:
    void SetUp() override {
        ExportServicesFixture::SetUp();
        work_ = dir_ / "Work";
        fs::create_directories(work_ / "Movies");
        ASSERT_TRUE(files_->authorize(work_, true).ok());
    }

    // The real grants, with every start and stop counted.
    std::shared_ptr<platform::SecurityScopedAccess> makeAccess() override {
        access_ = std::make_shared<CountingAccess>(&grants_);
        return access_;
    }

    void TearDown() override {
        // Lets a still running export end before the store and the folder go away.
        ExportServicesFixture::TearDown();
        EXPECT_EQ(access_->active(), 0) << "access left started";
    }

    // Tiny PNG stills in the authorized folder, named "<prefix><n>.png".
    std::vector<QUrl> images(int count, int width = 16, int height = 16,
                             const std::string& prefix = "still") {
        std::vector<QUrl> urls;
        for (int index = 0; index < count; ++index) {
            const fs::path path = work_ / (prefix + std::to_string(index) + ".png");
            if (!fs::exists(path)) {
                const std::string failure = testing::writeTestImage(
                    path, width, height, static_cast<std::uint8_t>(40 + index * 7));
                EXPECT_EQ(failure, "");
            }
            urls.push_back(QUrl::fromLocalFile(QString::fromStdString(path.string())));
        }
        return urls;
    }

    QUrl movie(const std::string& name) const {
        return QUrl::fromLocalFile(QString::fromStdString((work_ / "Movies" / name).string()));
    }

    ExportRequest request(int frames = 2, const std::string& output = "movie.mp4") {
        ExportRequest made;
        made.inputURLs = images(frames);
        made.outputURL = movie(output);
        made.settings.width = 16;
        made.settings.height = 16;
        made.settings.frameRate = 30;
        made.settings.codec = ExportCodec::h264;
        made.settings.quality = ExportQuality::standard;
        return made;
    }

    QUuid startOK(const ExportRequest& made) {
        auto started = coordinator_->startExport(made);
        EXPECT_TRUE(started.ok()) << (started.ok() ? "" : describe(started.failure()));
        return started.ok() ? started.value() : QUuid();
    }

    ExportJob runToEnd(const ExportRequest& made) {
        const QUuid id = startOK(made);
        EXPECT_TRUE(pumpUntil([&] { return !coordinator_->hasActiveExport(); }));
        return coordinator_->job(id).value_or(ExportJob{});
    }

    fs::path work_;
    std::shared_ptr<CountingAccess> access_;
};

TEST_F(ExportCoordinatorTest, StartedJobRunsAndCompletesWithTheMovie) {
    const QUuid id = startOK(request(3));
    // Running at once, even before the engine has done anything.
    const auto running = coordinator_->job(id);
    ASSERT_TRUE(running);
    EXPECT_EQ(running->state, ExportJobState::running);
    EXPECT_EQ(running->totalFrames, 3);
    EXPECT_EQ(running->progress, 0.0);
    EXPECT_TRUE(coordinator_->recentJobs().empty());

    ASSERT_TRUE(pumpUntil([&] { return !coordinator_->hasActiveExport(); }));
    const auto done = coordinator_->job(id);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->state, ExportJobState::completed);
    EXPECT_EQ(done->completedFrames, 3);
    EXPECT_EQ(done->progress, 1.0);
    EXPECT_FALSE(done->error);
    EXPECT_TRUE(fs::file_size(work_ / "Movies" / "movie.mp4") > 0);
}

TEST_F(ExportCoordinatorTest, BusyBeatsInvalidAndLeavesTheRunningJobAlone) {
    const QUuid id = startOK(request(3));
    ExportRequest invalid = request(1, "other.mp4");
    invalid.settings.width = 0;
    invalid.inputURLs.clear();
    auto refused = coordinator_->startExport(invalid);
    ASSERT_FALSE(refused.ok());
    ASSERT_NE(refused.failure().exportError(), nullptr);
    EXPECT_EQ(*refused.failure().exportError(), ExportError::busy());
    EXPECT_EQ(coordinator_->activeJob()->id, id);

    ASSERT_TRUE(pumpUntil([&] { return !coordinator_->hasActiveExport(); }));
    EXPECT_EQ(coordinator_->job(id)->state, ExportJobState::completed);
}

TEST_F(ExportCoordinatorTest, OpenSheetOrEditBlocksRequestsButNotTheWindowsOwnExport) {
    FakeWindow window;
    ImagesToMovie model;
    model.setImagePaths({images(1)[0].toLocalFile()});
    model.setFrameSize(QSizeF(16, 16));
    coordinator_->attachDraftModel(&model, &window);

    for (auto [sheet, editing] : {std::pair{true, false}, std::pair{false, true}}) {
        window.sheet = sheet;
        window.editing = editing;
        auto refused = coordinator_->startExport(request(1));
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(describe(refused.failure()),
                  "A movie export is in progress, or the movie window has an open sheet or "
                  "uncommitted edit.");
    }
    EXPECT_EQ(access_->active(), 0);

    std::optional<std::optional<platform::Error>> outcome;
    coordinator_->exportDraft(movie("draft.mp4"), {},
                              [&](std::optional<platform::Error> error) { outcome = error; });
    EXPECT_TRUE(coordinator_->hasActiveExport());
    // The model shows the running export, so a second window export is busy too.
    std::optional<platform::Error> second;
    coordinator_->exportDraft(movie("again.mp4"), {},
                              [&](std::optional<platform::Error> error) { second = error; });
    ASSERT_TRUE(second);
    EXPECT_EQ(second->domain, kExportErrorDomain);

    ASSERT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
    EXPECT_FALSE(outcome->has_value()) << (*outcome)->description;
    coordinator_->attachDraftModel(nullptr, nullptr);
}

struct ValidationCase {
    const char* name;
    std::function<void(ExportRequest&, const fs::path& work)> change;
    std::string message;  // with "<work>" for the folder's path
};

TEST_F(ExportCoordinatorTest, ValidationTable) {
    fs::create_directories(work_ / "folder.png");
    std::ofstream(work_ / "Movies" / "taken.mp4") << "earlier movie";
    const std::string dimensions =
        "Movie dimensions must be at most 3840 × 2160 and frame rate 1–30 fps.";
    const std::string bitRate = "Custom bit rate must be 0.1–50 Mbps.";
    // The settings panel's own sentence.
    const std::string oddSize =
        "H.264 and HEVC movies need an even width and height. Choose even movie dimensions, "
        "or choose ProRes 422.";
    auto at = [](const fs::path& path) {
        return QUrl::fromLocalFile(QString::fromStdString(path.string()));
    };
    const std::vector<ValidationCase> cases = {
        {"no images", [](ExportRequest& r, auto&) { r.inputURLs.clear(); },
         "Choose at least one image."},
        {"third image missing",
         [&](ExportRequest& r, const fs::path& w) { r.inputURLs[2] = at(w / "gone.png"); },
         "Image 3 does not exist: <work>/gone.png"},
        {"third image a folder",
         [&](ExportRequest& r, const fs::path& w) { r.inputURLs[2] = at(w / "folder.png"); },
         "Image 3 does not exist: <work>/folder.png"},
        {"width 0", [](ExportRequest& r, auto&) { r.settings.width = 0; }, dimensions},
        {"width 3841", [](ExportRequest& r, auto&) { r.settings.width = 3841; }, dimensions},
        {"height 2161", [](ExportRequest& r, auto&) { r.settings.height = 2161; }, dimensions},
        {"negative height", [](ExportRequest& r, auto&) { r.settings.height = -16; }, dimensions},
        {"rate 0", [](ExportRequest& r, auto&) { r.settings.frameRate = 0; }, dimensions},
        {"rate 31", [](ExportRequest& r, auto&) { r.settings.frameRate = 31; }, dimensions},
        {"odd width h264", [](ExportRequest& r, auto&) { r.settings.width = 17; }, oddSize},
        {"odd height hevc",
         [](ExportRequest& r, auto&) {
             r.settings.codec = ExportCodec::hevc;
             r.settings.height = 15;
         },
         oddSize},
        {"prores custom without rate",
         [](ExportRequest& r, auto&) {
             r.settings.codec = ExportCodec::prores422;
             r.settings.quality = ExportQuality::custom;
         },
         "ProRes 422 does not use a custom bit rate."},
        {"custom without rate",
         [](ExportRequest& r, auto&) { r.settings.quality = ExportQuality::custom; }, bitRate},
        {"custom 0.05",
         [](ExportRequest& r, auto&) {
             r.settings.quality = ExportQuality::custom;
             r.settings.customBitrateMbps = 0.05;
         },
         bitRate},
        {"custom 50.5",
         [](ExportRequest& r, auto&) {
             r.settings.quality = ExportQuality::custom;
             r.settings.customBitrateMbps = 50.5;
         },
         bitRate},
        {"custom not a number",
         [](ExportRequest& r, auto&) {
             r.settings.quality = ExportQuality::custom;
             r.settings.customBitrateMbps = std::nan("");
         },
         bitRate},
        {"high with a rate",
         [](ExportRequest& r, auto&) {
             r.settings.quality = ExportQuality::high;
             r.settings.customBitrateMbps = 10;
         },
         "A custom bit rate requires Custom quality."},
        {"hevc to .mov",
         [&](ExportRequest& r, auto&) {
             r.settings.codec = ExportCodec::hevc;
             r.outputURL = movie("movie.mov");
         },
         "hevc movies need a .mp4 destination."},
        {"prores to .mp4",
         [](ExportRequest& r, auto&) {
             r.settings.codec = ExportCodec::prores422;
             r.settings.quality = ExportQuality::high;
         },
         "prores422 movies need a .mov destination."},
        {"no extension", [&](ExportRequest& r, auto&) { r.outputURL = movie("movie"); },
         "h264 movies need a .mp4 destination."},
        {"missing folder",
         [&](ExportRequest& r, const fs::path& w) { r.outputURL = at(w / "Nowhere" / "m.mp4"); },
         "The destination folder does not exist."},
        {"destination taken", [&](ExportRequest& r, auto&) { r.outputURL = movie("taken.mp4"); },
         "The destination already exists. Choose a different name or allow overwrite."},
    };
    for (const ValidationCase& row : cases) {
        SCOPED_TRACE(row.name);
        ExportRequest made = request(3);
        row.change(made, work_);
        auto refused = coordinator_->startExport(made);
        ASSERT_FALSE(refused.ok());
        ASSERT_NE(refused.failure().exportError(), nullptr) << describe(refused.failure());
        std::string expected = row.message;
        if (auto spot = expected.find("<work>"); spot != std::string::npos) {
            expected.replace(spot, 6, work_.string());
        }
        EXPECT_EQ(*refused.failure().exportError(), ExportError::invalid(expected));
        EXPECT_FALSE(coordinator_->hasActiveExport());
        EXPECT_EQ(access_->active(), 0) << "a refused start keeps no lease";
    }
    EXPECT_EQ(std::ifstream(work_ / "Movies" / "taken.mp4").get(), 'e');
}

TEST_F(ExportCoordinatorTest, ValidationAcceptsTheLimitsAndUpperCaseExtensions) {
    std::ofstream(work_ / "Movies" / "taken.mp4") << "earlier movie";
    ExportRequest made = request(1, "Movie.MP4");
    made.settings.width = 3840;
    made.settings.height = 2160;
    made.settings.frameRate = 30;
    EXPECT_EQ(ExportCoordinator::validate(made), std::nullopt);
    made.settings.quality = ExportQuality::custom;
    for (double rate : {0.1, 50.0}) {
        made.settings.customBitrateMbps = rate;
        EXPECT_EQ(ExportCoordinator::validate(made), std::nullopt) << rate;
    }
    made.outputURL = movie("taken.mp4");
    made.overwrite = true;
    EXPECT_EQ(ExportCoordinator::validate(made), std::nullopt);
    // ProRes 422 takes any size.
    ExportRequest proRes = request(1, "odd.mov");
    proRes.settings.codec = ExportCodec::prores422;
    proRes.settings.width = 17;
    proRes.settings.height = 15;
    EXPECT_EQ(ExportCoordinator::validate(proRes), std::nullopt);
    // Unreachable through startExport (the lease refuses such URLs first).
    made.outputURL = QUrl("https://example.com/movie.mp4");
    EXPECT_EQ(ExportCoordinator::validate(made),
              ExportError::invalid("Choose an absolute movie destination."));
    made.inputURLs = {QUrl("https://example.com/a.png")};
    EXPECT_EQ(ExportCoordinator::validate(made),
              ExportError::invalid("Image 1 needs an absolute file URL."));
}

TEST_F(ExportCoordinatorTest, LeaseFailureComesBeforeValidation) {
    const fs::path outside = dir_ / "outside.png";
    ASSERT_EQ(testing::writeTestImage(outside, 16, 16, 90), "");
    ExportRequest made = request(1);
    made.inputURLs.push_back(QUrl::fromLocalFile(QString::fromStdString(outside.string())));
    made.settings.width = 0;  // invalid too
    auto refused = coordinator_->startExport(made);
    ASSERT_FALSE(refused.ok());
    ASSERT_NE(refused.failure().error(), nullptr);
    EXPECT_EQ(FileAccessError::kindOf(*refused.failure().error()),
              FileAccessError::Kind::unauthorized);

    made = request(1);
    made.inputURLs.push_back(QUrl("https://example.com/a.png"));
    refused = coordinator_->startExport(made);
    ASSERT_FALSE(refused.ok());
    ASSERT_NE(refused.failure().error(), nullptr);
    EXPECT_EQ(FileAccessError::kindOf(*refused.failure().error()),
              FileAccessError::Kind::invalidURL);
    EXPECT_EQ(access_->active(), 0);
}

// An io_context on a thread of its own, as the automation handlers have.
class AsioThread {
public:
    AsioThread() : guard_(asio::make_work_guard(context_)), thread_([this] { context_.run(); }) {}
    ~AsioThread() {
        guard_.reset();
        thread_.join();
    }
    asio::io_context& context() { return context_; }
    std::thread::id id() const { return thread_.get_id(); }

private:
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::thread thread_;
};

TEST_F(ExportCoordinatorTest, LeaseChecksTheURLsInItsOwnOrder) {
    // An input the caller may not reach comes before a later one that is no file at all.
    const fs::path outside = dir_ / "outside.png";
    ASSERT_EQ(testing::writeTestImage(outside, 16, 16, 90), "");
    ExportRequest made = request(1);
    made.inputURLs.push_back(QUrl::fromLocalFile(QString::fromStdString(outside.string())));
    made.inputURLs.push_back(QUrl("https://example.com/a.png"));
    auto refused = coordinator_->startExport(made);
    ASSERT_FALSE(refused.ok());
    ASSERT_NE(refused.failure().error(), nullptr);
    EXPECT_EQ(FileAccessError::kindOf(*refused.failure().error()),
              FileAccessError::Kind::unauthorized);

    // Inputs come before the output.
    made = request(1);
    made.inputURLs.push_back(QUrl::fromLocalFile(QString::fromStdString(outside.string())));
    made.outputURL = QUrl("https://example.com/movie.mp4");
    refused = coordinator_->startExport(made);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(FileAccessError::kindOf(*refused.failure().error()),
              FileAccessError::Kind::unauthorized);
    EXPECT_EQ(access_->active(), 0);
}

TEST_F(ExportCoordinatorTest, ConfiguresTheEngineFromTheRequest) {
    struct Row {
        ExportCodec codec;
        ExportQuality quality;
        std::optional<double> rate;
        bool overwrite;
        const char* output;
        std::string_view codecType;
        qlonglong mode;
        qulonglong bitsPerSecond;
    };
    for (const Row& row : {
             Row{ExportCodec::h264, ExportQuality::standard, std::nullopt, false, "s.mp4",
                 kCodecH264, 0, 20'000'000},
             Row{ExportCodec::hevc, ExportQuality::custom, 12.5, true, "c.mp4", kCodecHEVC, 2,
                 12'500'000},
             Row{ExportCodec::h264, ExportQuality::custom, 0.1, false, "low.mp4", kCodecH264, 2,
                 100'000},
             Row{ExportCodec::prores422, ExportQuality::high, std::nullopt, true, "p.mov",
                 kCodecProRes422, 1, 20'000'000},
         }) {
        SCOPED_TRACE(row.output);
        ExportRequest made = request(2, row.output);
        made.settings.codec = row.codec;
        made.settings.quality = row.quality;
        made.settings.customBitrateMbps = row.rate;
        made.settings.width = 32;
        made.settings.height = 16;
        made.settings.frameRate = 24;
        made.overwrite = row.overwrite;
        startOK(made);
        const ImagesToMovie* engine = coordinator_->TEST_activeEngine();
        ASSERT_NE(engine, nullptr);
        EXPECT_EQ(engine->codec(), QString::fromLatin1(row.codecType.data(), row.codecType.size()));
        EXPECT_EQ(engine->qualityMode(), row.mode);
        EXPECT_EQ(engine->averageBitRate(), row.bitsPerSecond);
        EXPECT_EQ(engine->allowOverwrite(), row.overwrite);
        EXPECT_EQ(engine->frameSize(), QSizeF(32, 16));
        EXPECT_EQ(engine->frameRate(), 24U);
        EXPECT_EQ(engine->imagePaths(),
                  (QStringList{made.inputURLs[0].toLocalFile(), made.inputURLs[1].toLocalFile()}));
        EXPECT_TRUE(engine->confinement().confinesNothing());
        ASSERT_TRUE(pumpUntil([&] { return !coordinator_->hasActiveExport(); }));
        EXPECT_EQ(coordinator_->job()->state, ExportJobState::completed)
            << coordinator_->job()->error.value_or("");
    }
}

// The request of local automation for `frames` stills of the folder and a movie in "Movies".
ExportRequest automationRequest(ExportRequest made, const QUuid& folder, int frames,
                                const std::string& output = "Movies/movie.mp4") {
    std::vector<FolderFileReference> inputs;
    for (int index = 0; index < frames; ++index) {
        inputs.push_back({folder, "still" + std::to_string(index) + ".png"});
    }
    made.fileSource = ExportFileSource::automation(std::move(inputs), {folder, output});
    return made;
}

TEST_F(ExportCoordinatorTest, AutomationExportStaysInTheFolderItWasGranted) {
    const QUuid folder = files_->folders().front().id;
    const fs::path outside = dir_ / "Outside";
    fs::create_directories(outside / "Movies");
    const QUuid id = startOK(automationRequest(request(2), folder, 2));
    const ExportConfinement& confinement = coordinator_->TEST_activeEngine()->confinement();
    ASSERT_EQ(confinement.images.size(), 2U);
    EXPECT_EQ(confinement.images[1].relativePath, "still1.png");
    EXPECT_EQ(confinement.images[0].directory, confinement.images[1].directory)
        << "one descriptor for the folder";
    ASSERT_TRUE(confinement.movie);
    EXPECT_EQ(confinement.movie->relativePath, "Movies/movie.mp4");

    // Accepted: now the folder is swapped for a link to somewhere else.
    fs::rename(work_, dir_ / "Renamed");
    fs::create_directory_symlink(outside, work_);
    ASSERT_TRUE(pumpUntil([&] { return !coordinator_->hasActiveExport(); }));
    EXPECT_EQ(coordinator_->job(id)->state, ExportJobState::completed)
        << coordinator_->job(id)->error.value_or("");
    EXPECT_TRUE(fs::is_regular_file(dir_ / "Renamed" / "Movies" / "movie.mp4"));
    EXPECT_TRUE(fs::is_empty(outside / "Movies"));
}

TEST_F(ExportCoordinatorTest, ScriptedActionExportConfinesOnlyItsMovie) {
    const QUuid folder = files_->folders().front().id;
    ExportRequest made = request(2);
    made.fileSource = ExportFileSource::scriptedAction({folder, "Movies/movie.mp4"});
    startOK(made);
    const ExportConfinement& confinement = coordinator_->TEST_activeEngine()->confinement();
    EXPECT_TRUE(confinement.images.empty());
    ASSERT_TRUE(confinement.movie);
    EXPECT_EQ(confinement.movie->relativePath, "Movies/movie.mp4");
    ASSERT_TRUE(pumpUntil([&] { return !coordinator_->hasActiveExport(); }));
    EXPECT_EQ(coordinator_->job()->state, ExportJobState::completed);
    EXPECT_TRUE(fs::is_regular_file(work_ / "Movies" / "movie.mp4"));
}

TEST_F(ExportCoordinatorTest, FoldersThatCannotBeOpenedRefuseTheStart) {
    const QUuid folder = files_->folders().front().id;
    fs::create_directories(dir_ / "Input");
    auto inputOnly = files_->authorize(dir_ / "Input", false);
    ASSERT_TRUE(inputOnly.ok());
    struct Case {
        const char* name;
        std::function<void(ExportRequest&)> change;
        FileAccessError::Kind expected;
    };
    const std::vector<Case> cases = {
        {"a folder no longer authorized",
         [](ExportRequest& r) { r.fileSource.output->folderID = QUuid::createUuid(); },
         FileAccessError::Kind::missingFolder},
        {"an output folder for input only",
         [&](ExportRequest& r) { r.fileSource.output->folderID = inputOnly.value().id; },
         FileAccessError::Kind::readOnlyFolder},
        {"a path out of the folder",
         [](ExportRequest& r) { r.fileSource.inputs[0].relativePath = "../still0.png"; },
         FileAccessError::Kind::invalidRelativePath},
        {"fewer references than images", [](ExportRequest& r) { r.fileSource.inputs.pop_back(); },
         FileAccessError::Kind::invalidURL},
        {"no output reference", [](ExportRequest& r) { r.fileSource.output.reset(); },
         FileAccessError::Kind::invalidURL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExportRequest made = automationRequest(request(2), folder, 2);
        c.change(made);
        auto refused = coordinator_->startExport(made);
        ASSERT_FALSE(refused.ok());
        ASSERT_NE(refused.failure().error(), nullptr) << describe(refused.failure());
        EXPECT_EQ(FileAccessError::kindOf(*refused.failure().error()), c.expected);
        EXPECT_FALSE(coordinator_->hasActiveExport());
        EXPECT_EQ(access_->active(), 0) << "a refused start keeps no lease";
    }
}

TEST_F(ExportCoordinatorTest, AJobThatFailedWithoutWordsStillSaysSo) {
    const QUuid id = startOK(request(2));
    coordinator_->TEST_endActiveJob(platform::Error("SomeDomain", 7, ""));
    const auto job = coordinator_->job(id);
    ASSERT_TRUE(job);
    EXPECT_EQ(job->state, ExportJobState::failed);
    std::optional<ExportResult<QUrl>> late;
    coordinator_->wait(id, [&](ExportResult<QUrl> result) { late = std::move(result); });
    ASSERT_TRUE(late && !late->ok());
    EXPECT_EQ(*late->failure().exportError(), ExportError::invalid("The movie export failed."));
    EXPECT_EQ(describe(late->failure()), "The movie export failed.");
}

TEST_F(ExportCoordinatorTest, AWaitWhoseCancellationHasAlreadyFiredCancelsTheExport) {
    ExportRequest made = request(0);
    made.inputURLs = images(48, 128, 96, "big");
    made.settings.width = 128;
    made.settings.height = 96;
    const QUuid id = startOK(made);
    AsioThread asio;
    asio::cancellation_signal signal;
    std::atomic<bool> done = false;
    std::optional<ExportResult<QUrl>> outcome;
    // The caller's task is cancelled before it comes to wait: its first step yields, and the
    // cancellation is delivered meanwhile.
    auto caller = [&]() -> asio::awaitable<ExportResult<QUrl>> {
        co_await asio::this_coro::throw_if_cancelled(false);
        co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
        co_return co_await waitForExport(*coordinator_, id);
    };
    asio::post(asio.context(), [&] {
        asio::co_spawn(asio.context(), caller(),
                       asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr failure,
                                                                       ExportResult<QUrl> result) {
                           EXPECT_FALSE(failure);
                           outcome = std::move(result);
                           done = true;
                       }));
        signal.emit(asio::cancellation_type::terminal);
    });
    ASSERT_TRUE(pumpUntil([&] { return done.load(); }));
    ASSERT_TRUE(outcome && !outcome->ok());
    ASSERT_NE(outcome->failure().error(), nullptr);
    EXPECT_EQ(outcome->failure().error()->domain, kTaskCancellationErrorDomain);
    EXPECT_EQ(outcome->failure().error()->code, kTaskCancelledCode);
    // The export itself was asked to stop.
    ASSERT_TRUE(pumpUntil([&] { return !coordinator_->hasActiveExport(); }));
    EXPECT_EQ(coordinator_->job(id)->state, ExportJobState::cancelled);
}

TEST_F(ExportCoordinatorTest, TwentyOneJobsKeepTheNewestTwenty) {
    std::vector<QUuid> ids;
    int recentChanges = 0;
    QObject::connect(coordinator_.get(), &ExportCoordinator::recentJobsChanged,
                     [&] { ++recentChanges; });
    for (int index = 0; index < 21; ++index) {
        ExportRequest made = request(1, "m" + std::to_string(index) + ".mp4");
        ids.push_back(runToEnd(made).id);
    }
    EXPECT_EQ(recentChanges, 21);
    const auto& recent = coordinator_->recentJobs();
    ASSERT_EQ(recent.size(), 20U);
    for (std::size_t index = 0; index < recent.size(); ++index) {
        EXPECT_EQ(recent[index].id, ids[20 - index]) << index;
    }
    EXPECT_FALSE(coordinator_->job(ids[0]));
    EXPECT_EQ(coordinator_->job()->id, ids[20]);
    std::optional<ExportResult<QUrl>> outcome;
    coordinator_->wait(ids[0], [&](ExportResult<QUrl> result) { outcome = std::move(result); });
    ASSERT_TRUE(outcome) << "an unknown job is reported at once";
    ASSERT_FALSE(outcome->ok());
    EXPECT_EQ(*outcome->failure().exportError(), ExportError::unknownJob());
}

TEST_F(ExportCoordinatorTest, LookupsAndCancelOfUnknownJobs) {
    EXPECT_FALSE(coordinator_->job());
    EXPECT_FALSE(coordinator_->cancelExport().ok());
    const QUuid id = startOK(request(2));
    EXPECT_EQ(coordinator_->job()->id, id);
    auto wrong = coordinator_->cancelExport(QUuid::createUuid());
    ASSERT_FALSE(wrong.ok());
    EXPECT_EQ(*wrong.failure().exportError(), ExportError::unknownJob());
    ASSERT_TRUE(pumpUntil([&] { return !coordinator_->hasActiveExport(); }));
    EXPECT_EQ(coordinator_->job()->id, id);
    auto finished = coordinator_->cancelExport(id);
    ASSERT_FALSE(finished.ok());
    EXPECT_EQ(describe(finished.failure()), "That export job is no longer available.");
}

TEST_F(ExportCoordinatorTest, WaitersAreResumedInOrderWithTheMovie) {
    const QUuid id = startOK(request(3));
    std::vector<std::string> order;
    for (const char* name : {"first", "second"}) {
        coordinator_->wait(id, [&, name](ExportResult<QUrl> result) {
            order.push_back(name);
            ASSERT_TRUE(result.ok());
            EXPECT_EQ(result.value(), movie("movie.mp4"));
            // The job has ended by the time waiters run.
            EXPECT_FALSE(coordinator_->hasActiveExport());
        });
    }
    ASSERT_TRUE(pumpUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
}

TEST_F(ExportCoordinatorTest, WaitersAllGetTheEnginesErrorAndLaterOnesTheJobsText) {
    ExportRequest made = request(2);
    std::ofstream(work_ / "broken.png") << "not an image at all";
    made.inputURLs.push_back(
        QUrl::fromLocalFile(QString::fromStdString((work_ / "broken.png").string())));
    const QUuid id = startOK(made);
    std::vector<platform::Error> errors;
    for (int index = 0; index < 2; ++index) {
        coordinator_->wait(id, [&](ExportResult<QUrl> result) {
            ASSERT_FALSE(result.ok());
            ASSERT_NE(result.failure().error(), nullptr);
            errors.push_back(*result.failure().error());
        });
    }
    ASSERT_TRUE(pumpUntil([&] { return errors.size() == 2; }));
    EXPECT_EQ(errors[0].description, errors[1].description);
    EXPECT_FALSE(errors[0].isUserCancelled());
    const auto job = coordinator_->job(id);
    EXPECT_EQ(job->state, ExportJobState::failed);
    EXPECT_EQ(job->error, errors[0].description);
    EXPECT_FALSE(fs::exists(work_ / "Movies" / "movie.mp4"));

    std::optional<ExportResult<QUrl>> late;
    coordinator_->wait(id, [&](ExportResult<QUrl> result) { late = std::move(result); });
    ASSERT_TRUE(late);
    ASSERT_FALSE(late->ok());
    EXPECT_EQ(*late->failure().exportError(), ExportError::invalid(errors[0].description));
}

TEST_F(ExportCoordinatorTest, CancellingAWaitCancelsTheExport) {
    std::ofstream(work_ / "Movies" / "movie.mp4") << "earlier movie";
    ExportRequest made = request(0);
    made.inputURLs = images(48, 128, 96, "big");
    made.settings.width = 128;
    made.settings.height = 96;
    made.overwrite = true;
    const QUuid id = startOK(made);
    std::optional<ExportResult<QUrl>> outcome;
    auto cancellation =
        coordinator_->wait(id, [&](ExportResult<QUrl> result) { outcome = std::move(result); });
    // From another thread, as a task's cancellation would.
    std::thread([&] { cancellation.cancel(); }).join();
    ASSERT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
    ASSERT_FALSE(outcome->ok());
    ASSERT_NE(outcome->failure().error(), nullptr);
    EXPECT_TRUE(outcome->failure().error()->isUserCancelled());
    const auto job = coordinator_->job(id);
    EXPECT_EQ(job->state, ExportJobState::cancelled);
    EXPECT_TRUE(job->error && !job->error->empty());
    EXPECT_EQ(std::ifstream(work_ / "Movies" / "movie.mp4").get(), 'e') << "earlier movie kept";

    std::optional<ExportResult<QUrl>> late;
    coordinator_->wait(id, [&](ExportResult<QUrl> result) { late = std::move(result); });
    ASSERT_TRUE(late && !late->ok());
    EXPECT_EQ(*late->failure().exportError(), ExportError::cancelled());
}

TEST_F(ExportCoordinatorTest, AwaitableWaitResumesOnTheCallersExecutor) {
    const QUuid id = startOK(request(2));
    AsioThread asio;
    std::atomic<bool> done = false;
    std::optional<ExportResult<QUrl>> outcome;
    std::thread::id resumedOn;
    asio::co_spawn(asio.context(), waitForExport(*coordinator_, id),
                   [&](std::exception_ptr failure, ExportResult<QUrl> result) {
                       EXPECT_FALSE(failure);
                       resumedOn = std::this_thread::get_id();
                       outcome = std::move(result);
                       done = true;
                   });
    ASSERT_TRUE(pumpUntil([&] { return done.load(); }));
    EXPECT_EQ(resumedOn, asio.id());
    ASSERT_TRUE(outcome && outcome->ok());
    EXPECT_EQ(outcome->value(), movie("movie.mp4"));
}

TEST_F(ExportCoordinatorTest, AwaitableWaitCancelledThroughItsSlotCancelsTheExport) {
    ExportRequest made = request(0);
    made.inputURLs = images(48, 128, 96, "big");
    made.settings.width = 128;
    made.settings.height = 96;
    const QUuid id = startOK(made);
    AsioThread asio;
    asio::cancellation_signal signal;
    std::atomic<bool> done = false;
    std::optional<ExportResult<QUrl>> outcome;
    asio::co_spawn(asio.context(), waitForExport(*coordinator_, id),
                   asio::bind_cancellation_slot(
                       signal.slot(), [&](std::exception_ptr failure, ExportResult<QUrl> result) {
                           EXPECT_FALSE(failure);
                           outcome = std::move(result);
                           done = true;
                       }));
    // The wait has reached the coordinator once it is listed as a waiter; the signal is
    // emitted on the coroutine's own thread.
    std::atomic<bool> emitted = false;
    asio::post(asio.context(), [&] {
        signal.emit(asio::cancellation_type::terminal);
        emitted = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return done.load(); }));
    EXPECT_TRUE(emitted);
    ASSERT_TRUE(outcome && !outcome->ok());
    ASSERT_NE(outcome->failure().error(), nullptr);
    EXPECT_TRUE(outcome->failure().error()->isUserCancelled());
    EXPECT_EQ(coordinator_->job(id)->state, ExportJobState::cancelled);
}

TEST_F(ExportCoordinatorTest, TerminationWhenIdleCompletesAtOnce) {
    bool completed = false;
    coordinator_->prepareForTermination([&] { completed = true; });
    EXPECT_TRUE(completed);
}

TEST_F(ExportCoordinatorTest, TerminationWhileExportingWaitsForTheCancelledJob) {
    ExportRequest made = request(0);
    made.inputURLs = images(48, 128, 96, "big");
    made.settings.width = 128;
    made.settings.height = 96;
    const QUuid id = startOK(made);
    bool completed = false;
    coordinator_->prepareForTermination([&] {
        completed = true;
        EXPECT_FALSE(coordinator_->hasActiveExport());
    });
    EXPECT_FALSE(completed);
    ASSERT_TRUE(pumpUntil([&] { return completed; }));
    EXPECT_EQ(coordinator_->job(id)->state, ExportJobState::cancelled);
}

TEST_F(ExportCoordinatorTest, ProgressIsMirroredIntoTheWindowsModel) {
    ImagesToMovie model;
    coordinator_->attachDraftModel(&model, nullptr);
    const QUuid id = startOK(request(12));
    EXPECT_TRUE(model.movieCreationInProgress());
    EXPECT_EQ(model.minValue(), 0U);
    EXPECT_EQ(model.maxValue(), 12U);
    EXPECT_EQ(model.value(), 0U);
    EXPECT_EQ(model.progressString(), "0 of 12");

    // A value beyond the frame count is held at the count.
    coordinator_->TEST_activeEngine()->setValue(15);
    std::int64_t mostSeen = 0;
    qulonglong mostShown = 0;
    QObject::connect(coordinator_.get(), &ExportCoordinator::activeJobChanged, [&] {
        if (const auto& job = coordinator_->activeJob()) {
            mostSeen = std::max(mostSeen, job->completedFrames);
            EXPECT_EQ(job->progress, static_cast<double>(job->completedFrames) / 12.0);
        }
    });
    QObject::connect(&model, &ImagesToMovie::valueChanged,
                     [&](qulonglong value) { mostShown = std::max(mostShown, value); });
    ASSERT_TRUE(pumpUntil([&] { return !coordinator_->hasActiveExport(); }));
    EXPECT_EQ(mostSeen, 12);
    EXPECT_EQ(mostShown, 12U);
    EXPECT_FALSE(model.movieCreationInProgress());
    EXPECT_EQ(model.value(), 12U);
    EXPECT_EQ(coordinator_->job(id)->state, ExportJobState::completed);
    coordinator_->attachDraftModel(nullptr, nullptr);
}

TEST_F(ExportCoordinatorTest, ModelAttachedDuringAnExportShowsIt) {
    const QUuid id = startOK(request(4));
    ImagesToMovie model;
    coordinator_->attachDraftModel(&model, nullptr);
    EXPECT_TRUE(model.movieCreationInProgress());
    EXPECT_EQ(model.maxValue(), 4U);
    EXPECT_EQ(model.progressString(),
              QString("%1 of 4").arg(coordinator_->activeJob()->completedFrames));
    ASSERT_TRUE(pumpUntil([&] { return !coordinator_->hasActiveExport(); }));
    EXPECT_FALSE(model.movieCreationInProgress());
    EXPECT_EQ(coordinator_->job(id)->state, ExportJobState::completed);
    coordinator_->attachDraftModel(nullptr, nullptr);
}

TEST_F(ExportCoordinatorTest, LeasesAreHeldWhileRunningAndReleasedAtTheEnd) {
    const std::vector<QUrl> stills = images(2);
    const auto windowLease = files_->lease({work_ / "still0.png"}, {});
    ASSERT_TRUE(windowLease.ok());
    std::weak_ptr<const FileAccessLease> watched = windowLease.value();
    const int windowStarts = access_->active();
    ASSERT_GT(windowStarts, 0);

    ImagesToMovie model;
    model.setImagePaths({stills[0].toLocalFile(), stills[1].toLocalFile()});
    model.setFrameSize(QSizeF(16, 16));
    model.setCodec(QString::fromLatin1(kCodecH264.data(), kCodecH264.size()));
    coordinator_->attachDraftModel(&model, nullptr);
    std::optional<std::optional<platform::Error>> outcome;
    coordinator_->exportDraft(movie("draft.mp4"), {windowLease.value()},
                              [&](std::optional<platform::Error> error) { outcome = error; });
    EXPECT_GT(access_->active(), windowStarts) << "the coordinator's own lease";
    EXPECT_EQ(watched.use_count(), 2) << "the window's lease is kept while the export runs";
    ASSERT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
    EXPECT_FALSE(outcome->has_value());
    EXPECT_EQ(access_->active(), windowStarts) << "its own lease released";
    EXPECT_EQ(watched.use_count(), 1) << "the window's lease is no longer kept";
    coordinator_->attachDraftModel(nullptr, nullptr);
}

TEST_F(ExportCoordinatorTest, WindowExportWithoutAModelStartsNothing) {
    std::optional<platform::Error> error;
    coordinator_->exportDraft(movie("draft.mp4"), {},
                              [&](std::optional<platform::Error> failure) { error = failure; });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, "The movie window is unavailable.");
    EXPECT_FALSE(coordinator_->hasActiveExport());
}

TEST_F(ExportCoordinatorTest, WindowExportTakesItsSettingsFromTheModel) {
    ImagesToMovie model;
    model.setImagePaths({images(1)[0].toLocalFile()});
    model.setFrameSize(QSizeF(16.9, 16.2));
    model.setFrameRate(12);
    coordinator_->attachDraftModel(&model, nullptr);

    struct Row {
        std::string_view codec;
        qlonglong mode;
        const char* output;
        ExportCodec expectedCodec;
        ExportQuality expectedQuality;
        std::optional<double> expectedRate;
    };
    for (const Row& row :
         {Row{kCodecProRes422, 2, "draft.mov", ExportCodec::prores422, ExportQuality::high,
              std::nullopt},
          Row{kCodecH264, 2, "draft.mp4", ExportCodec::h264, ExportQuality::custom, 8.0},
          Row{"xxxx", 0, "draft.mp4", ExportCodec::hevc, ExportQuality::standard, std::nullopt}}) {
        model.setCodec(QString::fromLatin1(row.codec.data(), row.codec.size()));
        model.setQualityMode(row.mode);
        model.setAverageBitRate(8'000'000);
        std::optional<std::optional<platform::Error>> outcome;
        coordinator_->exportDraft(movie(row.output), {},
                                  [&](std::optional<platform::Error> error) { outcome = error; });
        const auto job = coordinator_->job();
        ASSERT_TRUE(job && job->state == ExportJobState::running) << row.codec;
        EXPECT_EQ(job->settings.codec, row.expectedCodec);
        EXPECT_EQ(job->settings.quality, row.expectedQuality);
        EXPECT_EQ(job->settings.customBitrateMbps, row.expectedRate);
        EXPECT_EQ(job->settings.width, 16);
        EXPECT_EQ(job->settings.height, 16);
        EXPECT_EQ(job->settings.frameRate, 12);
        ASSERT_TRUE(pumpUntil([&] { return outcome.has_value(); }));
        EXPECT_FALSE(outcome->has_value()) << (*outcome)->description;
    }
    coordinator_->attachDraftModel(nullptr, nullptr);
}

}  // namespace
}  // namespace fw
