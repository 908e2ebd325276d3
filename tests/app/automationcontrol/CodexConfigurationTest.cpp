#include "app/automationcontrol/CodexConfiguration.h"

#include <gtest/gtest.h>

namespace fw {
namespace {

TEST(TomlEscaped, EscapesEachScalarAsTheTableSays) {
    struct Case {
        std::string text;
        std::string escaped;
    };
    const Case cases[] = {
        {"\b", "\\b"},
        {"\t", "\\t"},
        {"\n", "\\n"},
        {"\f", "\\f"},
        {"\r", "\\r"},
        {"\"", "\\\""},
        {"\\", "\\\\"},
        {std::string(1, '\0'), "\\u0000"},
        {"\x01", "\\u0001"},
        {"\x1B", "\\u001B"},
        {"\x1F", "\\u001F"},
        {"\x7F", "\\u007F"},
        {" ", " "},
        {"~", "~"},
        {"/Applications/X.app", "/Applications/X.app"},
        {"\xC3\xA9", "\xC3\xA9"},          // e with acute accent
        {"\xC2\x85", "\xC2\x85"},          // U+0085, a C1 control: unchanged
        {"\xF0\x9F\x8E\xAC", "\xF0\x9F\x8E\xAC"},  // outside the BMP
        {"a\"b\\c\td\x1B" "e\x7F", "a\\\"b\\\\c\\td\\u001Be\\u007F"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tomlEscaped(c.text), c.escaped) << "for " << c.text;
    }
}

TEST(CodexConfiguration, IsTheTwoLineTableNamingTheCompanionInsideTheBundle) {
    EXPECT_EQ(codexConfiguration("/Applications/X.app"),
              "[mcp_servers.frameweaver]\n"
              "command = \"/Applications/X.app/Contents/MacOS/frameweaver-mcp\"");
    EXPECT_EQ(bridgeExecutablePath("/Applications/X.app"),
              "/Applications/X.app/Contents/MacOS/frameweaver-mcp");
}

TEST(CodexConfiguration, EscapesASpaceAQuoteAndANonAsciiLetterInThePath) {
    EXPECT_EQ(codexConfiguration("/home/r\xC3\xA9my/My \"Apps\"/Frameweaver.app"),
              "[mcp_servers.frameweaver]\n"
              "command = \"/home/r\xC3\xA9my/My \\\"Apps\\\"/Frameweaver.app/Contents/MacOS/"
              "frameweaver-mcp\"");
}

}  // namespace
}  // namespace fw
