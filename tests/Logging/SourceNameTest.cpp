#include <gtest/gtest.h>

#include "Logging/LogEvent.h"
#include "Logging/SourceName.h"

namespace logging {
namespace {

TEST(SourceName, FromFileIDIsTheTextBeforeTheFirstSlash) {
    const std::pair<const char*, const char*> cases[] = {
        {"MCP/Client.cpp", "MCP"},
        {"MCP/Sub/Client.cpp", "MCP"},
        {"Client.cpp", "n/a"},
        {"/Client.cpp", ""},
        {"", "n/a"},
    };
    for (const auto& [fileID, source] : cases) {
        EXPECT_EQ(sourceFromFileID(fileID), source) << fileID;
    }
}

TEST(SourceName, FromFilePathIsTheDirectoryHoldingTheFile) {
    const std::pair<const char*, const char*> cases[] = {
        {"Sources/MCP/Client", "MCP"},
        {"/a/b/c", "b"},
        {"a/b/", "b"},
        {"MCP/Client", "n/a"},
        {"Client", "n/a"},
        {"/Client", "n/a"},
        {"", "n/a"},
    };
    for (const auto& [path, source] : cases) {
        EXPECT_EQ(sourceFromFilePath(path), source) << path;
    }
}

TEST(SourceName, FileIDKeepsTheLastTwoComponents) {
    EXPECT_EQ(fileIDFromPath("/work/main/MCP/Client.cpp"), "MCP/Client.cpp");
    EXPECT_EQ(fileIDFromPath("MCP/Client.cpp"), "MCP/Client.cpp");
    EXPECT_EQ(fileIDFromPath("Client.cpp"), "Client.cpp");
}

TEST(LogEvent, SourceIsTheGivenOneElseTheModuleOfTheFile) {
    struct Case {
        std::optional<std::string> given;
        const char* file;
        const char* source;
    };
    const Case cases[] = {
        {std::nullopt, "MCP/Client.cpp", "MCP"},
        {std::nullopt, "Client.cpp", "n/a"},
        {std::nullopt, "/abs/Client.cpp", ""},
        {"transport", "MCP/Client.cpp", "transport"},
        {"", "MCP/Client.cpp", ""},
    };
    for (const Case& c : cases) {
        const LogEvent event(Level::info, "m", std::nullopt, c.given, c.file, "f", 1);
        EXPECT_EQ(event.source(), c.source) << c.file;
    }
    LogEvent event(Level::info, "m", std::nullopt, std::nullopt, "MCP/Client.cpp", "f", 1);
    event.setSource("set");
    EXPECT_EQ(event.source(), "set");
}

}  // namespace
}  // namespace logging
