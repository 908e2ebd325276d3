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

TEST(AccessGrants, AGrantLastsWhileAnyHolderKeepsIt) {
    AccessGrants grants;
    grants.grant("/data/a.png");    // the window's, say
    grants.grant("/data/./a.png");  // an action's, for the same file
    EXPECT_EQ(grants.holderCount("/data/a.png"), 2);
    grants.withdraw("/data/a.png");
    EXPECT_TRUE(grants.isGranted("/data/a.png")) << "the other holder keeps it";
    EXPECT_TRUE(grants.start("/data/a.png"));
    grants.withdraw("/data/a.png");
    EXPECT_FALSE(grants.isGranted("/data/a.png"));
    EXPECT_FALSE(grants.start("/data/a.png"));
    EXPECT_EQ(grants.activeCount("/data/a.png"), 1) << "access already started is not affected";
    grants.withdraw("/data/a.png");  // one too many: ignored
    EXPECT_EQ(grants.holderCount("/data/a.png"), 0);
    grants.grant("/data/a.png");
    EXPECT_EQ(grants.holderCount("/data/a.png"), 1);
}

}  // namespace
}  // namespace fw::platform
