#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <thread>

#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "tests/support/SystemLogRecorder.h"
#include "tests/support/TestDirectory.h"

namespace fw::platform {
namespace {

namespace fs = std::filesystem;

class UserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(directory_.path().empty());
        dir_ = directory_.path();
        file_ = dir_ / "Frameweaver" / "UserDefaults.plist";
    }

    std::string fileBytes() const {
        std::ifstream in(file_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    testing::TestDirectory directory_;
    fs::path dir_;
    fs::path file_;
};

TEST_F(UserDefaultsTest, TypesSurviveARoundTrip) {
    const std::vector<std::pair<std::string, DefaultsValue>> cases = {
        {"true", true},
        {"false", false},
        {"zero", std::int64_t{0}},
        {"negative", std::int64_t{-1}},
        {"min", std::numeric_limits<std::int64_t>::min()},
        {"max", std::numeric_limits<std::int64_t>::max()},
        {"rate", std::int64_t{29}},
        {"fraction", 29.5},
        {"wholeNumber", 30.0},
        {"text", std::string("29.5")},
        {"emptyText", std::string()},
        {"unicode", std::string("Größe “quoted” ✓")},
        {"data", DefaultsData{0, 1, 0, 255}},
        {"emptyData", DefaultsData{}},
    };
    {
        UserDefaults defaults(file_);
        for (const auto& [key, value] : cases) {
            ASSERT_FALSE(defaults.set(key, value)) << key;
        }
    }
    UserDefaults reopened(file_);
    for (const auto& [key, value] : cases) {
        const auto read = reopened.object(key);
        ASSERT_TRUE(read.has_value()) << key;
        EXPECT_EQ(read->index(), value.index()) << key;
        EXPECT_EQ(*read, value) << key;
    }
}

TEST_F(UserDefaultsTest, TypedReadersConvertOnlyWhatTheTypeAllows) {
    UserDefaults defaults(file_);
    ASSERT_FALSE(defaults.set("number", 29.5));
    ASSERT_FALSE(defaults.set("text", std::string("29.5")));
    ASSERT_FALSE(defaults.set("integerText", std::string("42")));
    ASSERT_FALSE(defaults.set("flag", std::string("YES")));
    EXPECT_EQ(defaults.integerForKey("number"), 29);
    EXPECT_EQ(defaults.integerForKey("text"), 0);
    EXPECT_EQ(defaults.integerForKey("integerText"), 42);
    EXPECT_DOUBLE_EQ(defaults.doubleForKey("text"), 29.5);
    EXPECT_FALSE(defaults.stringForKey("number").has_value());
    EXPECT_EQ(defaults.stringForKey("text"), "29.5");
    EXPECT_TRUE(defaults.boolForKey("flag"));
    EXPECT_TRUE(defaults.boolForKey("number"));
    EXPECT_FALSE(defaults.boolForKey("absent"));
    EXPECT_FALSE(defaults.dataForKey("text").has_value());
}

TEST_F(UserDefaultsTest, RegisteredDefaultsShowThroughButAreNeverWritten) {
    {
        UserDefaults defaults(file_);
        defaults.registerDefaults({{"defaultFrameRate", std::int64_t{30}}});
        EXPECT_EQ(defaults.integerForKey("defaultFrameRate"), 30);
        ASSERT_FALSE(defaults.set("defaultFrameRate", std::int64_t{12}));
        EXPECT_EQ(defaults.integerForKey("defaultFrameRate"), 12);
        ASSERT_FALSE(defaults.remove("defaultFrameRate"));
        EXPECT_EQ(defaults.integerForKey("defaultFrameRate"), 30);
        ASSERT_FALSE(defaults.set("other", true));
    }
    UserDefaults reopened(file_);
    EXPECT_FALSE(reopened.object("defaultFrameRate").has_value());
    EXPECT_TRUE(reopened.boolForKey("other"));
}

TEST_F(UserDefaultsTest, ObserversHearEachChangeOfWhatAKeyReadsAs) {
    UserDefaults defaults(file_);
    std::vector<std::string> heard;
    std::vector<std::string> heardAll;
    auto one = defaults.observe("codec", [&](const std::string& key) { heard.push_back(key); });
    auto all = defaults.observe("", [&](const std::string& key) { heardAll.push_back(key); });

    ASSERT_FALSE(defaults.set("codec", std::int64_t{1}));
    ASSERT_FALSE(defaults.set("codec", std::int64_t{1}));  // same value: no change
    ASSERT_FALSE(defaults.set("codec", 1.0));              // another type is a change
    ASSERT_FALSE(defaults.set("rate", std::int64_t{5}));
    defaults.registerDefaults({{"codec", 1.0}});  // hidden by the stored value: no change
    ASSERT_FALSE(defaults.remove("codec"));       // reads as the registered 1.0: no change
    ASSERT_FALSE(defaults.remove("rate"));
    EXPECT_EQ(heard, (std::vector<std::string>{"codec", "codec"}));
    EXPECT_EQ(heardAll, (std::vector<std::string>{"codec", "codec", "rate", "rate"}));

    one.cancel();
    ASSERT_FALSE(defaults.set("codec", std::int64_t{2}));
    EXPECT_EQ(heard.size(), 2u);
    EXPECT_EQ(heardAll.size(), 5u);
}

TEST_F(UserDefaultsTest, ObservationMayOutliveItsStore) {
    UserDefaults::Observation observation;
    {
        UserDefaults defaults(file_);
        observation = defaults.observe("key", [](const std::string&) {});
    }
    observation.cancel();
}

TEST_F(UserDefaultsTest, ChangesFromSeveralThreadsAreAllKept) {
    UserDefaults defaults(file_, [](const fs::path&, std::span<const std::uint8_t>) {
        return std::optional<Error>();
    });
    std::atomic<int> heard{0};
    auto observation = defaults.observe("", [&](const std::string&) { ++heard; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&defaults, t] {
            for (int i = 0; i < 50; ++i) {
                const std::string key = "t" + std::to_string(t) + "." + std::to_string(i);
                EXPECT_FALSE(defaults.set(key, std::int64_t{i}));
                EXPECT_EQ(defaults.integerForKey(key), i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(heard.load(), 200);
    EXPECT_EQ(defaults.integerForKey("t3.49"), 49);
}

TEST_F(UserDefaultsTest, FailedWriteReportsAndChangesNothing) {
    {
        UserDefaults defaults(file_);
        ASSERT_FALSE(defaults.set("kept", std::string("before")));
    }
    const std::string before = fileBytes();
    int notified = 0;
    UserDefaults defaults(file_, [](const fs::path&, std::span<const std::uint8_t>) {
        return std::optional<Error>(Error(kUserDefaultsErrorDomain, ENOSPC, "The disk is full."));
    });
    auto observation = defaults.observe("", [&](const std::string&) { ++notified; });

    const auto error = defaults.set("kept", std::string("after"));
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, ENOSPC);
    EXPECT_EQ(defaults.stringForKey("kept"), "before");
    EXPECT_TRUE(defaults.remove("kept").has_value());
    EXPECT_EQ(defaults.stringForKey("kept"), "before");
    EXPECT_EQ(notified, 0);
    EXPECT_EQ(fileBytes(), before);
}

TEST_F(UserDefaultsTest, AtomicWriteReplacesTheFileAndLeavesNoTemporaryFile) {
    UserDefaults defaults(file_);
    ASSERT_FALSE(defaults.set("a", std::string(100000, 'x')));
    ASSERT_FALSE(defaults.set("a", std::string("short")));
    struct stat st {};
    ASSERT_EQ(::stat(file_.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(file_.parent_path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"UserDefaults.plist"});
    EXPECT_EQ(fileBytes().substr(0, 8), "bplist00");
    EXPECT_EQ(UserDefaults(file_).stringForKey("a"), "short");
}

TEST_F(UserDefaultsTest, DamagedFileIsKeptAsideNotOverwritten) {
    fs::create_directories(file_.parent_path());
    std::ofstream(file_, std::ios::binary) << "bplist00 this is not a property list";
    testing::SystemLogRecorder log;
    UserDefaults defaults(file_);
    log.stop();
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("UserDefaults.plist.unreadable"), std::string::npos);
    EXPECT_FALSE(defaults.object("anything").has_value());
    ASSERT_FALSE(defaults.set("fresh", true));
    fs::path aside = file_;
    aside += ".unreadable";
    std::ifstream in(aside, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "bplist00 this is not a property list");
    EXPECT_TRUE(UserDefaults(file_).boolForKey("fresh"));
}

TEST_F(UserDefaultsTest, ValuesOfOtherTypesWrittenElsewhereAreKept) {
    fs::create_directories(file_.parent_path());
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "when", plist_new_date(1000, 0));
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    std::ofstream(file_, std::ios::binary).write(bytes, length);
    plist_to_bin_free(bytes);
    plist_free(root);

    {
        UserDefaults defaults(file_);
        EXPECT_FALSE(defaults.object("when").has_value());
        ASSERT_FALSE(defaults.set("other", true));
    }
    const std::string written = fileBytes();
    plist_t reread = nullptr;
    plist_from_bin(written.data(), static_cast<std::uint32_t>(written.size()), &reread);
    ASSERT_NE(reread, nullptr);
    plist_t when = plist_dict_get_item(reread, "when");
    ASSERT_NE(when, nullptr);
    EXPECT_EQ(plist_get_node_type(when), PLIST_DATE);
    plist_free(reread);
}

TEST_F(UserDefaultsTest, TextWithNulIsRefused) {
    UserDefaults defaults(file_);
    EXPECT_TRUE(defaults.set("key", std::string("a\0b", 3)).has_value());
    EXPECT_TRUE(defaults.set(std::string("k\0y", 3), true).has_value());
    EXPECT_FALSE(defaults.object("key").has_value());
}

TEST(UserDefaultsLocation, FollowsXdgConfigHomeWhenAbsolute) {
    const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = savedXdg != nullptr ? savedXdg : "";
    const char* savedHomeValue = std::getenv("HOME");
    const std::string savedHome = savedHomeValue != nullptr ? savedHomeValue : "/root";
    ::setenv("XDG_CONFIG_HOME", "/somewhere/config", 1);
    EXPECT_EQ(UserDefaults::standardLocation(),
              fs::path("/somewhere/config/Frameweaver/UserDefaults.plist"));
    ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(UserDefaults::standardLocation(),
              fs::path("/home/someone/.config/Frameweaver/UserDefaults.plist"));
    if (savedXdg != nullptr) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
    ::setenv("HOME", savedHome.c_str(), 1);
}

}  // namespace
}  // namespace fw::platform
