// The answer to an unknown method echoes a bounded part of its name.
#include <gtest/gtest.h>

#include <string>

#include "MCP/JSON/JsonWriter.h"
#include "MCP/Messages/UnknownMethod.h"

namespace mcp {
namespace {

TEST(UnknownMethod, EchoesShortNamesWholeAndCutsLongOnesAtACharacter) {
    EXPECT_EQ(unknownMethodError("a/b").errorDescription(), "Method not found: Unknown method: a/b");
    const std::string exact(kEchoedMethodNameMaximum, 'm');
    EXPECT_EQ(*unknownMethodError(exact).detail(), "Unknown method: " + exact);

    struct Case {
        const char* name;
        std::string method;
    };
    std::string accented;  // two bytes a character: the limit falls inside one
    while (accented.size() < 3 * kEchoedMethodNameMaximum) {
        accented += "\xC3\xA9";
    }
    const Case cases[] = {
        {"plain", std::string(140'000, 'm')},
        {"accented", "x" + accented},
        {"four-byte characters", "xy" + std::string(2 * kEchoedMethodNameMaximum, 'z') + "\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string detail = *unknownMethodError(c.method).detail();
        const std::string prefix = "Unknown method: ";
        ASSERT_EQ(detail.substr(0, prefix.size()), prefix);
        EXPECT_LE(detail.size(), prefix.size() + kEchoedMethodNameMaximum + 3);
        EXPECT_EQ(detail.substr(detail.size() - 3), "…");
        const std::string echoed = detail.substr(prefix.size(), detail.size() - prefix.size() - 3);
        EXPECT_EQ(c.method.substr(0, echoed.size()), echoed);
        std::string written;
        EXPECT_NO_THROW(appendJsonString(written, detail));  // still UTF-8
    }
}

}  // namespace
}  // namespace mcp
