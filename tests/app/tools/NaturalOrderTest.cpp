#include "app/tools/NaturalOrder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace fw {
namespace {

TEST(NaturalOrderTest, ComparesDigitRunsAsNumbersAndLettersWithoutCase) {
    struct Row {
        const char* a;
        const char* b;
        int natural;  // compareNaturally's sign
    };
    for (const Row& row : std::initializer_list<Row>{
             {"frame2.png", "frame10.png", -1},
             {"frame10.png", "frame9.png", 1},
             {"img02.png", "img2.png", 0},
             {"IMG2.png", "img2.PNG", 0},
             {"a", "B", -1},
             {"a", "a1", -1},
             {"a9b", "a10a", -1},
             {"x99999999999999999999999", "x100000000000000000000000", -1},
             {"shot_1", "shotA", -1},
             {"1", "a", -1},
             {"", "", 0},
             {"", "a", -1},
         }) {
        SCOPED_TRACE(std::string(row.a) + " / " + row.b);
        const int order = compareNaturally(row.a, row.b);
        EXPECT_EQ((order > 0) - (order < 0), row.natural);
        EXPECT_EQ(compareNaturally(row.b, row.a), -order);
    }
}

TEST(NaturalOrderTest, SequenceOrderBreaksTiesBytewise) {
    std::vector<std::string> names = {"frame10.png", "a.png", "img2.png", "frame1.png",
                                      "A.png",       "frame2.png", "img02.png", "Frame3.png"};
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return areInSequenceOrder(a, b);
    });
    EXPECT_EQ(names, (std::vector<std::string>{"A.png", "a.png", "frame1.png", "frame2.png",
                                               "Frame3.png", "frame10.png", "img02.png",
                                               "img2.png"}));
    EXPECT_FALSE(areInSequenceOrder("same", "same"));
}

}  // namespace
}  // namespace fw
