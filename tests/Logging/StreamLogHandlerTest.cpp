#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "Logging/Logger.h"
#include "Logging/StdioOutputStream.h"
#include "Logging/StreamLogHandler.h"
#include "tests/Logging/RecordingLogHandler.h"

namespace logging {
namespace {

using testing::CapturingStream;

// Whether the text opens with a timestamp shaped like 2026-12-10T13:05:42+0100.
bool startsWithTimestamp(std::string_view text) {
    constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd+dddd";
    if (text.size() < kShape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const char c = text[i];
        const bool fits = kShape[i] == 'd'   ? (c >= '0' && c <= '9')
                          : kShape[i] == '+' ? (c == '+' || c == '-')
                                             : c == kShape[i];
        if (!fits) {
            return false;
        }
    }
    return true;
}
constexpr std::size_t kTimestampLength = 24;

// The line without its timestamp, after checking the timestamp's shape.
std::string withoutTimestamp(const std::string& line) {
    if (!startsWithTimestamp(line)) {
        ADD_FAILURE() << "no timestamp in: " << line;
        return line;
    }
    return line.substr(kTimestampLength);
}

struct LineCase {
    const char* name;
    std::string label;
    Metadata handlerMetadata;
    std::optional<Metadata> providerMetadata;
    std::optional<Metadata> callMetadata;
    bool withError;
    std::optional<std::string> source;
    std::string file;
    Level level;
    std::string message;
    std::string expected;  // the line after the timestamp
};

TEST(StreamLogHandler, WritesTheLineFormat) {
    const LineCase cases[] = {
        {"empty label",
         "",
         {},
         {},
         {},
         false,
         {},
         "MCP/Client.cpp",
         Level::info,
         "hi",
         " info: [MCP] hi\n"},
        {"label",
         "frameweaver.mcp.unix",
         {},
         {},
         {},
         false,
         {},
         "MCP/Client.cpp",
         Level::info,
         "hi",
         " info frameweaver.mcp.unix: [MCP] hi\n"},
        {"sorted keys",
         "l",
         {{"b", "2"}, {"a", "1"}},
         {},
         {},
         false,
         {},
         "M/f",
         Level::notice,
         "m",
         " notice l: a=1 b=2 [M] m\n"},
        {"call over handler",
         "l",
         {{"k", "handler"}},
         {},
         Metadata{{"k", "call"}},
         false,
         {},
         "M/f",
         Level::info,
         "m",
         " info l: k=call [M] m\n"},
        {"provider over handler",
         "l",
         {{"k", "handler"}, {"h", "1"}},
         Metadata{{"k", "provider"}, {"p", "1"}},
         {},
         false,
         {},
         "M/f",
         Level::info,
         "m",
         " info l: h=1 k=provider p=1 [M] m\n"},
        {"call over provider",
         "l",
         {{"k", "handler"}},
         Metadata{{"k", "provider"}},
         Metadata{{"k", "call"}},
         false,
         {},
         "M/f",
         Level::info,
         "m",
         " info l: k=call [M] m\n"},
        {"error entries win and sort among the others",
         "l",
         {{"error.type", "h"}, {"z", "1"}},
         {},
         Metadata{{"error.message", "call"}, {"a", "1"}},
         true,
         {},
         "M/f",
         Level::error,
         "m",
         " error l: a=1 error.message=boom error.type=std::runtime_error z=1 [M] m\n"},
        {"empty provider result is no provider",
         "l",
         {{"k", "v"}},
         Metadata{},
         Metadata{},
         false,
         {},
         "M/f",
         Level::info,
         "m",
         " info l: k=v [M] m\n"},
        {"empty given source",
         "l",
         {},
         {},
         {},
         false,
         std::string(),
         "M/f",
         Level::info,
         "m",
         " info l: [] m\n"},
        {"given source wins over file",
         "l",
         {},
         {},
         {},
         false,
         std::string("src"),
         "M/f",
         Level::info,
         "m",
         " info l: [src] m\n"},
        {"file without slash",
         "l",
         {},
         {},
         {},
         false,
         {},
         "file.cpp",
         Level::info,
         "m",
         " info l: [n/a] m\n"},
        {"trace is written: the caller filters",
         "l",
         {},
         {},
         {},
         false,
         {},
         "M/f",
         Level::trace,
         "m",
         " trace l: [M] m\n"},
        {"message kept as it is",
         "l",
         {},
         {},
         {},
         false,
         {},
         "M/f",
         Level::critical,
         "two\nlines ",
         " critical l: [M] two\nlines \n"},
        {"values rendered, not quoted",
         "l",
         {{"list", MetadataValue::array({"a", "b"})}, {"s", "x y"}},
         {},
         {},
         false,
         {},
         "M/f",
         Level::warning,
         "m",
         " warning l: list=[\"a\", \"b\"] s=x y [M] m\n"},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto stream = std::make_shared<CapturingStream>();
        std::optional<MetadataProvider> provider;
        if (c.providerMetadata) {
            provider = MetadataProvider([m = *c.providerMetadata] { return m; });
        }
        StreamLogHandler handler(c.label, stream, provider);
        handler.setMetadata(c.handlerMetadata);
        std::optional<LogError> error;
        if (c.withError) {
            error = LogError(std::runtime_error("boom"));
        }
        handler.log(LogEvent(c.level, c.message, error, c.callMetadata, c.source, c.file, "f", 1));
        const std::vector<std::string> writes = stream->writes();
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(withoutTimestamp(writes[0]), c.expected);
        // The handler's own metadata is untouched by the merge.
        EXPECT_EQ(handler.metadata(), c.handlerMetadata);
    }
}

TEST(StreamLogHandler, OlderEntryPointsDeriveTheSourceFromTheFilePath) {
    auto stream = std::make_shared<CapturingStream>();
    StreamLogHandler handler("l", stream, std::nullopt);
    handler.log(Level::info, "a", std::nullopt, "Sources/MCP/Client.cpp", "f", 1);
    handler.log(Level::info, "b", std::nullopt, "MCP/Client.cpp", "f", 1);
    handler.log(Level::info, "c", std::nullopt, "given", "MCP/Client.cpp", "f", 1);
    const std::vector<std::string> writes = stream->writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(withoutTimestamp(writes[0]), " info l: [MCP] a\n");
    EXPECT_EQ(withoutTimestamp(writes[1]), " info l: [n/a] b\n");
    EXPECT_EQ(withoutTimestamp(writes[2]), " info l: [given] c\n");
}

TEST(StreamLogHandler, PrettyMetadataFollowsEveryChange) {
    StreamLogHandler handler("l", std::make_shared<CapturingStream>(), std::nullopt);
    EXPECT_EQ(handler.logLevel(), Level::info);
    EXPECT_FALSE(handler.prettyMetadata());
    handler.setMetadataValue("b", MetadataValue("2"));
    handler.setMetadataValue("a", MetadataValue("1"));
    EXPECT_EQ(handler.prettyMetadata(), "a=1 b=2");
    EXPECT_EQ(handler.metadataValue("a"), MetadataValue("1"));
    handler.setMetadataValue("a", std::nullopt);
    handler.setMetadataValue("b", std::nullopt);
    EXPECT_FALSE(handler.prettyMetadata());
    handler.setMetadata({{"k", "v"}});
    EXPECT_EQ(handler.prettyMetadata(), "k=v");
    handler.setMetadata({});
    EXPECT_FALSE(handler.prettyMetadata());
}

// Points standard error at a temporary file for the life of the object.
class StandardErrorCapture {
public:
    StandardErrorCapture() {
        char path[] = "/tmp/fw-logging-stderr-XXXXXX";
        fd_ = ::mkstemp(path);
        path_ = path;
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(fd_, STDERR_FILENO);
    }
    ~StandardErrorCapture() {
        restore();
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    std::string text() {
        restore();
        std::ifstream in(path_);
        std::stringstream contents;
        contents << in.rdbuf();
        return contents.str();
    }

private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
            saved_ = -1;
        }
    }
    int fd_ = -1;
    int saved_ = -1;
    std::string path_;
};

TEST(StreamLogHandler, LoggerByLabelWritesOneLineToStandardError) {
    StandardErrorCapture capture;
    Logger logger("frameweaver.mcp.unix");
    logger.setMetadataValue("client", MetadataValue("7"));
    logger.debug("dropped");
    logger.info("Accepted a connection");
    const std::string text = capture.text();
    EXPECT_EQ(withoutTimestamp(text),
              " info frameweaver.mcp.unix: client=7 [Logging] Accepted a connection\n");
}

TEST(StreamLogHandler, LinesFromManyThreadsStayWhole) {
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    StandardErrorCapture capture;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                Logger logger("thread" + std::to_string(t),
                              StreamLogHandler::standardError("thread" + std::to_string(t)));
                const std::string payload(300, static_cast<char>('a' + t));
                for (int i = 0; i < kLines; ++i) {
                    logger.info([&] { return payload; });
                }
            });
        }
    }
    std::istringstream lines(capture.text());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        // " info threadN: [Logging] " and 300 times the thread's letter.
        const std::string rest = withoutTimestamp(line);
        ASSERT_EQ(rest.size(), 25u + 300u) << line;
        const int thread = rest[12] - '0';
        ASSERT_TRUE(thread >= 0 && thread < kThreads) << line;
        const std::string expected = " info thread" + std::to_string(thread) + ": [Logging] " +
                                     std::string(300, static_cast<char>('a' + thread));
        ASSERT_EQ(rest, expected);
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST(StdioOutputStream, StandardStreamsAreMadeOnceAndFlushAlways) {
    EXPECT_EQ(StdioOutputStream::standardError(), StdioOutputStream::standardError());
    EXPECT_NE(StdioOutputStream::standardError(), StdioOutputStream::standardOutput());
    EXPECT_EQ(StdioOutputStream::standardError()->flushMode(),
              StdioOutputStream::FlushMode::always);
    EXPECT_EQ(StdioOutputStream::standardOutput()->flushMode(),
              StdioOutputStream::FlushMode::always);
}

}  // namespace
}  // namespace logging
