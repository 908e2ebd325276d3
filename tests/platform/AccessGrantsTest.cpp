#include <gtest/gtest.h>

#include "platform/AccessGrants.h"

namespace fw::platform {
namespace {

TEST(AccessGrants, StartsOnlyForGrantedPathsAndCountsEachStart) {
    AccessGrants grants;
    EXPECT_FALSE(grants.start("/data/Stills"));
    grants.grant("/data/Stills/");
    EXPECT_TRUE(grants.isGranted("/data/./Stills"));
    EXPECT_FALSE(grants.start("/data/Stills/inside.png"));  // reached through its folder
    EXPECT_TRUE(grants.start("/data/Stills"));
    EXPECT_TRUE(grants.start("/data/Stills/"));
    EXPECT_EQ(grants.activeCount("/data/Stills"), 2);
    grants.stop("/data/Stills");
    grants.stop("/data/Stills");
    grants.stop("/data/Stills");  // one too many: ignored
    EXPECT_EQ(grants.activeCount("/data/Stills"), 0);
    EXPECT_TRUE(grants.start("/data/Stills"));
    EXPECT_EQ(grants.activeCount("/data/Stills"), 1);
}

}  // namespace
}  // namespace fw::platform
