#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/export/ImagesToMovie.h"
#include "app/folders/FileAccessError.h"
#include "platform/OpenBeneath.h"
#include "platform/PosixError.h"
#include "platform/SystemLog.h"
#include "tests/support/EventLoop.h"
#include "tests/support/MovieInspection.h"
#include "tests/support/TestDirectory.h"
#include "tests/support/TestImages.h"

namespace fw {
namespace {

namespace fs = std::filesystem;
using platform::Error;
using fw::testing::TestDirectory;

constexpr const char* kInvalidSettings =
    "Choose input images, an absolute destination, movie dimensions up to 3840 × 2160, "
    "1–30 fps, and a supported codec and quality. Custom bit rate must be 0.1–50 Mbps.";
constexpr const char* kDestinationExists =
    "A movie already exists at the destination. Enable overwrite to replace it.";
constexpr const char* kDestinationNotRegular =
    "The destination must be a regular file, not a folder or symbolic link.";

QString codecString(std::string_view codec) {
    return QString::fromLatin1(codec.data(), static_cast<qsizetype>(codec.size()));
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
}

// Leftovers of temporary export space in `folder`.
std::vector<std::string> temporarySpaces(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.find("frameweaver") != std::string::npos)
            names.push_back(name);
    }
    return names;
}

class ImagesToMovieTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        for (const char* name : {"a.png", "b.png", "c.png"}) {
            ASSERT_EQ(
                testing::writeTestImage(dir / name, 40, 30, static_cast<std::uint8_t>(name[0])),
                "");
            paths << QString::fromStdString((dir / name).string());
        }
        engine.setImagePaths(paths);
        engine.setFrameSize(QSizeF(64, 48));
        engine.setCodec(codecString(kCodecH264));
    }

    // Starts an export and runs the event loop until its completion arrives.
    std::optional<Error> exportTo(const fs::path& destination) {
        bool done = false;
        std::optional<Error> result;
        engine.createMovieAtPath(QString::fromStdString(destination.string()),
                                 [&](std::optional<Error> error) {
                                     EXPECT_FALSE(done) << "completion called twice";
                                     result = std::move(error);
                                     done = true;
                                 });
        waitFor(done);
        return result;
    }

    static void waitFor(const bool& done) {
        ASSERT_TRUE(testing::pumpUntil([&] { return done; })) << "the export did not end";
    }

    static std::string text(const std::optional<Error>& error) {
        return error ? error->description : std::string("(success)");
    }

    TestDirectory dir;
    QStringList paths;
    ImagesToMovie engine;
};

TEST_F(ImagesToMovieTest, StartsWithItsDefaults) {
    ImagesToMovie fresh;
    EXPECT_FALSE(fresh.movieCreationInProgress());
    EXPECT_TRUE(fresh.allowOverwrite());
    EXPECT_EQ(fresh.minValue(), 0u);
    EXPECT_EQ(fresh.maxValue(), 0u);
    EXPECT_EQ(fresh.value(), 0u);
    EXPECT_TRUE(fresh.progressString().isNull());
    EXPECT_TRUE(fresh.imagePaths().isEmpty());
    EXPECT_EQ(fresh.frameRate(), 30u);
    EXPECT_EQ(fresh.averageBitRate(), 20'000'000u);
    EXPECT_EQ(fresh.qualityMode(), 1);
    EXPECT_EQ(fresh.codec(), QStringLiteral("hvc1"));
    EXPECT_EQ(fresh.frameSize(), QSizeF(1080, 720));
}

TEST_F(ImagesToMovieTest, PropertiesAnnounceChangesOnly) {
    QSignalSpy spy(&engine, &ImagesToMovie::frameRateChanged);
    engine.setFrameRate(24);
    engine.setFrameRate(24);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toULongLong(), 24u);
    EXPECT_EQ(engine.property("frameRate").toULongLong(), 24u);
    EXPECT_TRUE(engine.setProperty("qualityMode", 2));
    EXPECT_EQ(engine.qualityMode(), 2);
}

TEST_F(ImagesToMovieTest, ValidatesTheSettingsBeforeAnyWork) {
    struct Case {
        const char* name;
        std::function<void(ImagesToMovie&)> configure;
        const char* expected;  // nullptr: the export succeeds
        const char* destination = "movie.mp4";
    };
    const char* kOdd =
        "H.264 and HEVC movies need an even width and height. Choose even movie dimensions, "
        "or choose ProRes 422.";
    const std::vector<Case> cases = {
        {"fractional width", [](auto& e) { e.setFrameSize(QSizeF(3840.5, 2160)); },
         kInvalidSettings},
        {"too wide", [](auto& e) { e.setFrameSize(QSizeF(3842, 2160)); }, kInvalidSettings},
        {"too high", [](auto& e) { e.setFrameSize(QSizeF(64, 2162)); }, kInvalidSettings},
        {"zero width", [](auto& e) { e.setFrameSize(QSizeF(0, 720)); }, kInvalidSettings},
        {"not finite", [](auto& e) { e.setFrameSize(QSizeF(NAN, 720)); }, kInvalidSettings},
        {"0 fps", [](auto& e) { e.setFrameRate(0); }, kInvalidSettings},
        {"31 fps", [](auto& e) { e.setFrameRate(31); }, kInvalidSettings},
        {"30 fps", [](auto& e) { e.setFrameRate(30); }, nullptr},
        {"1 fps", [](auto& e) { e.setFrameRate(1); }, nullptr},
        {"quality 3 H.264", [](auto& e) { e.setQualityMode(3); }, kInvalidSettings},
        {"quality -1 H.264", [](auto& e) { e.setQualityMode(-1); }, kInvalidSettings},
        {"quality 3 ProRes",
         [](auto& e) {
             e.setCodec(codecString(kCodecProRes422));
             e.setQualityMode(3);
         },
         nullptr, "movie.mov"},
        {"99,999 bit/s",
         [](auto& e) {
             e.setQualityMode(2);
             e.setAverageBitRate(99'999);
         },
         kInvalidSettings},
        {"100,000 bit/s",
         [](auto& e) {
             e.setQualityMode(2);
             e.setAverageBitRate(100'000);
         },
         nullptr},
        {"50,000,000 bit/s",
         [](auto& e) {
             e.setQualityMode(2);
             e.setAverageBitRate(50'000'000);
         },
         nullptr},
        {"50,000,001 bit/s",
         [](auto& e) {
             e.setQualityMode(2);
             e.setAverageBitRate(50'000'001);
         },
         kInvalidSettings},
        {"ProRes ignores the bit rate",
         [](auto& e) {
             e.setCodec(codecString(kCodecProRes422));
             e.setQualityMode(2);
             e.setAverageBitRate(5);
         },
         nullptr, "movie.mov"},
        {"unknown codec", [](auto& e) { e.setCodec(QStringLiteral("avc2")); }, kInvalidSettings},
        {"no images", [](auto& e) { e.setImagePaths({}); }, kInvalidSettings},
        {"second path empty",
         [](auto& e) {
             e.setImagePaths({e.imagePaths()[0], QString(), e.imagePaths()[1]});
         },
         "Every input image must have a valid file path."},
        {"first path empty",
         [](auto& e) {
             e.setImagePaths({QString(), e.imagePaths()[0]});
         },
         kInvalidSettings},
        {"relative destination", [](auto&) {}, kInvalidSettings, ""},
        {"odd width H.264", [](auto& e) { e.setFrameSize(QSizeF(65, 48)); }, kOdd},
        {"odd height HEVC",
         [](auto& e) {
             e.setCodec(codecString(kCodecHEVC));
             e.setFrameSize(QSizeF(64, 49));
         },
         kOdd},
        {"odd size ProRes",
         [](auto& e) {
             e.setCodec(codecString(kCodecProRes422));
             e.setFrameSize(QSizeF(65, 49));
         },
         nullptr, "movie.mov"},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImagesToMovie candidate;
        candidate.setImagePaths(paths);
        candidate.setFrameSize(QSizeF(64, 48));
        candidate.setCodec(codecString(kCodecH264));
        c.configure(candidate);
        const fs::path destination = *c.destination
                                         ? dir / (std::to_string(index++) + c.destination)
                                         : fs::path("relative.mp4");
        bool done = false;
        std::optional<Error> result;
        candidate.createMovieAtPath(QString::fromStdString(destination.string()),
                                    [&](std::optional<Error> error) {
                                        result = std::move(error);
                                        done = true;
                                    });
        EXPECT_FALSE(done) << "the completion must come later, from the event loop";
        waitFor(done);
        if (c.expected == nullptr) {
            EXPECT_EQ(text(result), "(success)");
            EXPECT_TRUE(fs::is_regular_file(destination));
        } else {
            EXPECT_EQ(text(result), c.expected);
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(result->domain, platform::kFrameweaverErrorDomain);
            EXPECT_EQ(result->code, 1);
            EXPECT_FALSE(fs::exists(destination));
            EXPECT_FALSE(candidate.movieCreationInProgress());
        }
    }
}

TEST_F(ImagesToMovieTest, TenImagesAtThirtyFramesPerSecondLastOneThirdOfASecond) {
    QStringList ten;
    for (int i = 0; i < 10; ++i)
        ten << paths[i % 3];  // repeats give frames of their own
    engine.setImagePaths(ten);
    engine.setFrameRate(30);
    const fs::path movie = dir / "ten.mp4";
    ASSERT_EQ(text(exportTo(movie)), "(success)");

    const auto info = fw::testing::inspectMovie(movie, false);
    ASSERT_TRUE(info.opened);
    EXPECT_EQ(info.codecName, "h264");
    EXPECT_EQ(info.width, 64);
    EXPECT_EQ(info.height, 48);
    ASSERT_EQ(info.presentationTimes.size(), 10u);
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_NEAR(info.presentationTimes[i], static_cast<double>(i) / 30, 1e-6) << i;
    }
    EXPECT_NEAR(info.streamDurationSeconds, 1.0 / 3, 1e-6);
    EXPECT_NEAR(info.durationSeconds, 1.0 / 3, 1e-3);
    EXPECT_TRUE(temporarySpaces(dir.path()).empty());
}

TEST_F(ImagesToMovieTest, PublishesProgressFrameByFrame) {
    std::vector<QString> texts;
    std::vector<qulonglong> values;
    QObject::connect(&engine, &ImagesToMovie::progressStringChanged,
                     [&](const QString& t) { texts.push_back(t); });
    QObject::connect(&engine, &ImagesToMovie::valueChanged,
                     [&](qulonglong v) { values.push_back(v); });
    QSignalSpy inProgress(&engine, &ImagesToMovie::movieCreationInProgressChanged);

    ASSERT_EQ(text(exportTo(dir / "progress.mp4")), "(success)");
    EXPECT_EQ(texts, (std::vector<QString>{"0 of 3, a.png", "1 of 3, b.png", "2 of 3, c.png",
                                           "3 of 3, "}));
    EXPECT_EQ(values, (std::vector<qulonglong>{1, 2, 3}));
    EXPECT_EQ(engine.value(), 3u);
    EXPECT_EQ(engine.minValue(), 0u);
    EXPECT_EQ(engine.maxValue(), 3u);
    ASSERT_EQ(inProgress.count(), 2);
    EXPECT_TRUE(inProgress.at(0).at(0).toBool());
    EXPECT_FALSE(inProgress.at(1).at(0).toBool());

    // The instance is reusable and starts its progress afresh.
    texts.clear();
    ASSERT_EQ(text(exportTo(dir / "again.mp4")), "(success)");
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), QStringLiteral("0 of 3, a.png"));
}

TEST_F(ImagesToMovieTest, RefusesAnExistingFileWithoutOverwriteBeforeEncoding) {
    const fs::path movie = dir / "movie.mp4";
    writeFile(movie, "earlier movie");
    engine.setAllowOverwrite(false);
    QSignalSpy values(&engine, &ImagesToMovie::valueChanged);
    EXPECT_EQ(text(exportTo(movie)), kDestinationExists);
    EXPECT_EQ(values.count(), 0);
    EXPECT_EQ(readFile(movie), "earlier movie");
    EXPECT_TRUE(temporarySpaces(dir.path()).empty());
}

TEST_F(ImagesToMovieTest, ReplacesAnExistingRegularFileWithOverwrite) {
    const fs::path movie = dir / "movie.mp4";
    writeFile(movie, "earlier movie");
    ASSERT_EQ(text(exportTo(movie)), "(success)");
    EXPECT_NE(readFile(movie), "earlier movie");
    EXPECT_EQ(fw::testing::inspectMovie(movie, false).presentationTimes.size(), 3u);
}

TEST_F(ImagesToMovieTest, RefusesAFolderOrSymbolicLinkInTheWay) {
    const fs::path folder = dir / "folder.mp4";
    fs::create_directory(folder);
    EXPECT_EQ(text(exportTo(folder)), kDestinationNotRegular);
    EXPECT_TRUE(fs::is_directory(folder));

    const fs::path target = dir / "target.mp4";
    const fs::path link = dir / "link.mp4";
    writeFile(target, "target");
    fs::create_symlink(target, link);
    EXPECT_EQ(text(exportTo(link)), kDestinationNotRegular);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(target), "target");
    EXPECT_TRUE(temporarySpaces(dir.path()).empty());
}

TEST_F(ImagesToMovieTest, AFileThatAppearsBeforeTheMoveIsLeftIntact) {
    const fs::path movie = dir / "raced.mp4";
    engine.setAllowOverwrite(false);
    engine.TEST_setMoveHook([&](ImagesToMovie::MoveStage stage) {
        if (stage == ImagesToMovie::MoveStage::beforeMove)
            writeFile(movie, "someone else's");
    });
    const auto result = exportTo(movie);
    EXPECT_EQ(text(result), kDestinationExists);
    ASSERT_TRUE(result && result->underlying);
    EXPECT_EQ(result->underlying->domain, platform::kPosixErrorDomain);
    EXPECT_EQ(result->underlying->code, EEXIST);
    EXPECT_EQ(readFile(movie), "someone else's");
    EXPECT_TRUE(temporarySpaces(dir.path()).empty());
}

TEST_F(ImagesToMovieTest, CancellingBeforeTheFirstFrameLeavesNothingBehind) {
    const fs::path movie = dir / "cancelled.mp4";
    bool done = false;
    std::optional<Error> result;
    engine.createMovieAtPath(QString::fromStdString(movie.string()),
                             [&](std::optional<Error> error) {
                                 result = std::move(error);
                                 done = true;
                             });
    engine.cancel();
    waitFor(done);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->isUserCancelled());
    EXPECT_FALSE(fs::exists(movie));
    EXPECT_TRUE(temporarySpaces(dir.path()).empty());
    EXPECT_FALSE(engine.movieCreationInProgress());
}

TEST_F(ImagesToMovieTest, CancellingWhileFramesAreWrittenKeepsTheEarlierMovie) {
    QStringList many;
    for (int i = 0; i < 300; ++i)
        many << paths[i % 3];
    engine.setImagePaths(many);
    const fs::path movie = dir / "earlier.mp4";
    writeFile(movie, "earlier movie");
    QObject::connect(&engine, &ImagesToMovie::valueChanged, [&](qulonglong value) {
        if (value == 2)
            engine.cancel();
    });
    const auto result = exportTo(movie);
    ASSERT_TRUE(result.has_value()) << "the export finished before the cancel";
    EXPECT_TRUE(result->isUserCancelled()) << result->description;
    EXPECT_LT(engine.value(), 300u);
    EXPECT_EQ(readFile(movie), "earlier movie");
    EXPECT_TRUE(temporarySpaces(dir.path()).empty());
}

TEST_F(ImagesToMovieTest, ACancelJustBeforeTheMoveWinsAndOneAfterItDoesNothing) {
    const fs::path movie = dir / "movie.mp4";
    writeFile(movie, "earlier movie");
    engine.TEST_setMoveHook([&](ImagesToMovie::MoveStage stage) {
        if (stage == ImagesToMovie::MoveStage::beforeMove)
            engine.cancel();
    });
    auto result = exportTo(movie);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->isUserCancelled());
    EXPECT_EQ(readFile(movie), "earlier movie");
    EXPECT_TRUE(temporarySpaces(dir.path()).empty());

    engine.TEST_setMoveHook([&](ImagesToMovie::MoveStage stage) {
        if (stage == ImagesToMovie::MoveStage::afterMove)
            engine.cancel();
    });
    EXPECT_EQ(text(exportTo(movie)), "(success)");
    EXPECT_NE(readFile(movie), "earlier movie");
    engine.cancel();  // nothing runs: no effect
    EXPECT_FALSE(engine.movieCreationInProgress());
}

TEST_F(ImagesToMovieTest, ASecondStartWhileExportingIsRefusedAndTheFirstGoesOn) {
    const fs::path first = dir / "first.mp4";
    bool firstDone = false;
    std::optional<Error> firstResult;
    engine.createMovieAtPath(QString::fromStdString(first.string()),
                             [&](std::optional<Error> error) {
                                 firstResult = std::move(error);
                                 firstDone = true;
                             });
    ASSERT_TRUE(engine.movieCreationInProgress());
    bool secondDone = false;
    std::optional<Error> secondResult;
    engine.createMovieAtPath(QString::fromStdString((dir / "second.mp4").string()),
                             [&](std::optional<Error> error) {
                                 secondResult = std::move(error);
                                 secondDone = true;
                             });
    waitFor(secondDone);
    EXPECT_EQ(text(secondResult), "A movie export is already in progress.");
    waitFor(firstDone);
    EXPECT_EQ(text(firstResult), "(success)");
    EXPECT_TRUE(fs::exists(first));
    EXPECT_FALSE(fs::exists(dir / "second.mp4"));
}

TEST_F(ImagesToMovieTest, AStartFromAnotherThreadRunsOnTheEnginesThread) {
    const fs::path movie = dir / "elsewhere.mp4";
    bool done = false;
    bool onEngineThread = false;
    std::optional<Error> result;
    std::thread caller([&] {
        engine.createMovieAtPath(QString::fromStdString(movie.string()),
                                 [&](std::optional<Error> error) {
                                     onEngineThread = QThread::currentThread() == engine.thread();
                                     result = std::move(error);
                                     done = true;
                                 });
    });
    caller.join();
    waitFor(done);
    EXPECT_EQ(text(result), "(success)");
    EXPECT_TRUE(onEngineThread);
    EXPECT_TRUE(fs::is_regular_file(movie));
}

TEST_F(ImagesToMovieTest, AnImageThatCannotBeDecodedFailsTheExportWithItsName) {
    writeFile(dir / "broken.png", "not an image at all");
    engine.setImagePaths({paths[0], QString::fromStdString((dir / "broken.png").string())});
    const fs::path movie = dir / "movie.mp4";
    writeFile(movie, "earlier movie");
    const auto result = exportTo(movie);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->domain, platform::kFrameweaverErrorDomain);
    EXPECT_EQ(result->description.rfind("The image “broken.png” ", 0), 0u) << result->description;
    EXPECT_EQ(readFile(movie), "earlier movie");
    EXPECT_TRUE(temporarySpaces(dir.path()).empty());
}

TEST_F(ImagesToMovieTest, EncodesEveryCodec) {
    struct Case {
        std::string_view codec;
        const char* file;
        const char* codecName;
        const char* tag;
    };
    for (const Case& c :
         {Case{kCodecH264, "h.mp4", "h264", "avc1"}, Case{kCodecHEVC, "x.mp4", "hevc", "hvc1"},
          Case{kCodecProRes422, "p.mov", "prores", "apcn"}}) {
        engine.setCodec(codecString(c.codec));
        ASSERT_EQ(text(exportTo(dir / c.file)), "(success)") << c.file;
        const auto info = fw::testing::inspectMovie(dir / c.file, false);
        EXPECT_EQ(info.codecName, c.codecName);
        EXPECT_EQ(info.codecTag, c.tag);
        EXPECT_EQ(info.colorPrimaries, "bt709");
        EXPECT_EQ(info.presentationTimes.size(), 3u);
    }
}

TEST_F(ImagesToMovieTest, DestroyingTheEngineMidExportStopsItQuietly) {
    QStringList many;
    for (int i = 0; i < 200; ++i)
        many << paths[i % 3];
    const fs::path movie = dir / "gone.mp4";
    bool called = false;
    {
        ImagesToMovie doomed;
        doomed.setImagePaths(many);
        doomed.setFrameSize(QSizeF(64, 48));
        doomed.setCodec(codecString(kCodecH264));
        doomed.createMovieAtPath(QString::fromStdString(movie.string()),
                                 [&](std::optional<Error>) { called = true; });
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(called);
    EXPECT_FALSE(fs::exists(movie));
    EXPECT_TRUE(temporarySpaces(dir.path()).empty());
}

TEST_F(ImagesToMovieTest, ReportsTheDestinationAndTemporarySpaceFailuresWithTheirCause) {
    writeFile(dir / "plain-file", "x");
    struct Case {
        const char* name;
        fs::path destination;
        const char* expected;
        int cause;
    };
    for (const Case& c : {
             Case{"a file where a folder should be", dir / "plain-file" / "movie.mp4",
                  "The destination could not be accessed.", ENOTDIR},
             Case{"a folder that is not there", dir / "missing" / "movie.mp4",
                  "Temporary space could not be created on the destination volume.", ENOENT},
         }) {
        SCOPED_TRACE(c.name);
        const auto result = exportTo(c.destination);
        EXPECT_EQ(text(result), c.expected);
        ASSERT_TRUE(result && result->underlying);
        EXPECT_EQ(result->underlying->domain, platform::kPosixErrorDomain);
        EXPECT_EQ(result->underlying->code, c.cause);
    }
    EXPECT_TRUE(temporarySpaces(dir.path()).empty());
}

TEST_F(ImagesToMovieTest, AFailureIsLoggedWithTheErrorUnderneathAndACancelIsNot) {
    std::vector<std::string> lines;
    std::mutex linesMutex;
    platform::setSystemLogSinkForTesting([&](platform::SystemLogLevel, std::string_view line) {
        std::lock_guard lock(linesMutex);
        lines.emplace_back(line);
    });
    writeFile(dir / "plain-file", "x");
    const fs::path destination = dir / "plain-file" / "movie.mp4";
    EXPECT_EQ(text(exportTo(destination)), "The destination could not be accessed.");

    engine.TEST_setMoveHook([&](ImagesToMovie::MoveStage stage) {
        if (stage == ImagesToMovie::MoveStage::beforeMove) {
            engine.cancel();
        }
    });
    ASSERT_TRUE(exportTo(dir / "cancelled.mp4"));
    platform::setSystemLogSinkForTesting(nullptr);

    std::lock_guard lock(linesMutex);
    ASSERT_EQ(lines.size(), 1U) << "one line for the failure, none for the cancel";
    EXPECT_EQ(lines[0], "Frameweaver could not export the movie “" + destination.string() +
                            "”: The destination could not be accessed. Underlying error "
                            "(POSIXErrorDomain " + std::to_string(ENOTDIR) + "): " +
                            platform::posixError(ENOTDIR).description);
}

TEST_F(ImagesToMovieTest, AMoveThatFailsOtherwiseSaysSoAndKeepsWhatIsThere) {
    // A folder appears where the movie is to go, with overwrite on: a rename cannot replace it.
    const fs::path movie = dir / "movie.mp4";
    engine.TEST_setMoveHook([&](ImagesToMovie::MoveStage stage) {
        if (stage == ImagesToMovie::MoveStage::beforeMove) {
            fs::create_directory(movie);
            writeFile(movie / "inside", "theirs");
        }
    });
    const auto result = exportTo(movie);
    EXPECT_EQ(text(result), "The completed movie could not be moved to its destination.");
    ASSERT_TRUE(result && result->underlying);
    EXPECT_EQ(result->underlying->domain, platform::kPosixErrorDomain);
    EXPECT_EQ(result->underlying->code, EISDIR);
    EXPECT_EQ(readFile(movie / "inside"), "theirs");
    EXPECT_TRUE(temporarySpaces(dir.path()).empty());
}

// A crashed or killed export leaves its space unlocked; a running one holds the lock on it for
// its life. The next export into the folder removes the first at once and leaves the second.
TEST_F(ImagesToMovieTest, TemporarySpaceLeftByACrashGoesAtTheNextExportIntoItsFolder) {
    const fs::path crashed = dir / ".movie.mp4.frameweaver-Xy12Ab";
    const fs::path running = dir / ".other.mp4.frameweaver-Cd34Ef";
    for (const fs::path& space : {crashed, running}) {
        fs::create_directory(space);
        writeFile(space / "movie.mp4", "partial");
    }
    const int held = ::open(running.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(text(exportTo(dir / "movie.mp4")), "(success)");
    ::close(held);
    EXPECT_FALSE(fs::exists(crashed));
    EXPECT_EQ(readFile(running / "movie.mp4"), "partial") << "one in use stays";
}

// The flush of the finished movie on a disk that takes its time: the file's flush waits until
// the test lets it go (or ten seconds pass), and the folder's flush asks for a cancel from
// another thread. Function pointers carry no state, so it lives here.
struct SlowDisk {
    std::mutex mutex;
    std::condition_variable changed;
    bool fileFlushStarted = false;
    bool released = false;
    bool releasedInTime = false;
    ImagesToMovie* engine = nullptr;
    std::thread canceller;
    std::atomic<bool> cancelReturned = false;
    bool cancelReturnedDuringDirectoryFlush = false;
} slowDisk;

platform::FileSystemCalls slowDiskCalls() {
    platform::FileSystemCalls calls = platform::FileSystemCalls::system();
    calls.fsync = [](int fd) {
        struct stat status {};
        ::fstat(fd, &status);
        if (S_ISDIR(status.st_mode)) {
            slowDisk.canceller = std::thread([] {
                slowDisk.engine->cancel();
                slowDisk.cancelReturned = true;
            });
            for (int i = 0; i < 1000 && !slowDisk.cancelReturned; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            slowDisk.cancelReturnedDuringDirectoryFlush = slowDisk.cancelReturned;
        } else {
            std::unique_lock lock(slowDisk.mutex);
            slowDisk.fileFlushStarted = true;
            slowDisk.changed.notify_all();
            slowDisk.releasedInTime = slowDisk.changed.wait_for(lock, std::chrono::seconds(10),
                                                                [] { return slowDisk.released; });
        }
        return platform::FileSystemCalls::system().fsync(fd);
    };
    return calls;
}

TEST_F(ImagesToMovieTest, ACancelDuringTheFlushOfTheMovieReturnsAtOnceAndWins) {
    const fs::path movie = dir / "movie.mp4";
    writeFile(movie, "earlier movie");
    slowDisk.engine = &engine;
    engine.TEST_setFileSystemCalls(slowDiskCalls());
    bool done = false;
    std::optional<Error> result;
    engine.createMovieAtPath(QString::fromStdString(movie.string()),
                             [&](std::optional<Error> error) {
                                 result = std::move(error);
                                 done = true;
                             });
    ASSERT_TRUE(testing::pumpUntil([&] {
        std::lock_guard lock(slowDisk.mutex);
        return slowDisk.fileFlushStarted;
    })) << "the movie was never flushed";
    // The window's thread: were the flush under the engine's lock, this would wait for it.
    engine.cancel();
    {
        std::lock_guard lock(slowDisk.mutex);
        slowDisk.released = true;
    }
    slowDisk.changed.notify_all();
    waitFor(done);
    if (slowDisk.canceller.joinable())
        slowDisk.canceller.join();
    EXPECT_TRUE(slowDisk.releasedInTime) << "cancel waited for the flush";
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->isUserCancelled());
    EXPECT_EQ(readFile(movie), "earlier movie");
    EXPECT_TRUE(temporarySpaces(dir.path()).empty());
}

TEST_F(ImagesToMovieTest, TheFolderIsFlushedAfterTheMoveWithoutHoldingTheLock) {
    {
        std::lock_guard lock(slowDisk.mutex);
        slowDisk.released = true;  // the file's flush goes straight through
    }
    slowDisk.engine = &engine;
    slowDisk.cancelReturned = false;
    engine.TEST_setFileSystemCalls(slowDiskCalls());
    const auto result = exportTo(dir / "movie.mp4");
    if (slowDisk.canceller.joinable())
        slowDisk.canceller.join();
    EXPECT_TRUE(slowDisk.cancelReturnedDuringDirectoryFlush) << "cancel waited for the flush";
    // The movie was in place before the cancel: the export succeeded.
    EXPECT_EQ(text(result), "(success)");
    EXPECT_EQ(fw::testing::inspectMovie(dir / "movie.mp4", false).presentationTimes.size(),
              3u);
}

// An export confined to folders that are open, as automation and scripted actions run it. The
// folder "Work" holds the stills in "Stills" and the movies in "Movies"; "Outside" is a folder
// it must never reach.
class ConfinedExportTest : public ImagesToMovieTest {
protected:
    void SetUp() override {
        ImagesToMovieTest::SetUp();
        fs::create_directories(work / "Stills");
        fs::create_directories(work / "Movies");
        fs::create_directories(outside / "Stills");
        for (const char* name : {"a.png", "b.png"}) {
            fs::copy_file(dir / name, work / "Stills" / name);
            ASSERT_EQ(testing::writeTestImage(outside / "Stills" / name, 40, 30, 250), "");
        }
        platform::OwnedFd opened;
        ASSERT_FALSE(platform::openDirectory(work, opened));
        folder = std::make_shared<const platform::OwnedFd>(std::move(opened));
    }

    // The engine set for the two stills by their paths; their reads confined when asked.
    void configure(bool confineImages, const std::string& movie = "Movies/movie.mp4") {
        QStringList stills;
        ExportConfinement confinement;
        for (const char* name : {"a.png", "b.png"}) {
            stills << QString::fromStdString((work / "Stills" / name).string());
            if (confineImages)
                confinement.images.push_back({folder, std::string("Stills/") + name});
        }
        confinement.movie = ConfinedFile{folder, movie};
        engine.setImagePaths(stills);
        engine.setConfinement(std::move(confinement));
    }

    // Files that appeared anywhere under "Outside".
    std::vector<std::string> outsideWrites() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(outside)) {
            const auto name = entry.path().filename().string();
            if (name != "Stills" && name != "a.png" && name != "b.png")
                found.push_back(entry.path().string());
        }
        return found;
    }

    fs::path work = dir / "Work";
    fs::path outside = dir / "Outside";
    SharedDirectory folder;
};

TEST_F(ConfinedExportTest, WritesTheMovieBeneathItsFolder) {
    configure(true, "Movies/movie.mp4");
    ASSERT_EQ(text(exportTo(work / "Movies" / "movie.mp4")), "(success)");
    EXPECT_EQ(fw::testing::inspectMovie(work / "Movies" / "movie.mp4", false)
                  .presentationTimes.size(),
              2u);
    EXPECT_TRUE(temporarySpaces(work / "Movies").empty());
}

TEST_F(ConfinedExportTest, ALinkSwappedInForAnImageOrItsFolderIsNotFollowedOut) {
    const std::string escaped = FileAccessError::escapedFolder().description();
    struct Case {
        const char* name;
        std::function<void(const fs::path& work, const fs::path& outside)> swap;
        std::string expected;
        std::string cause;
    };
    const std::vector<Case> cases = {
        {"the image",
         [](const fs::path& w, const fs::path& o) {
             fs::remove(w / "Stills" / "b.png");
             fs::create_symlink(o / "Stills" / "b.png", w / "Stills" / "b.png");
         },
         "The image “b.png” could not be completely decoded.", escaped},
        {"the image's folder",
         [](const fs::path& w, const fs::path& o) {
             fs::rename(w / "Stills", w / "Kept");
             fs::create_directory_symlink(o / "Stills", w / "Stills");
         },
         "The image “a.png” could not be completely decoded.", escaped},
        {"an image that is a pipe now",
         [](const fs::path& w, const fs::path&) {
             fs::remove(w / "Stills" / "b.png");
             ASSERT_EQ(::mkfifo((w / "Stills" / "b.png").c_str(), 0600), 0);
         },
         "The image “b.png” could not be completely decoded.", "Invalid argument"},
        {"a damaged image keeps its own name",
         [](const fs::path& w, const fs::path&) {
             writeFile(w / "Stills" / "b.png", "not an image at all");
         },
         "The image “b.png” ", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(work / "Stills");
        fs::remove_all(work / "Kept");
        fs::create_directory(work / "Stills");
        for (const char* name : {"a.png", "b.png"})
            fs::copy_file(dir / name, work / "Stills" / name);
        configure(true);
        c.swap(work, outside);  // after the request was accepted and its folder opened
        const auto result = exportTo(work / "Movies" / "movie.mp4");
        EXPECT_EQ(text(result).rfind(c.expected, 0), 0u) << text(result);
        if (!c.cause.empty()) {
            ASSERT_TRUE(result && result->underlying);
            EXPECT_EQ(result->underlying->description, c.cause);
        }
        EXPECT_FALSE(fs::exists(work / "Movies" / "movie.mp4"));
        EXPECT_TRUE(temporarySpaces(work / "Movies").empty());
    }
    EXPECT_EQ(outsideWrites(), std::vector<std::string>{});
}

TEST_F(ConfinedExportTest, ALinkSwappedInForTheMoviesFolderIsNotFollowedOut) {
    // A scripted action: images read by their paths, the movie confined.
    configure(false);
    fs::rename(work / "Movies", work / "Kept");
    fs::create_directory_symlink(outside, work / "Movies");
    const auto result = exportTo(work / "Movies" / "movie.mp4");
    EXPECT_EQ(text(result), "The destination could not be accessed.");
    ASSERT_TRUE(result && result->underlying);
    EXPECT_EQ(result->underlying->description, FileAccessError::escapedFolder().description());
    EXPECT_EQ(outsideWrites(), std::vector<std::string>{});
}

TEST_F(ConfinedExportTest, AFolderSwappedForALinkKeepsTheExportInTheFolderThatWasOpened) {
    configure(true);
    fs::rename(work, dir / "Renamed");
    fs::create_directory_symlink(outside, work);
    ASSERT_EQ(text(exportTo(work / "Movies" / "movie.mp4")), "(success)");
    EXPECT_TRUE(fs::is_regular_file(dir / "Renamed" / "Movies" / "movie.mp4"));
    EXPECT_EQ(outsideWrites(), std::vector<std::string>{});
}

TEST_F(ConfinedExportTest, ConfinedImagesMustMatchThePaths) {
    configure(true);
    ExportConfinement confinement = engine.confinement();
    confinement.images.pop_back();
    engine.setConfinement(std::move(confinement));
    EXPECT_EQ(text(exportTo(work / "Movies" / "movie.mp4")), kInvalidSettings);
}

TEST(ImagesToMovieResize, FitsTheOriginalsAspectRatioInsideTheTarget) {
    struct Case {
        QSizeF original, target;
        bool tolerance;
        QSizeF expected;
    };
    const std::vector<Case> cases = {
        {{4000, 3000}, {1920, 1080}, false, {1440, 1080}},
        {{1000, 3000}, {1920, 1080}, false, {360, 1080}},
        {{3000, 1000}, {1920, 1080}, false, {1920, 640}},
        {{1919, 1080}, {1920, 1080}, false, {1919, 1080}},
        {{1919, 1080}, {1920, 1080}, true, {1920, 1080}},
        {{0, 1080}, {1920, 1080}, false, {0, 0}},
        {{1920, 1080}, {1920, -1}, false, {0, 0}},
        {{INFINITY, 1080}, {1920, 1080}, false, {0, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ImagesToMovie::resizeOriginal(c.original, c.target, c.tolerance), c.expected)
            << c.original.width() << "x" << c.original.height();
    }
}

}  // namespace
}  // namespace fw
